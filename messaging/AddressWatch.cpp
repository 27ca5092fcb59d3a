// Keeps the reported address list current and resends when the machine's addresses change.
#include "messaging/AddressWatch.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <process.h>
#include <string.h>

#include "core/AgentState.h"
#include "core/Heap.h"
#include "core/Reporting.h"
#include "messaging/LogonExchange.h"

// After a registration that failed, or an event that could not be made, the watcher waits
// this long before trying again, so that a lasting fault neither spins nor ends watching.
static const DWORD kRetryPause = 60000;
// Written so, typo and all, since the first release: people search their logs for it.
static const char kNotSupported[] = "NotifyAddrChange not supoorted on this OS";

#ifdef PELLAMOR_TESTING
static unsigned __stdcall ForwardTestNotification(void* watcherEvent)
{
    HANDLE test = CreateEventA(nullptr, FALSE, FALSE, kTestAddressChangeEventName);
    if (test != nullptr && WaitForSingleObject(test, INFINITE) == WAIT_OBJECT_0)
        SetEvent(static_cast<HANDLE>(watcherEvent));
    if (test != nullptr)
        CloseHandle(test);
    return 0;
}

static DWORD NotifyOnTestEvent(HANDLE*, OVERLAPPED* overlapped)
{
    HANDLE thread = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, ForwardTestNotification, overlapped->hEvent, 0, nullptr));
    if (thread == nullptr)
        return GetLastError();
    CloseHandle(thread);
    return ERROR_IO_PENDING;
}

static AddressChangeRegistration g_registerAddressChange = NotifyOnTestEvent;

void SetAddressChangeRegistration(AddressChangeRegistration registration)
{
    g_registerAddressChange = registration != nullptr ? registration : NotifyOnTestEvent;
}
#else
static DWORD NotifyOnAddressChange(HANDLE* handle, OVERLAPPED* overlapped)
{
    return NotifyAddrChange(handle, overlapped);
}

static AddressChangeRegistration g_registerAddressChange = NotifyOnAddressChange;
#endif

static void GiveUpEvent(WatcherState& state)
{
    if (state.event != nullptr)
        WSACloseEvent(state.event);
    state.event = nullptr;
}

// A registration that may still complete keeps its record and its event for good: the
// system would write into the one and signal the other. The next pass makes new ones.
static void LeaveRegistration(WatcherState& state)
{
    state.overlapped = nullptr;
    state.event = nullptr;
}

// Resets the watcher's event after a notification; a reset that fails twice gives it up.
static void ResetAfterNotification(WatcherState& state)
{
    if (WSAResetEvent(state.event) == TRUE)
        return;
    if (g_agent.m_trace)
        TRACE_LINE("WSAResetEvent() failed: ERR: %d", int(GetLastError()));
    if (WSAResetEvent(state.event) == TRUE)
        return;
    GiveUpEvent(state);
    if (g_agent.m_trace)
        TRACE_LINE("WSAResetEvent() (2nd time) failed: ERR: %d", int(GetLastError()));
}

// Returns false when the watcher must not wait on this pass's registration.
static bool Register(WatcherState& state, WatchOutcome* outcome)
{
    *outcome = WatchOutcome::PauseThenRetry;
    // The system completes the registration into the record later, so it is on the heap.
    if (state.overlapped == nullptr)
        state.overlapped = static_cast<OVERLAPPED*>(HeapAllocate(sizeof(OVERLAPPED)));
    if (state.overlapped == nullptr)
        return false;
    memset(state.overlapped, 0, sizeof *state.overlapped);
    state.notification = nullptr;
    state.overlapped->hEvent = state.event;
    DWORD result = g_registerAddressChange(&state.notification, state.overlapped);
    if (result == NO_ERROR || result == ERROR_IO_PENDING)
        return true;
    if (result == ERROR_NOT_SUPPORTED) {
        if (g_agent.m_trace)
            TRACE_LINE("%s", kNotSupported);
        if (!g_agent.m_quiet)
            ShowMessageBox("Note", kNotSupported);
        *outcome = WatchOutcome::Stop;
    } else {
        if (g_agent.m_trace)
            TRACE_LINE("NotifyAddrChange error ERR: %d", int(result));  // the call's own answer
        // The watcher retries after every pause; one box says it all.
        static bool shown = false;
        if (!g_agent.m_quiet && !shown)
            ShowMessageBox("Note", "NotifyAddrChange error");
        shown = true;
        // Nothing will ever signal an event whose registration failed: start over later.
    }
    GiveUpEvent(state);
    return false;
}

WatchOutcome AddressWatchPass(WatcherState& state)
{
    if (state.event == nullptr)
        state.event = WSACreateEvent();
    if (state.event == nullptr)
        return WatchOutcome::PauseThenRetry;
    WatchOutcome outcome;
    if (!Register(state, &outcome))
        return outcome;
    if (g_agent.m_trace)
        TRACE_LINE("DHCP Loop:Begin wait: %d, %d", int(intptr_t(state.event)),
                   int(intptr_t(g_agent.m_eventHandle.load())));
    HANDLE registered = state.event;
    const HANDLE waits[] = {registered, g_agent.m_stopEvent};
    DWORD waited = WaitForMultipleObjects(waits[1] != nullptr ? 2 : 1, waits, FALSE, INFINITE);
    if (waited == WAIT_OBJECT_0) {
        ResetAfterNotification(state);
        if (g_agent.m_trace)
            TRACE_LINE("DHCP Loop:End wait: %d, %d, m_shutDown=%d", int(intptr_t(registered)),
                       int(intptr_t(g_agent.m_eventHandle.load())), int(g_agent.m_shutDown.load()));
        return WatchOutcome::Send;
    }
    LeaveRegistration(state);
    if (waited == WAIT_OBJECT_0 + 1)
        return WatchOutcome::Stop;
    // The two texts name the call the watcher once made; they stay as the logs know them.
    if (waited == WAIT_FAILED) {
        if (g_agent.m_trace)
            TRACE_LINE("WSAWaitForMultipleEvents() failed : ERR: %d", int(GetLastError()));
    } else if (g_agent.m_trace) {
        TRACE_LINE("WSAWaitForMultipleEvents() return-code unexpected : %d", int(waited));
    }
    return WatchOutcome::PauseThenRetry;
}

// Waits before the next try, unless the session ends first.
static void PauseBeforeRetry()
{
    if (g_agent.m_stopEvent != nullptr)
        WaitForSingleObject(g_agent.m_stopEvent, kRetryPause);
    else
        Sleep(kRetryPause);
}

// No registration is pending when the watcher ends of itself: its record and event go.
static void EndWatch(WatcherState& state)
{
    GiveUpEvent(state);
    HeapRelease(state.overlapped);
    state.overlapped = nullptr;
}

unsigned __stdcall AddressWatchLoop(void*)
{
    WatcherState state;
    for (;;) {
        WatchOutcome outcome = AddressWatchPass(state);
        if (outcome == WatchOutcome::Stop) {
            EndWatch(state);
            return 0;
        }
        // No login may go out once the session-end shutdown has begun.
        if (outcome == WatchOutcome::Send && !g_agent.m_shutDown)
            SendLogonMessage();
        if (outcome == WatchOutcome::PauseThenRetry)
            PauseBeforeRetry();
        if (g_agent.m_shutDown) {
            EndWatch(state);
            return 0;
        }
    }
}
