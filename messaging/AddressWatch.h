// Keeps the reported address list current and resends when the machine's addresses change.
#pragma once

#include <windows.h>

// Body of the address-change watcher thread.
unsigned __stdcall AddressWatchLoop(void* parameter);

// What one pass of the watcher leads to.
enum class WatchOutcome { Send, PauseThenRetry, Stop };

// The watcher's state that lives from pass to pass.
struct WatcherState {
    HANDLE event = nullptr;            // a socket-library event, given up after failures
    OVERLAPPED* overlapped = nullptr;  // on the heap: what a pending registration completes into
    HANDLE notification = nullptr;
};

// One pass: registers for one notification, waits for it (or for m_stopEvent) and tidies
// the event. A registration that may still complete is never registered again: a wait
// that fails or is stopped leaves its record and event to the system.
WatchOutcome AddressWatchPass(WatcherState& state);

// Registers for one address-change notification that signals overlapped->hEvent.
using AddressChangeRegistration = DWORD (*)(HANDLE* handle, OVERLAPPED* overlapped);
#ifdef PELLAMOR_TESTING
// Test builds only: the system never signals a change under Wine, so tests drive the
// watcher through this registration. The default one (null) signals the watcher each
// time the named event "PellamorTestAddressChange" is set.
void SetAddressChangeRegistration(AddressChangeRegistration registration);
constexpr const char kTestAddressChangeEventName[] = "PellamorTestAddressChange";
#endif
