// The machine's address list as the agent reports it, and its place at the end of the logon request.
#pragma once

#include <windows.h>
#include <iphlpapi.h>

#include "core/HeapString.h"

// The adapters' first IPv4 addresses, joined by ",", each once and without "0.0.0.0"; empty
// when there are none. False,
// with an empty list, when the query failed: the list then says nothing. Shows nothing.
bool CollectAdapterAddresses(HeapString& list);

// Replaces the address list at the end of m_request when the adapters' list differs.
// Takes m_requestLock itself; a failed query is shown (unless quiet) once it is left.
void RefreshIpList();

// Fills the adapters' records as GetAdaptersInfo does.
using AdapterInfoQuery = ULONG(WINAPI*)(PIP_ADAPTER_INFO adapters, PULONG size);
#ifdef PELLAMOR_TESTING
// Test builds only: the adapters' table as a test wants it to be (null: the system's).
void SetAdapterInfoQuery(AdapterInfoQuery query);
#endif
