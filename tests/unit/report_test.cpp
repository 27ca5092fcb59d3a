// Tests of the system information report: names, sizes, the block, and the real log file.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "core/AgentState.h"
#include "core/Reporting.h"
#include "messaging/LogonExchange.h"
#include "report/SystemReport.h"
#include "report/TwSysInfo.h"

namespace {

BYTE* Bytes(const std::string& data)
{
    return reinterpret_cast<BYTE*>(const_cast<char*>(data.data()));
}

// Against the prefix's real registry, whose browser entry is put back afterwards, and a real
// log file. g_agent is shared with the other tests, so what is changed here is put back too.
TEST(TwSysInfo, BrowserVersionIsTheLeadingNumberAndFailuresShowOnlyWhenAsked)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Internet Explorer", &key), ERROR_SUCCESS);
    std::string original(1024, '\0');
    DWORD originalType = 0, size = DWORD(original.size());
    bool hadVersion = RegQueryValueExA(key, "Version", nullptr, &originalType, Bytes(original), &size) == 0;
    original.resize(size);
    struct Case {
        DWORD type;
        std::string data;
        int32_t version;
    } cases[] = {
        {REG_SZ, std::string("9.11.9600.18376", 16), 9},
        {REG_SZ, std::string(" 11.0", 6), 11},
        {REG_SZ, std::string("beta", 5), 0},
        {REG_BINARY, "6.0", 6},                         // stored without a terminator
        {REG_BINARY, std::string(512, '7'), INT32_MAX},  // fills the buffer exactly
        {REG_SZ, std::string(600, '5'), -1},            // longer than the buffer
    };
    for (const Case& c : cases) {
        RegSetValueExA(key, "Version", 0, c.type, Bytes(c.data), DWORD(c.data.size()));
        EXPECT_EQ(TwSysInfo(false).GetIEVersion(), c.version) << c.data.substr(0, 20);
    }

    // No browser entry, and a log held by another writer.
    RegDeleteValueA(key, "Version");
    WSADATA data;
    WSAStartup(0x0101, &data);
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    std::string path = std::string(folder) + "report_test_" + std::to_string(GetCurrentProcessId()) + ".txt";
    HANDLE holder = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    std::string savedPath = g_agent.m_logFilePath.text;
    uint8_t savedWriteLog = g_agent.m_writeLog, savedQuiet = g_agent.m_quiet;
    g_agent.m_logFilePath.AssignText(path.c_str());
    g_agent.m_writeLog = 1;
    g_agent.m_protocol.AssignText("ftp");  // the send ends after the report
    static std::vector<std::pair<std::string, std::string>> boxes;
    SetMessageBoxHook([](const char* caption, const char* text) {
        // A box waits for a click: under the lock it would hold up the other thread's report.
        boxes.emplace_back(caption, g_agent.m_reportLock.OwningThread == nullptr ? text : "(under the lock)");
        return IDOK;
    });
    for (bool showErrors : {false, true}) {
        EXPECT_EQ(TwSysInfo(showErrors).GetIEVersion(), -1);
        g_agent.m_quiet = !showErrors;
        SendLogonMessage();
    }
    g_agent.m_protocol.Release();
    SetMessageBoxHook(nullptr);
    g_agent.m_logFilePath.AssignText(savedPath.c_str());
    g_agent.m_writeLog = savedWriteLog;
    g_agent.m_quiet = savedQuiet;
    EXPECT_EQ(GetFileSize(holder, nullptr), 0u) << "nothing is written";
    CloseHandle(holder);
    DeleteFileA(path.c_str());
    WSACleanup();
    if (hadVersion)
        RegSetValueExA(key, "Version", 0, originalType, Bytes(original), DWORD(original.size()));
    RegCloseKey(key);
    std::vector<std::pair<std::string, std::string>> expected = {{"Note", "Unable to Determine IE Browser Version"},
        {"Note", "Cannot Open File: ERROR 32"}, {"Note", "Invalid protcol ftp"}};
    EXPECT_EQ(boxes, expected);
}

}  // namespace
