// The system information report appended to the log file before every send.
#include "report/SystemReport.h"

#include "core/AgentState.h"

void WriteSystemReport()
{
    if (!g_agent.m_writeLog)
        return;
}
