// The one process-wide record of the agent's settings and run-time state.
#include "core/AgentState.h"

AgentState g_agent;

void InitializeAgentLocks()
{
    InitializeCriticalSection(&g_agent.m_reportLock);
    InitializeCriticalSection(&g_agent.m_intervalLock);
    InitializeCriticalSection(&g_agent.m_requestLock);
}
