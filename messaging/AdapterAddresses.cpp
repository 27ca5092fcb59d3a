// The machine's address list as the agent reports it, and its place at the end of the logon request.
#include "messaging/AdapterAddresses.h"

#include "core/AgentState.h"
#include "core/Heap.h"
#include "core/Reporting.h"
#include "core/ScopedWin.h"
#include "messaging/AddressList.h"

// An adapter that appears between the size query and the read makes the read too small
// again; a few more tries see the table settle.
static const int kAdapterQueryAttempts = 4;

#ifdef PELLAMOR_TESTING
static AdapterInfoQuery g_queryAdapters = GetAdaptersInfo;

void SetAdapterInfoQuery(AdapterInfoQuery query)
{
    g_queryAdapters = query != nullptr ? query : GetAdaptersInfo;
}
#else
static const AdapterInfoQuery g_queryAdapters = GetAdaptersInfo;
#endif

bool CollectAdapterAddresses(HeapString& list)
{
    list.Assign(kEmptyText, 0);
    ULONG size = sizeof(IP_ADAPTER_INFO);
    AutoHeapBuffer<IP_ADAPTER_INFO> adapters;
    DWORD result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < kAdapterQueryAttempts && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        HeapRelease(adapters.buffer);
        adapters.buffer = static_cast<IP_ADAPTER_INFO*>(HeapAllocate(size));
        result = adapters.buffer != nullptr ? g_queryAdapters(adapters.buffer, &size) : ERROR_NOT_ENOUGH_MEMORY;
    }
    if (result != NO_ERROR)
        return result == ERROR_NO_DATA;
    for (IP_ADAPTER_INFO* adapter = adapters.buffer; adapter != nullptr; adapter = adapter->Next)
        AppendAddress(list, adapter->IpAddressList.IpAddress.String);
    return true;
}

void RefreshIpList()
{
    bool answered;
    {
        // The query runs under the lock too, so that an older answer never replaces a newer one.
        ScopedCritSec lock(&g_agent.m_requestLock);
        HeapString current;
        answered = CollectAdapterAddresses(current);
        // A query that failed says nothing about the addresses: the machine still has the old ones.
        if (answered)
            ReplaceAddressList(g_agent.m_request, g_agent.m_ipList, current);
        current.Release();
    }
    // Not under the lock: the other thread's exchange must not wait for a click.
    if (!answered && !g_agent.m_quiet)
        ShowMessageBox("Note", "Call to GetAdaptersInfo failed");
}
