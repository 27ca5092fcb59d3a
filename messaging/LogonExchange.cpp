// One complete exchange with the server: send, answer the challenge, read the reply.
#include "messaging/LogonExchange.h"

#include <windows.h>
#include <winhttp.h>

#include "core/AgentState.h"
#include "core/Heap.h"
#include "core/Reporting.h"
#include "core/ScopedWin.h"
#include "messaging/AddressWatch.h"
#include "messaging/ReplyRules.h"
#include "report/SystemReport.h"

static const char kFirstSendFailed[] =
    "Pellamor can not reach the Auth server in the first attempt. (SendRequest failed, error: %1!d!)";
static const char kFirstStatusInvalid[] =
    "Pellamor can not reach the Auth server in the first attempt. (Invalid status code, error: %1!d!)";
static const char kFinalSendFailed[] =
    "Pellamor can not reach the Auth server in the final attempt. (SendRequest failed, error: %1!d!)";
static const char kFinalReceiveFailed[] =
    "Pellamor can not reach the Auth server in the final attempt. "
    "\t\t\t\t\t\t\t\t\t\t\t\t  (ReceiveResponse failed, error: %1!d!)";
static const char kFinalStatusInvalid[] =
    "Pellamor can not reach the Auth server in the final attempt. (Invalid status code, error: %1!d!)";

// Windows' WinHTTP waits 30 s for a reply by default; Wine's waits without limit, and a server
// that accepts and never answers would hold the sender there for good. Set, the limit is
// the same on both.
static const DWORD kReplyWaitLimit = 30000;

static void ReportExchangeFailure(const char* message, DWORD code)
{
    if (!g_agent.m_quiet)
        ShowMessage("Pellamor", message, unsigned(code));
}

// A UTF-16 copy of ANSI text on the process heap, or null when it cannot be made.
static WCHAR* WidenOnHeap(const char* text)
{
    int count = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, nullptr, 0);
    if (count <= 0)
        return nullptr;
    WCHAR* wide = static_cast<WCHAR*>(HeapAllocate(size_t(count) * sizeof(WCHAR)));
    if (wide != nullptr && MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, wide, count) != count) {
        HeapRelease(wide);
        return nullptr;
    }
    return wide;
}

static WCHAR* CopyRequestTarget()
{
    ScopedCritSec lock(&g_agent.m_requestLock);
    return WidenOnHeap(g_agent.m_request.text);
}

static DWORD QueryStatusCode(HINTERNET request)
{
    DWORD status = 0;
    DWORD size = sizeof status;
    WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    return status;
}

static bool SendAndReceive(HINTERNET request)
{
    return WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
           WinHttpReceiveResponse(request, nullptr);
}

static void AdoptInterval(const char* headers)
{
    const char* value = FindIntervalValue(headers);
    if (value == nullptr) {
        if (!g_agent.m_quiet)
            ShowMessageBox("INFORMATION", "Could not get timeout");
        return;
    }
    uint32_t current = g_agent.m_persistentTime;
    uint32_t newTime = IntervalFromHeaderValue(value, current);
    if (g_agent.m_trace)
        TRACE_LINE("New Timer: m_persistentTime=%d, newTime=%d", int(current), int(newTime));
    if (newTime != current) {
        ScopedCritSec lock(&g_agent.m_intervalLock);
        g_agent.m_persistentTime = newTime;
    }
}

// Reads the authenticated reply's header block and acts on it. The raw block is asked
// for its size first; any answer but "buffer too small" means there is no reply to read.
static void ReadAuthenticatedReply(HINTERNET request)
{
    DWORD size = 0;
    WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                        WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX);
    DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER) {
        ReportExchangeFailure(kFinalReceiveFailed, error);
        return;
    }
    WCHAR* wide = static_cast<WCHAR*>(HeapAllocate(size + sizeof(WCHAR)));
    if (wide == nullptr)
        return;
    wide[0] = L'\0';
    WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                        wide, &size, WINHTTP_NO_HEADER_INDEX);
    wide[size / sizeof(WCHAR)] = L'\0';
    int ansiSize = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, nullptr, 0, nullptr, nullptr);
    char* headers = ansiSize > 0 ? static_cast<char*>(HeapAllocate(size_t(ansiSize))) : nullptr;
    if (headers != nullptr &&
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, headers, ansiSize, nullptr, nullptr) > 0) {
        if (!ReplyIsSuccess(headers))
            ReportExchangeFailure(kFinalStatusInvalid, QueryStatusCode(request));
        else if (g_agent.m_persistent)
            AdoptInterval(headers);
    }
    HeapRelease(headers);
    HeapRelease(wide);
}

// The two sends on one request: unauthenticated first, then answering the challenge
// with the logged-on user's own credentials.
static void ExchangeOnRequest(HINTERNET request)
{
    if (g_agent.m_trace)
        TRACE_LINE("Sending Initial WinHttpSendRequest : hRequest=%d", int(intptr_t(request)));
    if (!SendAndReceive(request)) {
        ReportExchangeFailure(kFirstSendFailed, GetLastError());
        return;
    }
    DWORD status = QueryStatusCode(request);
    if (status != HTTP_STATUS_DENIED) {
        ReportExchangeFailure(kFirstStatusInvalid, status);
        return;
    }
    // LOW lets the library log on with the user's identity towards any server.
    DWORD policy = WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW;
    WinHttpSetOption(request, WINHTTP_OPTION_AUTOLOGON_POLICY, &policy, sizeof policy);
    if (g_agent.m_trace)
        TRACE_LINE("Sending Authentication WinHttpSendRequest: hRequest=%d", int(intptr_t(request)));
    if (!SendAndReceive(request)) {
        ReportExchangeFailure(kFinalSendFailed, GetLastError());
        return;
    }
    ReadAuthenticatedReply(request);
}

static bool ProtocolIsHttp()
{
    if (SameAsciiTextIgnoringCase(g_agent.m_protocol.text, "http"))
        return true;
    if (!g_agent.m_quiet) {
        HeapString text("Invalid protcol ");
        text.Append(g_agent.m_protocol.text, g_agent.m_protocol.length);
        ShowMessageBox("Note", text.text);
        text.Release();
    }
    return false;
}

void SendLogonMessage()
{
    WriteSystemReport();
    if (!ProtocolIsHttp())
        return;
    HINTERNET session = WinHttpOpen(L"Pellamor", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    if (session == nullptr)
        return;
    WCHAR* host = WidenOnHeap(g_agent.m_host.text);
    HINTERNET connection =
        host != nullptr ? WinHttpConnect(session, host, INTERNET_PORT(g_agent.m_port & 0xFFFF), 0) : nullptr;
    if (connection == nullptr) {
        WinHttpCloseHandle(session);
        HeapRelease(host);
        return;
    }
    if (g_agent.m_persistent && g_agent.m_dhcp)
        RefreshIpList();
    WCHAR* target = CopyRequestTarget();
    HINTERNET request = target != nullptr ? WinHttpOpenRequest(connection, L"GET", target, nullptr,
                                                                 WINHTTP_NO_REFERER,
                                                                 WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                                          : nullptr;
    if (request != nullptr) {
        DWORD limit = kReplyWaitLimit;
        WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &limit, sizeof limit);
        ExchangeOnRequest(request);
        WinHttpCloseHandle(request);
    }
    WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
    HeapRelease(host);
    HeapRelease(target);
}
