// The one process-wide record of the agent's settings and run-time state.
#pragma once

#include <windows.h>

#include <atomic>
#include <stdint.h>

#include "core/HeapString.h"

constexpr const char kRunningEventName[] = "PellamorRunningEvent";
constexpr const char kTimerEventName[] = "TARNWISEtimerEvent";
constexpr uint32_t kDefaultPersistentTime = 900000;  // 15 minutes, in ms
constexpr uint32_t kMinimumPersistentTime = 60000;   // shortest interval a server may set
// The sender (m_timerThread) and the address watcher (m_dhcpThread), the threads that send.
constexpr unsigned kWorkerCount = 2;

struct AgentState {
    // Settings: written by ParseCommandLine before any thread starts.
    uint8_t m_persistent = 1;
    uint8_t m_quiet = 1;
    uint8_t m_logout = 0;
    uint8_t m_copy = 0;
    uint8_t m_writeLog = 0;
    uint8_t m_trace = 0;
    uint8_t m_dhcp = 0;
    HeapString m_url;
    HeapString m_protocol;
    HeapString m_host;
    int32_t m_port = 0;
    HeapString m_domain;
    HeapString m_logFilePath;
    const char* m_logFileName = nullptr;  // as "/filename" gave it (an argument); null for the default

    // Shared run-time state; the comments name the guard.
    std::atomic<uint32_t> m_persistentTime{kDefaultPersistentTime};  // writes under m_intervalLock
    HeapString m_request;                                              // m_requestLock
    HeapString m_ipList;                                               // m_requestLock
    std::atomic<uint8_t> m_shutDown{0};                                // set once, then the events
    // The timer event: the window thread makes it and, once no worker can use it, closes it;
    // the address watcher, which starts before it exists, reads it for its trace.
    std::atomic<HANDLE> m_eventHandle{nullptr};
    // Set at the end of the session, so that the address watcher and the exchanges stop waiting;
    // made before the workers start and never closed.
    HANDLE m_stopEvent = nullptr;
    UINT_PTR m_timerId = 0;
    HANDLE m_timerThread = nullptr;  // the window thread's alone, like the two below
    HANDLE m_dhcpThread = nullptr;
    HANDLE m_runningEvent = nullptr;

    // Lock order: m_requestLock may be taken while m_reportLock is held, never the reverse.
    CRITICAL_SECTION m_reportLock;
    CRITICAL_SECTION m_intervalLock;
    CRITICAL_SECTION m_requestLock;
};

extern AgentState g_agent;

// Initialises the three locks, in the order the agent's entry point needs them.
void InitializeAgentLocks();
