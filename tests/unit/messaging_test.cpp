// Tests of the messaging pieces: the address list and its watcher, the reply rules, the timer loop, the workers.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <process.h>
#include <stdio.h>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/AgentState.h"
#include "core/Reporting.h"
#include "messaging/AdapterAddresses.h"
#include "messaging/AddressWatch.h"
#include "messaging/ReplyRules.h"
#include "messaging/TimerLoop.h"
#include "messaging/Workers.h"

namespace {

// The adapters' table as a test scripts it: how many adapters each query finds (the last
// count repeats), or an error that every query gives.
std::vector<ULONG> g_adapters;
std::vector<const char*> g_addressNames;  // the adapters' addresses in turn; past its end, 10.0.0.N
DWORD g_adapterError;
size_t g_queries;

ULONG WINAPI ScriptedAdapters(PIP_ADAPTER_INFO buffer, PULONG size)
{
    ULONG count = g_adapters[g_queries < g_adapters.size() ? g_queries : g_adapters.size() - 1];
    ++g_queries;
    if (g_adapterError != NO_ERROR)
        return g_adapterError;
    if (*size < count * sizeof(IP_ADAPTER_INFO)) {
        *size = count * ULONG(sizeof(IP_ADAPTER_INFO));
        return ERROR_BUFFER_OVERFLOW;
    }
    memset(buffer, 0, *size);
    for (ULONG i = 0; i < count; ++i) {
        if (i < g_addressNames.size())
            snprintf(buffer[i].IpAddressList.IpAddress.String, 16, "%s", g_addressNames[i]);
        else
            snprintf(buffer[i].IpAddressList.IpAddress.String, 16, "10.0.0.%lu", i + 1);
        buffer[i].Next = i + 1 < count ? &buffer[i + 1] : nullptr;
    }
    return NO_ERROR;
}

// A box waits for a click; one shown under a lock would keep the other thread's exchange or report waiting.
std::string g_boxes;
int CollectBox(const char*, const char* text)
{
    bool locked = g_agent.m_requestLock.OwningThread != nullptr || g_agent.m_reportLock.OwningThread != nullptr;
    g_boxes.append(text).append(locked ? " (under the lock);" : ";");
    return IDOK;
}

// Boxes are collected, not shown, and every one counts (m_quiet is 0); sockets are ready; what a
// test changes in the shared g_agent and in the seams is put back afterwards.
class Messaging : public testing::Test {
protected:
    void SetUp() override
    {
        WSADATA data;
        WSAStartup(0x0101, &data);
        SetMessageBoxHook(CollectBox);
        g_agent.m_quiet = 0;
        g_boxes.clear();
    }
    void TearDown() override
    {
        g_agent.m_quiet = 1;
        g_agent.m_shutDown = 0;
        g_agent.m_trace = 0;
        g_agent.m_writeLog = 0;
        g_agent.m_persistentTime = kDefaultPersistentTime;
        for (HeapString* text : {&g_agent.m_protocol, &g_agent.m_request, &g_agent.m_ipList, &g_agent.m_logFilePath})
            text->Release();
        SetMessageBoxHook(nullptr);
        SetAdapterInfoQuery(nullptr);
        SetAddressChangeRegistration(nullptr);
        WSACleanup();
    }
};

// The list at the end of the request follows the adapters. Adapters that come and go between
// the size query and the read must not empty it, a failed query says nothing about it, and
// no adapters at all empty it without a box.
TEST_F(Messaging, RefreshIpListFollowsTheAdaptersThroughChurnAndFailures)
{
    const char kFailed[] = "Call to GetAdaptersInfo failed;";
    struct Case {
        std::vector<ULONG> adapters;
        DWORD error;
        const char* before;
        const char* after;
        const char* boxes;
    } cases[] = {
        {{2}, NO_ERROR, "10.0.0.2,10.0.0.1", "10.0.0.1,10.0.0.2", ""},
        {{2, 3}, NO_ERROR, "192.0.2.1", "10.0.0.1,10.0.0.2,10.0.0.3", ""},  // one came between size and read
        {{2, 3, 4, 5, 6}, NO_ERROR, "192.0.2.1", "192.0.2.1", kFailed},      // the table never settles
        {{0}, ERROR_NOT_SUPPORTED, "192.0.2.1", "192.0.2.1", kFailed},
        {{0}, ERROR_NO_DATA, "192.0.2.1", "", ""},
    };
    SetAdapterInfoQuery(ScriptedAdapters);
    for (const Case& c : cases) {
        g_adapters = c.adapters;
        g_adapterError = c.error;
        g_queries = 0;
        g_boxes.clear();
        g_agent.m_request.AssignText("/t?a=1&ip=").AppendText(c.before);
        g_agent.m_ipList.AssignText(c.before);
        RefreshIpList();
        EXPECT_EQ(g_agent.m_ipList.text, std::string(c.after));
        EXPECT_EQ(g_agent.m_request.text, "/t?a=1&ip=" + std::string(c.after));
        EXPECT_EQ(g_boxes, c.boxes) << c.before << " -> " << c.after;
    }
}

// An adapter without IPv4 reports 0.0.0.0, and adapters may share an address: neither is listed.
TEST_F(Messaging, CollectAdapterAddressesListsEachRealAddressOnce)
{
    SetAdapterInfoQuery(ScriptedAdapters);
    g_adapters = {6};
    g_adapterError = NO_ERROR;
    g_addressNames = {"10.0.0.10", "0.0.0.0", "10.0.0.1", "10.0.0.10", "0.0.0.0", ""};
    HeapString list;
    EXPECT_TRUE(CollectAdapterAddresses(list));
    EXPECT_STREQ(list.text, "10.0.0.10,10.0.0.1");
    list.Release();
    g_addressNames.clear();
}

// Success is the status line alone; the interval is read as the table says, clamped, never wrapped,
// and only from a header of that very name at the start of a line.
TEST(ReplyRules, StatusLineAndIntervalTable)
{
    EXPECT_TRUE(ReplyIsSuccess("HTTP/1.1 200 OK\r\nPersistent-Time: 60\r\n\r\n"));
    EXPECT_TRUE(ReplyIsSuccess("HTTP/1.1 200\r\n\r\n"));
    for (const char* refusal : {"HTTP/1.0 200 OK\r\n\r\n", "HTTP/1.1 2000 OK\r\n\r\n",
                                "HTTP/1.1 403 Forbidden\r\nX-Note: HTTP/1.1 200\r\n\r\n"})
        EXPECT_FALSE(ReplyIsSuccess(refusal)) << refusal;
    const uint32_t current = 120000;
    struct Case {
        const char* value;
        uint32_t interval;
    } cases[] = {
        {"0", 60000},         {"59", 60000},          {"60", 60000},         {"61", 61000},
        {"900\r\n", 900000},  {" 61 \r\n", 61000},    {"", current},         {"-1", current},
        {"-0", current},      {"+61", current},       {"61x", current},      {"abc", current},
        {"0x384", current},   {"1.5", current},       {"4294967", 4294967000}, {"4294968", 4294967000},
        {"99999999999", 4294967000}, {"99999999999999999999", 4294967000},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IntervalFromHeaderValue(c.value, current), c.interval) << c.value;
    EXPECT_STREQ(FindIntervalValue("A: 1\r\nPersistent-Time: 90\r\n"), "90\r\n");
    EXPECT_STREQ(FindIntervalValue("HTTP/1.1 200 OK\r\npersistent-TIME:90\r\n"), "90\r\n");
    for (const char* other : {"Persistent-Time: 90\r\n", "HTTP/1.1 200 OK\r\nX-Max-Persistent-Time: 86400\r\n",
                              "HTTP/1.1 200 OK\r\nPersistent-Times: 90\r\n", "HTTP/1.1 200 OK\r\n Persistent-Time: 90\r\n"})
        EXPECT_EQ(FindIntervalValue(other), nullptr) << other;
}

// A failed send comes back after the server's wish or a minute, a little later for some machines
// than for others, and never later than the send the interval would make anyway.
TEST(ReplyRules, RetryDelayTable)
{
    struct Case {
        uint32_t retryAfterSeconds, interval, noise, delay;
    } cases[] = {
        {0, 900000, 0, 60000},          {0, 900000, 15000, 75000},     {0, 900000, 15001, 60000},
        {1, 900000, 0, 1000},           {1, 900000, 250, 1250},        {1, 900000, 251, 1000},
        {120, 900000, 7, 120007},       {0, 60000, 9999, 60000},       {3600, 900000, 0, 900000},
        {4294967295u, 4294967000u, 0, 4294967000u},
    };
    for (const Case& c : cases)
        EXPECT_EQ(RetryDelay(c.retryAfterSeconds, c.interval, c.noise), c.delay) << c.retryAfterSeconds << " " << c.noise;
}

OVERLAPPED* g_registered;

TEST_F(Messaging, AddressWatchPassRegistrationOutcomes)
{
    struct Case {
        AddressChangeRegistration registration;
        WatchOutcome outcome;
        const char* boxes;
        bool keepsEvent;
    } cases[] = {
        {[](HANDLE*, OVERLAPPED* o) -> DWORD { g_registered = o; SetEvent(o->hEvent); return ERROR_IO_PENDING; },
         WatchOutcome::Send, "", true},
        {[](HANDLE*, OVERLAPPED* o) -> DWORD { g_registered = o; SetEvent(o->hEvent); return NO_ERROR; },
         WatchOutcome::Send, "", true},
        {[](HANDLE*, OVERLAPPED*) -> DWORD { return ERROR_NOT_SUPPORTED; }, WatchOutcome::Stop,
         "NotifyAddrChange not supoorted on this OS;", false},
        // Nothing would ever signal this registration: start over after a pause, and say so once.
        {[](HANDLE*, OVERLAPPED*) -> DWORD { return ERROR_ACCESS_DENIED; }, WatchOutcome::PauseThenRetry,
         "NotifyAddrChange error;", false},
        {[](HANDLE*, OVERLAPPED*) -> DWORD { return ERROR_ACCESS_DENIED; }, WatchOutcome::PauseThenRetry, "",
         false},
    };
    for (const Case& c : cases) {
        g_boxes.clear();
        g_registered = nullptr;
        SetAddressChangeRegistration(c.registration);
        WatcherState state;
        EXPECT_EQ(AddressWatchPass(state), c.outcome);
        EXPECT_EQ(g_boxes, c.boxes);
        EXPECT_EQ(state.event != nullptr, c.keepsEvent);
        if (state.event != nullptr) {
            // The system completes a registration into its record later: it must outlive the call.
            EXPECT_EQ(g_registered, state.overlapped);
            EXPECT_EQ(WaitForSingleObject(state.event, 0), WAIT_TIMEOUT) << "reset after the notification";
            WSACloseEvent(state.event);
        }
    }
    // A wait that fails leaves its registration, which may still complete, to the system:
    // the next pass registers into a record of its own.
    SetAddressChangeRegistration([](HANDLE*, OVERLAPPED* o) -> DWORD {
        g_registered = o;
        CloseHandle(o->hEvent);
        return ERROR_IO_PENDING;
    });
    WatcherState state;
    EXPECT_EQ(AddressWatchPass(state), WatchOutcome::PauseThenRetry);
    OVERLAPPED* left = g_registered;
    EXPECT_EQ(AddressWatchPass(state), WatchOutcome::PauseThenRetry);
    EXPECT_NE(g_registered, left);
    // A change noticed once the session-end shutdown has begun sends nothing ("ftp" would show a box).
    g_agent.m_protocol.AssignText("ftp");
    SetAddressChangeRegistration([](HANDLE*, OVERLAPPED* o) -> DWORD {
        g_agent.m_shutDown = 1;
        SetEvent(o->hEvent);
        return ERROR_IO_PENDING;
    });
    g_boxes.clear();
    HANDLE watcher = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, AddressWatchLoop, nullptr, 0, nullptr));
    EXPECT_EQ(WaitForSingleObject(watcher, 60000), WAIT_OBJECT_0);
    CloseHandle(watcher);
    EXPECT_EQ(g_boxes, "");
}

int CountInTraceFile(const char* text)
{
    std::ifstream file(kTraceFilePath, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    int count = 0;
    for (size_t at = bytes.find(text); at != std::string::npos; at = bytes.find(text, at + 1))
        ++count;
    return count;
}

// Without its timer event every wait fails at once; the loop must not send back to back. A report
// that cannot be written is told once it is left.
TEST_F(Messaging, TimerLoopWithoutItsEventNeverSendsBackToBack)
{
    remove(kTraceFilePath);
    g_agent.m_protocol.AssignText("ftp");  // each send ends after the report, before any network call
    g_agent.m_writeLog = 1;
    g_agent.m_logFilePath.AssignText("c:\\no such folder\\report.txt");
    g_agent.m_persistent = 1;
    g_agent.m_trace = 1;
    g_agent.m_eventHandle = nullptr;
    g_agent.m_persistentTime = 60000;
    HANDLE worker = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, TimerLoop, nullptr, 0, nullptr));
    while (CountInTraceFile("Timer Loop:After") == 0)
        Sleep(10);
    g_agent.m_shutDown = 1;
    EXPECT_EQ(WaitForSingleObject(worker, 60000), WAIT_OBJECT_0);
    CloseHandle(worker);
    EXPECT_EQ(CountInTraceFile("Timer Loop:After failure: code=12006, retry in 60000 ms"), 1);
    EXPECT_EQ(CountInTraceFile("Exchange failed: code=12006"), 1);
    EXPECT_EQ(CountInTraceFile("After authentication"), 0);
    EXPECT_EQ(CountInTraceFile("End wait: m_shutDown=1"), 1);
    EXPECT_EQ(g_boxes, "Cannot Open File: ERROR 3;Invalid protcol ftp;");
    remove(kTraceFilePath);
}

unsigned __stdcall EndAtOnce(void*)
{
    return 0;
}

unsigned __stdcall NeverEnd(void*)
{
    Sleep(INFINITE);
    return 0;
}

// A worker that has ended must not make the stop forget one that still runs, and the handles
// the workers use are closed only once none runs any more.
TEST_F(Messaging, StopWorkersWaitsForEveryWorkerThatWasStarted)
{
    struct Case {
        WorkerBody sender, watcher;
        bool endedByThemselves;
    } cases[] = {
        {NeverEnd, EndAtOnce, false},         // the watcher gave up, the sender hangs: cut off
        {TimerLoop, AddressWatchLoop, true},  // both waiting: the stop request wakes both
    };
    SetAddressChangeRegistration([](HANDLE*, OVERLAPPED*) -> DWORD { return ERROR_IO_PENDING; });
    g_agent.m_persistentTime = 60000;
    for (const Case& c : cases) {
        g_agent.m_stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        g_agent.m_eventHandle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE workers[] = {StartWorker(c.sender), StartWorker(c.watcher)};  // StopWorkers closes copies
        HANDLE self = GetCurrentProcess();
        DuplicateHandle(self, workers[0], self, &g_agent.m_timerThread, 0, FALSE, DUPLICATE_SAME_ACCESS);
        DuplicateHandle(self, workers[1], self, &g_agent.m_dhcpThread, 0, FALSE, DUPLICATE_SAME_ACCESS);
        EXPECT_EQ(StopWorkers(c.endedByThemselves ? 60000 : 100), c.endedByThemselves);
        EXPECT_EQ(WaitForMultipleObjects(2, workers, TRUE, 0), WAIT_OBJECT_0) << "a worker still runs";
        EXPECT_EQ(g_agent.m_eventHandle.load(), nullptr);
        for (HANDLE handle : {workers[0], workers[1], g_agent.m_stopEvent})
            CloseHandle(handle);
        g_agent.m_stopEvent = nullptr;
        g_agent.m_shutDown = 0;
    }
}

}  // namespace
