// Starting and stopping the agent's two worker threads: the sender and the address watcher.
#include "messaging/Workers.h"

#include <process.h>

#include "core/AgentState.h"
#include "messaging/LogonExchange.h"

// A thread that was cut off is gone within moments; one that is not stays with its handles.
static const DWORD kCutOffLimit = 1000;

#ifdef PELLAMOR_TESTING
static bool WorkersRefused()
{
    HANDLE marker = OpenEventA(SYNCHRONIZE, FALSE, kTestNoWorkerEventName);
    if (marker == nullptr)
        return false;
    CloseHandle(marker);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return true;
}
#else
static bool WorkersRefused()
{
    return false;
}
#endif

HANDLE StartWorker(WorkerBody body)
{
    if (WorkersRefused())
        return nullptr;
    return reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, body, nullptr, 0, nullptr));
}

static bool AllEnded(const HANDLE* workers, DWORD count, DWORD limit)
{
    return count == 0 || WaitForMultipleObjects(count, workers, TRUE, limit) < WAIT_OBJECT_0 + count;
}

static void Close(HANDLE* handle)
{
    if (*handle != nullptr)
        CloseHandle(*handle);
    *handle = nullptr;
}

bool StopWorkers(DWORD limit)
{
    g_agent.m_shutDown = 1;
    HANDLE timerEvent = g_agent.m_eventHandle;
    if (timerEvent != nullptr)
        SetEvent(timerEvent);
    if (g_agent.m_stopEvent != nullptr)
        SetEvent(g_agent.m_stopEvent);
    HANDLE workers[kWorkerCount];
    DWORD count = 0;
    if (g_agent.m_timerThread != nullptr)
        workers[count++] = g_agent.m_timerThread;
    if (g_agent.m_dhcpThread != nullptr)
        workers[count++] = g_agent.m_dhcpThread;
    bool endedByThemselves = AllEnded(workers, count, limit);
    if (!endedByThemselves) {
        for (DWORD i = 0; i < count; ++i)
            if (WaitForSingleObject(workers[i], 0) == WAIT_TIMEOUT)
                TerminateThread(workers[i], 0);
        if (!AllEnded(workers, count, kCutOffLimit))
            return false;
    }
    Close(&g_agent.m_timerThread);
    Close(&g_agent.m_dhcpThread);
    g_agent.m_eventHandle = nullptr;
    Close(&timerEvent);
    return endedByThemselves;
}
