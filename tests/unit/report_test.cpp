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

// The rows where a mistake is easy: the old key up to 5.2, the service pack of the oldest
// systems, the build numbers that alone tell the releases of 10.0 apart, and what is unknown.
TEST(OsNameOf, OldKeyUpTo52AndRealNamesAfter)
{
    struct Case {
        OsVersion version;  // major, minor, build, product type, service pack number, its text
        const char* name;
        const char* servicePackText;
    } cases[] = {
        {{4, 0, 1381, 0, 0, "Service Pack 6"}, "Windows NT ", "6"},
        {{4, 10, 2222, 0, 0, " A "}, "Windows 98 ", "A"},
        {{4, 90, 3000, 0, 0, " "}, "Windows ME ", ""},
        {{5, 2, 3790, VER_NT_SERVER, 2, "Service Pack 2"}, "Windows 2003 ", "2"},
        {{6, 4, 9841, VER_NT_WORKSTATION, 0, ""}, "Unknown ", "0"},
        {{10, 0, 21999, VER_NT_WORKSTATION, 0, ""}, "Windows 10 ", "0"},
        {{10, 0, 22000, VER_NT_WORKSTATION, 0, ""}, "Windows 11 ", "0"},
        {{10, 0, 17763, VER_NT_DOMAIN_CONTROLLER, 0, ""}, "Windows Server 2019 ", "0"},
        {{10, 0, 26100, VER_NT_SERVER, 0, ""}, "Windows Server 2025 ", "0"},
        {OsVersion(), "Unknown ", ""},  // nothing could be read
    };
    for (const Case& c : cases) {
        HeapString servicePack("stale");
        ServicePackOf(c.version, servicePack);
        std::string row = std::to_string(c.version.major) + "." + std::to_string(c.version.minor) + " build " +
                          std::to_string(c.version.build) + " '" + c.version.csdVersion + "'";
        EXPECT_STREQ(OsNameOf(c.version), c.name) << row;
        EXPECT_STREQ(servicePack.text, c.servicePackText) << row;
        servicePack.Release();
    }
}

// Nothing could be learnt and the sizes are at their limit. The other lines, with every
// label and value exact, show in the reports that the end-to-end scenarios read.
TEST(ComposeReport, NineLinesWithoutADomainAndUnsignedSizes)
{
    ReportFacts bare = {" ", "", "", -1, "Windows 98 ", "", UINT32_MAX, 2147483648u, false, ""};
    HeapString block;
    ComposeReport(bare, block);
    EXPECT_EQ(std::string(block.text),
              "Current Time:  \r\n"
              "Hostname: \r\n"
              "IP Address(es): \r\n"
              "Internet Explorer v-1\r\n"
              "Windows 98 \r\n"
              "Free Disk Space(MB): 4294967295\r\n"
              "Physical Memory(KBytes): 2147483648\r\n"
              "Persistent mode is DISABLED\r\n"
              "***************************************\r\n");
    block.Release();
}

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
