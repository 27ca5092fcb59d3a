// One complete exchange with the server: send, answer the challenge, read the reply.
#include "messaging/LogonExchange.h"

#include <windows.h>
#include <winhttp.h>

#include "core/AgentState.h"
#include "core/Heap.h"
#include "core/Reporting.h"
#include "core/ScopedWin.h"
#include "messaging/AdapterAddresses.h"
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

// The whole exchange has a deadline: Windows' WinHTTP waits 30 s for a reply by default, Wine's
// without limit, and a server that accepts and never answers, or answers one byte at a time, must
// not hold the sender. The request is asynchronous for its sake: closing a request while a call on
// it is under way is documented for asynchronous requests only, and per-phase time-outs would
// leave a trickled reply as long as the server likes. The exchange waits for each step with the
// time that is left, or until the session ends.
static const DWORD kExchangeDeadline = 30000;

// Where one exchange meets the library's callbacks. The library may call back after the
// exchange has given up, so the record lives until the request handle is gone: the callback
// that says so (WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) frees it.
struct ExchangeStep {
    HANDLE done = nullptr;  // auto-reset: set when a step has completed or failed
    DWORD error = 0;        // the failed step's error; 0 when it completed
};

static void CALLBACK OnRequestEvent(HINTERNET, DWORD_PTR context, DWORD status, void* info, DWORD)
{
    ExchangeStep* step = reinterpret_cast<ExchangeStep*>(context);
    if (step == nullptr)
        return;
    if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
        CloseHandle(step->done);
        HeapRelease(step);
        return;
    }
    if (status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR)
        step->error = static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError;
    SetEvent(step->done);
}

static const DWORD kStepNotifications = WINHTTP_CALLBACK_FLAG_SENDREQUEST_COMPLETE |
                                        WINHTTP_CALLBACK_FLAG_HEADERS_AVAILABLE |
                                        WINHTTP_CALLBACK_FLAG_REQUEST_ERROR | WINHTTP_CALLBACK_FLAG_HANDLES;

// Ties a new record to the request; null (and nothing tied) when that cannot be done.
static ExchangeStep* AttachStep(HINTERNET request)
{
    ExchangeStep* step = static_cast<ExchangeStep*>(HeapAllocate(sizeof(ExchangeStep)));
    if (step == nullptr)
        return nullptr;
    step->error = 0;
    step->done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(step);
    if (step->done != nullptr && WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context) &&
        WinHttpSetStatusCallback(request, OnRequestEvent, kStepNotifications, 0) != WINHTTP_INVALID_STATUS_CALLBACK)
        return step;
    if (step->done != nullptr)
        CloseHandle(step->done);
    HeapRelease(step);
    return nullptr;
}

// Waits for the step under way; false, with the reason in GetLastError, when it failed, the
// deadline passed or the session ended.
static bool Await(ExchangeStep* step, DWORD deadline)
{
    int32_t left = int32_t(deadline - GetTickCount());
    const HANDLE waits[] = {step->done, g_agent.m_stopEvent};
    DWORD woke = WaitForMultipleObjects(waits[1] != nullptr ? 2 : 1, waits, FALSE, left > 0 ? DWORD(left) : 0);
    if (woke != WAIT_OBJECT_0) {
        SetLastError(woke == WAIT_TIMEOUT ? ERROR_WINHTTP_TIMEOUT : ERROR_WINHTTP_OPERATION_CANCELLED);
        return false;
    }
    SetLastError(step->error);
    return step->error == 0;
}

// No box once the session ends: nobody would answer it, and the worker must end.
static void ShowExchangeFailure(const char* message, DWORD code)
{
    if (!g_agent.m_quiet && !g_agent.m_shutDown)
        ShowMessage("Pellamor", message, unsigned(code));
}

// Every failure, silent or not, leaves its code in the trace: a failed login must not read like
// one that went through.
static ExchangeOutcome Failure(DWORD code)
{
    if (g_agent.m_trace)
        TRACE_LINE("Exchange failed: code=%u", unsigned(code));
    ExchangeOutcome outcome;
    outcome.failed = true;
    outcome.code = code;
    return outcome;
}

static ExchangeOutcome ReportExchangeFailure(const char* message, DWORD code)
{
    ShowExchangeFailure(message, code);
    return Failure(code);
}

// A refusal may say when to come back (Retry-After, in seconds; a date counts as no answer).
static ExchangeOutcome ReportRefusal(HINTERNET request, const char* message, DWORD status)
{
    ExchangeOutcome outcome = ReportExchangeFailure(message, status);
    DWORD size = sizeof outcome.retryAfterSeconds;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_RETRY_AFTER | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &outcome.retryAfterSeconds, &size, WINHTTP_NO_HEADER_INDEX))
        outcome.retryAfterSeconds = 0;
    return outcome;
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

static bool SendAndReceive(HINTERNET request, ExchangeStep* step, DWORD deadline)
{
    return WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                              reinterpret_cast<DWORD_PTR>(step)) &&
           Await(step, deadline) && WinHttpReceiveResponse(request, nullptr) && Await(step, deadline);
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
static ExchangeOutcome ReadAuthenticatedReply(HINTERNET request)
{
    DWORD size = 0;
    WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                        WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX);
    DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER)
        return ReportExchangeFailure(kFinalReceiveFailed, error);
    AutoHeapBuffer<WCHAR> wide;
    wide.buffer = static_cast<WCHAR*>(HeapAllocate(size + sizeof(WCHAR)));
    if (wide.buffer == nullptr)
        return Failure(ERROR_NOT_ENOUGH_MEMORY);
    wide.buffer[0] = L'\0';
    WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                        wide.buffer, &size, WINHTTP_NO_HEADER_INDEX);
    wide.buffer[size / sizeof(WCHAR)] = L'\0';
    int ansiSize =
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.buffer, -1, nullptr, 0, nullptr, nullptr);
    AutoHeapBuffer<char> headers;  // freed before the UTF-16 block
    headers.buffer = ansiSize > 0 ? static_cast<char*>(HeapAllocate(size_t(ansiSize))) : nullptr;
    if (headers.buffer == nullptr || WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.buffer, -1,
                                                         headers.buffer, ansiSize, nullptr, nullptr) <= 0)
        return Failure(ERROR_NOT_ENOUGH_MEMORY);
    if (!ReplyIsSuccess(headers.buffer))
        return ReportRefusal(request, kFinalStatusInvalid, QueryStatusCode(request));
    if (g_agent.m_persistent)
        AdoptInterval(headers.buffer);
    return ExchangeOutcome();
}

// The two sends on one request: unauthenticated first, then answering the challenge
// with the logged-on user's own credentials.
static ExchangeOutcome ExchangeOnRequest(HINTERNET request, ExchangeStep* step)
{
    const DWORD deadline = GetTickCount() + kExchangeDeadline;
    // A redirect would take the user's logon to whatever host the reply names: a 3xx is a
    // failed status like any other.
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(request, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
    if (g_agent.m_trace)
        TRACE_LINE("Sending Initial WinHttpSendRequest : hRequest=%d", int(intptr_t(request)));
    if (!SendAndReceive(request, step, deadline))
        return ReportExchangeFailure(kFirstSendFailed, GetLastError());
    DWORD status = QueryStatusCode(request);
    if (status != HTTP_STATUS_DENIED)
        return ReportRefusal(request, kFirstStatusInvalid, status);
    // LOW lets the library log on with the user's identity towards any server.
    DWORD policy = WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW;
    WinHttpSetOption(request, WINHTTP_OPTION_AUTOLOGON_POLICY, &policy, sizeof policy);
    if (g_agent.m_trace)
        TRACE_LINE("Sending Authentication WinHttpSendRequest: hRequest=%d", int(intptr_t(request)));
    if (!SendAndReceive(request, step, deadline))
        return ReportExchangeFailure(kFinalSendFailed, GetLastError());
    return ReadAuthenticatedReply(request);
}

static bool ProtocolIsHttp()
{
    if (SameAsciiTextIgnoringCase(g_agent.m_protocol.text, "http"))
        return true;
    if (!g_agent.m_quiet) {
        HeapString text("Invalid protcol ");  // typo and all, as the box has always read
        text.Append(g_agent.m_protocol.text, g_agent.m_protocol.length);
        ShowMessageBox("Note", text.text);
        text.Release();
    }
    return false;
}

// A session that ends before the exchange is under way sees no exchange at all.
static ExchangeOutcome ExchangeOn(HINTERNET request)
{
    ExchangeStep* step = g_agent.m_shutDown ? nullptr : AttachStep(request);
    ExchangeOutcome outcome = step != nullptr ? ExchangeOnRequest(request, step) : Failure(ERROR_WINHTTP_OPERATION_CANCELLED);
    WinHttpCloseHandle(request);
    return outcome;
}

// The guards are declared in the order that gives everything back as the exchange always
// has: the request, the connection, the session, then the host's copy and the request's.
ExchangeOutcome SendLogonMessage()
{
    WriteSystemReport();
    if (!ProtocolIsHttp())
        return Failure(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
    AutoHeapBuffer<WCHAR> target;
    AutoHeapBuffer<WCHAR> host;
    AutoCloseInternet session;
    AutoCloseInternet connection;
    session.handle = WinHttpOpen(L"Pellamor", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                 WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    if (session.handle == nullptr)
        return Failure(GetLastError());
    host.buffer = WidenOnHeap(g_agent.m_host.text);
    if (host.buffer != nullptr)
        connection.handle = WinHttpConnect(session.handle, host.buffer, INTERNET_PORT(g_agent.m_port & 0xFFFF), 0);
    if (connection.handle == nullptr)
        return Failure(GetLastError());
    if (g_agent.m_persistent && g_agent.m_dhcp)
        RefreshIpList();
    target.buffer = CopyRequestTarget();
    HINTERNET request = target.buffer != nullptr ? WinHttpOpenRequest(connection.handle, L"GET", target.buffer,
                                                                       nullptr, WINHTTP_NO_REFERER,
                                                                       WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                                                 : nullptr;
    return request != nullptr ? ExchangeOn(request) : Failure(GetLastError());
}
