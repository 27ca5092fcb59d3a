// Tests of the reply rules and of the address watcher's passes.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "core/AgentState.h"
#include "core/Reporting.h"
#include "messaging/AddressWatch.h"
#include "messaging/ReplyRules.h"
#include "messaging/TimerLoop.h"

#include <process.h>
#include <stdio.h>

namespace {

TEST(ReplyRules, SuccessMarkAndIntervalHeaderAreExact)
{
    const char ok[] = "HTTP/1.1 200 OK\r\nPersistent-Time: 300\r\n\r\n";
    EXPECT_TRUE(ReplyIsSuccess(ok));
    EXPECT_STREQ(FindIntervalValue(ok), "300\r\n\r\n");
    EXPECT_FALSE(ReplyIsSuccess("HTTP/1.0 200 OK\r\n\r\n"));
    EXPECT_FALSE(ReplyIsSuccess("HTTP/1.1 403 Forbidden\r\n\r\n"));
    EXPECT_EQ(FindIntervalValue("HTTP/1.1 200 OK\r\nPersistent-time: 300\r\n"), nullptr);
    EXPECT_EQ(FindIntervalValue("HTTP/1.1 200 OK\r\nPersistent-Time:300\r\n"), nullptr);
}

std::string g_lastBox;
int CaptureBox(const char*, const char* text)
{
    g_lastBox = text;
    return IDOK;
}

TEST(AddressWatchPass, RegistrationOutcomes)
{
    WSADATA data;
    WSAStartup(0x0101, &data);
    g_agent.m_quiet = 0;
    SetMessageBoxHook(CaptureBox);
    struct Case {
        AddressChangeRegistration registration;
        WatchOutcome outcome;
        const char* box;
        bool keepsEvent;
    } cases[] = {
        {[](HANDLE*, OVERLAPPED* o) -> DWORD { SetEvent(o->hEvent); return ERROR_IO_PENDING; },
         WatchOutcome::Send, "", true},
        {[](HANDLE*, OVERLAPPED* o) -> DWORD { SetEvent(o->hEvent); return NO_ERROR; },
         WatchOutcome::Send, "", true},
        {[](HANDLE*, OVERLAPPED*) -> DWORD { return ERROR_NOT_SUPPORTED; }, WatchOutcome::Stop,
         "NotifyAddrChange not supoorted on this OS", false},
        // Nothing would ever signal this registration: start over after a pause.
        {[](HANDLE*, OVERLAPPED*) -> DWORD { return ERROR_ACCESS_DENIED; }, WatchOutcome::PauseThenRetry,
         "NotifyAddrChange error", false},
    };
    for (const Case& c : cases) {
        g_lastBox.clear();
        SetAddressChangeRegistration(c.registration);
        WatcherState state;
        EXPECT_EQ(AddressWatchPass(state), c.outcome);
        EXPECT_EQ(g_lastBox, c.box);
        EXPECT_EQ(state.event != nullptr, c.keepsEvent);
        if (state.event != nullptr) {
            EXPECT_EQ(WaitForSingleObject(state.event, 0), WAIT_TIMEOUT) << "reset after the notification";
            WSACloseEvent(state.event);
        }
    }
    SetMessageBoxHook(nullptr);
    g_agent.m_quiet = 1;
    WSACleanup();
}

int CountInTraceFile(const char* text)
{
    std::string bytes;
    FILE* f = fopen(kTraceFilePath, "rb");
    for (int c; f != nullptr && (c = fgetc(f)) != EOF;)
        bytes += char(c);
    if (f != nullptr)
        fclose(f);
    int count = 0;
    for (size_t at = bytes.find(text); at != std::string::npos; at = bytes.find(text, at + 1))
        ++count;
    return count;
}

// Without its timer event every wait fails at once; the loop must not send back to back.
TEST(TimerLoop, AMissingEventNeverLeadsToBackToBackSends)
{
    InitializeAgentLocks();
    remove(kTraceFilePath);
    g_agent.m_protocol.AssignText("ftp");  // each send ends before any network call
    g_agent.m_persistent = 1;
    g_agent.m_trace = 1;
    g_agent.m_eventHandle = nullptr;
    g_agent.m_persistentTime = 60000;
    HANDLE worker = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, TimerLoop, nullptr, 0, nullptr));
    while (CountInTraceFile("After authentication") == 0)
        Sleep(10);
    g_agent.m_shutDown = 1;
    EXPECT_EQ(WaitForSingleObject(worker, 60000), WAIT_OBJECT_0);
    CloseHandle(worker);
    EXPECT_EQ(CountInTraceFile("After authentication"), 1);
    EXPECT_EQ(CountInTraceFile("End wait: m_shutDown=1"), 1);
    g_agent.m_shutDown = 0;
    g_agent.m_trace = 0;
    g_agent.m_persistentTime = kDefaultPersistentTime;
    g_agent.m_protocol.Release();
    remove(kTraceFilePath);
}

}  // namespace
