// Starting and stopping the agent's two worker threads: the sender and the address watcher.
#pragma once

#include <windows.h>

using WorkerBody = unsigned(__stdcall*)(void* parameter);

// Starts a worker thread; null, with the reason in GetLastError, when it cannot be started.
HANDLE StartWorker(WorkerBody body);

// Asks the workers to stop (m_shutDown, then the timer event and the stop event, which every
// exchange under way gives up on) and waits
// for every one that was started, at most `limit` ms; those still running then are cut
// off. The thread handles and the timer event are closed only once no worker runs any more.
// True when every worker ended by itself.
bool StopWorkers(DWORD limit);

#ifdef PELLAMOR_TESTING
// Test builds only: no worker starts while an event of this name exists.
constexpr const char kTestNoWorkerEventName[] = "PellamorTestNoWorker";
#endif
