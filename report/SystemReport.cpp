// The system information report appended to the log file before every send.
#include "report/SystemReport.h"

#include <winsock2.h>
#include <windows.h>

#include "core/AgentState.h"
#include "core/Reporting.h"
#include "core/ScopedWin.h"
#include "report/TwSysInfo.h"

// The address list may be rewritten by the address watcher at any moment.
static void CopyAddressList(HeapString& copy)
{
    ScopedCritSec hold(&g_agent.m_requestLock);
    copy.Assign(g_agent.m_ipList.text, g_agent.m_ipList.length);
}

static void ComposeCurrentReport(const char* hostName, HeapString& block)
{
    TwSysInfo system(false);
    HeapString dateTime;
    HeapString ipList;
    HeapString servicePack;
    AppendCurrentDateTime(dateTime);
    CopyAddressList(ipList);
    OsVersion version;
    system.GetOsVersion(&version);
    system.GetServicePack(servicePack);

    ReportFacts facts;
    facts.dateTime = dateTime.text;
    facts.hostName = hostName;
    facts.ipList = ipList.text;
    facts.browserVersion = system.GetIEVersion();
    facts.osName = OsNameOf(version);
    facts.servicePack = servicePack.text;
    facts.freeMegabytes = system.GetFreeDiskSpace(nullptr);
    facts.physicalKilobytes = system.GetPhysicalMemory();
    facts.persistent = g_agent.m_persistent != 0;
    facts.domain = g_agent.m_domain.text;
    ComposeReport(facts, block);

    servicePack.Release();
    ipList.Release();
    dateTime.Release();
}

// Opens the log for writing at its end, shared with nobody so reports never interleave
// with another writer. INVALID_HANDLE_VALUE, with the reason in GetLastError, on failure.
static HANDLE OpenLogAtEnd()
{
    HANDLE file = CreateFileA(g_agent.m_logFilePath.text, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return file;
    // Passing the high part too keeps a log beyond 4 GB from being written at its start.
    LONG high = 0;
    if (SetFilePointer(file, 0, &high, FILE_END) == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
        DWORD reason = GetLastError();
        CloseHandle(file);
        SetLastError(reason);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

// What kept a report from being written, shown once the report lock is left.
struct ReportFailure {
    const char* message = nullptr;  // a message-insert text with at most the code as %1
    unsigned code = 0;
};

static ReportFailure AppendReport()
{
    ReportFailure failure;
    char hostName[1024] = {};
    if (gethostname(hostName, sizeof hostName) == SOCKET_ERROR) {
        failure.message = "Cannot get host name: ERROR %1!d!";
        failure.code = unsigned(WSAGetLastError());
        return failure;
    }
    HANDLE file = OpenLogAtEnd();
    if (file == INVALID_HANDLE_VALUE) {
        failure.message = "Cannot Open File: ERROR %1!d!";
        failure.code = unsigned(GetLastError());
        return failure;
    }
    HeapString block;
    ComposeCurrentReport(hostName, block);
    DWORD written = 0;
    WriteFile(file, block.text, block.length, &written, nullptr);  // a full disk is not noticed
    block.Release();
    if (!CloseHandle(file))
        failure.message = "Cannot Close File Descriptor";
    return failure;
}

void WriteSystemReport()
{
    if (!g_agent.m_writeLog)
        return;
    ReportFailure failure;
    {
        ScopedCritSec lock(&g_agent.m_reportLock);
        failure = AppendReport();
    }
    // Not under the lock: the other thread's report must not wait for a click.
    if (failure.message != nullptr && !g_agent.m_quiet)
        ShowMessage("Note", failure.message, failure.code);
}
