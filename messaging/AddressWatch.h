// Keeps the reported address list current and resends when the machine's addresses change.
#pragma once

#include <windows.h>

#include "core/HeapString.h"
#include "messaging/AddressList.h"

// The adapters' first IPv4 addresses, joined by ","; empty when the query fails.
void CollectAdapterAddresses(HeapString& list);

// Replaces the address list at the end of m_request when the adapters' list differs.
// Takes m_requestLock itself.
void RefreshIpList();

// Body of the address-change watcher thread.
unsigned __stdcall AddressWatchLoop(void* parameter);

// What one pass of the watcher leads to.
enum class WatchOutcome { Send, NoSend, PauseThenRetry, Stop };

// The watcher's state that lives from pass to pass.
struct WatcherState {
    HANDLE event = nullptr;  // a socket-library event, given up after failures
};

// One pass: registers for one notification, waits for it and tidies the event.
WatchOutcome AddressWatchPass(WatcherState& state);

// Registers for one address-change notification that signals overlapped->hEvent.
using AddressChangeRegistration = DWORD (*)(HANDLE* handle, OVERLAPPED* overlapped);
#ifdef PELLAMOR_TESTING
// Test builds only: the system never signals a change under Wine, so tests drive the
// watcher through this registration. The default one signals the watcher each time the
// named event "PellamorTestAddressChange" is set.
void SetAddressChangeRegistration(AddressChangeRegistration registration);
constexpr const char kTestAddressChangeEventName[] = "PellamorTestAddressChange";
#endif
