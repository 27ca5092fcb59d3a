// The agent's entry point.
#include <winsock2.h>
#include <windows.h>

#include <stdlib.h>

#include "agent/CommandLine.h"
#include "core/AgentState.h"
#include "core/Reporting.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    WSADATA sockets;
    WSAStartup(0x0101, &sockets);
    InitializeAgentLocks();
    if (!ParseCommandLine(__argc, __argv))
        return 1;
    if (g_agent.m_trace)
        TRACE_LINE("%s", "\n\nSTART");
    WSACleanup();
    return 0;
}
