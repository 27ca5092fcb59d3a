// Tests of the system information report: names, sizes, the block, and the real log file.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "core/AgentState.h"
#include "core/Reporting.h"
#include "report/SystemReport.h"
#include "report/TwSysInfo.h"

namespace {

TEST(OsNameOf, OldKeyUpTo52AndRealNamesAfter)
{
    struct Case {
        int32_t major, minor;
        uint32_t build;
        uint8_t productType;
        const char* csd;
        uint16_t servicePack;
        const char* name;
        const char* servicePackText;
    } cases[] = {
        {4, 0, 1381, 0, "Service Pack 6", 0, "Windows NT ", "6"},
        {4, 10, 2222, 0, " A ", 0, "Windows 98 ", "A"},
        {4, 10, 1998, 0, "", 0, "Windows 98 ", ""},
        {4, 10, 1998, 0, "   ", 0, "Windows 98 ", ""},
        {4, 90, 3000, 0, " ", 0, "Windows ME ", ""},
        {5, 0, 2195, VER_NT_WORKSTATION, "Service Pack 4", 4, "Windows 2000 ", "4"},
        {5, 1, 2600, VER_NT_WORKSTATION, "", 0, "Windows XP ", "0"},
        {5, 2, 3790, VER_NT_SERVER, "Service Pack 2", 2, "Windows 2003 ", "2"},
        {6, 0, 6002, VER_NT_WORKSTATION, "Service Pack 2", 2, "Windows Vista ", "2"},
        {6, 0, 6002, VER_NT_SERVER, "Service Pack 2", 2, "Windows Server 2008 ", "2"},
        {6, 1, 7601, VER_NT_WORKSTATION, "Service Pack 1", 1, "Windows 7 ", "1"},
        {6, 1, 7601, VER_NT_SERVER, "Service Pack 1", 1, "Windows Server 2008 R2 ", "1"},
        {6, 2, 9200, VER_NT_WORKSTATION, "", 0, "Windows 8 ", "0"},
        {6, 2, 9200, VER_NT_SERVER, "", 0, "Windows Server 2012 ", "0"},
        {6, 3, 9600, VER_NT_WORKSTATION, "", 0, "Windows 8.1 ", "0"},
        {6, 3, 9600, VER_NT_SERVER, "", 0, "Windows Server 2012 R2 ", "0"},
        {6, 4, 9841, VER_NT_WORKSTATION, "", 0, "Unknown ", "0"},
        {10, 0, 21999, VER_NT_WORKSTATION, "", 0, "Windows 10 ", "0"},
        {10, 0, 22000, VER_NT_WORKSTATION, "", 0, "Windows 11 ", "0"},
        {10, 0, 14393, VER_NT_SERVER, "", 0, "Windows Server 2016 ", "0"},
        {10, 0, 17763, VER_NT_DOMAIN_CONTROLLER, "", 0, "Windows Server 2019 ", "0"},
        {10, 0, 20348, VER_NT_SERVER, "", 0, "Windows Server 2022 ", "0"},
        {10, 0, 26100, VER_NT_SERVER, "", 0, "Windows Server 2025 ", "0"},
        {7, 0, 0, VER_NT_WORKSTATION, "", 0, "Unknown ", "0"},
    };
    for (const Case& c : cases) {
        OsVersion version;
        version.major = c.major;
        version.minor = c.minor;
        version.build = c.build;
        version.productType = c.productType;
        version.servicePackMajor = c.servicePack;
        lstrcpynA(version.csdVersion, c.csd, sizeof version.csdVersion);
        HeapString servicePack("stale");
        ServicePackOf(version, servicePack);
        EXPECT_STREQ(OsNameOf(version), c.name) << c.major << "." << c.minor << " build " << c.build;
        EXPECT_STREQ(servicePack.text, c.servicePackText) << c.major << "." << c.minor << " '" << c.csd << "'";
        servicePack.Release();
    }
    OsVersion unread;
    EXPECT_STREQ(OsNameOf(unread), "Unknown ");
}

TEST(SizeConversions, ExactBelowTheLimitAndHeldAtIt)
{
    const uint64_t MiB = 1024 * 1024;
    const uint64_t TiB = MiB * MiB;
    struct Case {
        uint64_t bytes;
        uint32_t megabytes;
        uint32_t kilobytes;
    } cases[] = {
        {0, 0, 0},
        {MiB, 1, 1024},
        {8 * 1024 * MiB, 8192, 8388608},
        {4 * TiB - 1, 4194303, UINT32_MAX},
        {4 * TiB, 4194304, UINT32_MAX},  // the old computation wrapped to 0 here
        {5 * TiB + 3 * MiB, 5242883, UINT32_MAX},
        {uint64_t(UINT32_MAX) * MiB, UINT32_MAX, UINT32_MAX},
        {UINT64_MAX, UINT32_MAX, UINT32_MAX},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MegabytesFromBytes(c.bytes), c.megabytes) << c.bytes;
        EXPECT_EQ(KilobytesFromBytes(c.bytes), c.kilobytes) << c.bytes;
    }
}

std::string Compose(const ReportFacts& facts)
{
    HeapString block;
    ComposeReport(facts, block);
    std::string text = block.text;
    block.Release();
    return text;
}

TEST(ComposeReport, TenLinesOrNineWithoutADomain)
{
    ReportFacts full;
    full.dateTime = "12/6/2026 9:31:25 PM";
    full.hostName = "pc-7";
    full.ipList = "10.0.0.1,10.0.0.2";
    full.browserVersion = 9;
    full.osName = "Windows XP ";
    full.servicePack = "3";
    full.freeMegabytes = 78557;
    full.physicalKilobytes = 2097152;
    full.persistent = true;
    full.domain = "CORP";
    EXPECT_EQ(Compose(full),
              "Current Time: 12/6/2026 9:31:25 PM\r\n"
              "Hostname: pc-7\r\n"
              "IP Address(es): 10.0.0.1,10.0.0.2\r\n"
              "Internet Explorer v9\r\n"
              "Windows XP Service Pack 3\r\n"
              "Free Disk Space(MB): 78557\r\n"
              "Physical Memory(KBytes): 2097152\r\n"
              "Persistent mode is ENABLED\r\n"
              "Domain is CORP\r\n"
              "***************************************\r\n");

    ReportFacts bare;  // nothing could be learnt, and the sizes are at their limit
    bare.dateTime = " ";
    bare.osName = "Windows 98 ";
    bare.freeMegabytes = UINT32_MAX;
    bare.physicalKilobytes = 2147483648u;
    EXPECT_EQ(Compose(bare),
              "Current Time:  \r\n"
              "Hostname: \r\n"
              "IP Address(es): \r\n"
              "Internet Explorer v-1\r\n"
              "Windows 98 \r\n"
              "Free Disk Space(MB): 4294967295\r\n"
              "Physical Memory(KBytes): 2147483648\r\n"
              "Persistent mode is DISABLED\r\n"
              "***************************************\r\n");
}

std::vector<std::pair<std::string, std::string>> g_boxes;

int CaptureBox(const char* caption, const char* text)
{
    g_boxes.emplace_back(caption, text);
    return IDOK;
}

// The browser entry of the prefix's real registry, put back afterwards.
class TwSysInfoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Internet Explorer", &key), ERROR_SUCCESS);
        original.resize(1024);
        DWORD size = DWORD(original.size());
        hadVersion = RegQueryValueExA(key, "Version", nullptr, &originalType, Bytes(original), &size) == 0;
        original.resize(size);
    }
    void TearDown() override
    {
        SetMessageBoxHook(nullptr);
        if (hadVersion)
            SetVersion(originalType, original);
        else
            RegDeleteValueA(key, "Version");
        RegCloseKey(key);
    }
    static BYTE* Bytes(const std::string& data) { return reinterpret_cast<BYTE*>(const_cast<char*>(data.data())); }
    void SetVersion(DWORD type, const std::string& data)
    {
        RegSetValueExA(key, "Version", 0, type, Bytes(data), DWORD(data.size()));
    }

    HKEY key = nullptr;
    bool hadVersion = false;
    DWORD originalType = 0;
    std::string original;
};

TEST_F(TwSysInfoTest, BrowserVersionIsTheLeadingNumberOrMinusOne)
{
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
        SetVersion(c.type, c.data);
        EXPECT_EQ(TwSysInfo(false).GetIEVersion(), c.version) << c.data.substr(0, 20);
    }
}

TEST_F(TwSysInfoTest, FailuresShowTheirTextOnlyWhenAsked)
{
    RegDeleteValueA(key, "Version");
    g_boxes.clear();
    SetMessageBoxHook(CaptureBox);
    const char* missing = "C:\\no such folder\\below\\";
    for (bool showErrors : {false, true}) {
        EXPECT_EQ(TwSysInfo(showErrors).GetIEVersion(), -1);
        EXPECT_EQ(TwSysInfo(showErrors).GetFreeDiskSpace(missing), 0u);
    }
    EXPECT_NE(TwSysInfo(true).GetFreeDiskSpace("C:\\"), 0u);
    std::vector<std::pair<std::string, std::string>> expected = {
        {"Note", "Unable to Determine IE Browser Version"}, {"Note", "ERROR- Available disk space"}};
    EXPECT_EQ(g_boxes, expected);
}

// WriteSystemReport against a real file in the temporary folder. g_agent is shared
// with the other tests, so every member changed here is put back.
class WriteSystemReportTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { InitializeAgentLocks(); }

    void SetUp() override
    {
        WSADATA data;
        WSAStartup(0x0101, &data);
        saved = {g_agent.m_writeLog, g_agent.m_quiet, g_agent.m_persistent};
        savedPath = g_agent.m_logFilePath.text;
        savedDomain = g_agent.m_domain.text;
        savedAddresses = g_agent.m_ipList.text;
        char folder[MAX_PATH];
        GetTempPathA(MAX_PATH, folder);
        path = std::string(folder) + "report_test_" + std::to_string(GetCurrentProcessId()) + ".txt";
        DeleteFileA(path.c_str());
        g_agent.m_logFilePath.AssignText(path.c_str());
        g_agent.m_writeLog = 1;
        g_boxes.clear();
        SetMessageBoxHook(CaptureBox);
    }
    void TearDown() override
    {
        SetMessageBoxHook(nullptr);
        DeleteFileA(path.c_str());
        g_agent.m_writeLog = saved[0];
        g_agent.m_quiet = saved[1];
        g_agent.m_persistent = saved[2];
        g_agent.m_logFilePath.AssignText(savedPath.c_str());
        g_agent.m_domain.AssignText(savedDomain.c_str());
        g_agent.m_ipList.AssignText(savedAddresses.c_str());
        WSACleanup();
    }
    std::string ReadLog()
    {
        std::ifstream file(path, std::ios::binary);
        if (!file)
            return "(no file)";
        return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }

    std::vector<uint8_t> saved;
    std::string savedPath, savedDomain, savedAddresses, path;
};

TEST_F(WriteSystemReportTest, EachCallAppendsOneCompleteBlock)
{
    char hostName[256] = "";
    gethostname(hostName, sizeof hostName);

    g_agent.m_persistent = 1;
    g_agent.m_domain.AssignText("CORP");
    g_agent.m_ipList.AssignText("10.0.0.1,10.0.0.2");
    WriteSystemReport();
    g_agent.m_persistent = 0;
    g_agent.m_domain.Assign(kEmptyText, 0);
    g_agent.m_ipList.Assign(kEmptyText, 0);
    WriteSystemReport();

    std::string system = "(Windows [0-9A-Za-z. ]+ |Unknown )(Service Pack [0-9A-Za-z])?";
    std::string common = "Current Time: \\d+\\D\\d+\\D\\d+ \\d+:\\d\\d[^\r\n]*\r\n"
                         "Hostname: " + std::string(hostName) + "\r\n"
                         "IP Address\\(es\\): ([0-9.,]*)\r\n"
                         "Internet Explorer v-?\\d+\r\n" +
                         system + "\r\n"
                         "Free Disk Space\\(MB\\): [1-9]\\d*\r\n"
                         "Physical Memory\\(KBytes\\): [1-9]\\d*\r\n";
    std::regex twoBlocks(common + "Persistent mode is ENABLED\r\nDomain is CORP\r\n\\*{39}\r\n" +
                         common + "Persistent mode is DISABLED\r\n\\*{39}\r\n");
    std::string log = ReadLog();
    std::smatch found;
    ASSERT_TRUE(std::regex_match(log, found, twoBlocks)) << log;
    EXPECT_EQ(found[1].str() + "|" + found[4].str(), "10.0.0.1,10.0.0.2|");
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(WriteSystemReportTest, NothingIsTouchedWithoutTheOption)
{
    g_agent.m_writeLog = 0;
    g_agent.m_quiet = 0;
    WriteSystemReport();
    EXPECT_EQ(ReadLog(), "(no file)");
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(WriteSystemReportTest, FileHeldByAnotherWriterGivesTheSharingViolation)
{
    HANDLE holder = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    for (uint8_t quiet : {1, 0}) {
        g_agent.m_quiet = quiet;
        WriteSystemReport();
    }
    CloseHandle(holder);

    EXPECT_EQ(ReadLog(), "");
    ASSERT_EQ(g_boxes.size(), 1u) << "a box only when not quiet";
    EXPECT_EQ(g_boxes[0], std::make_pair(std::string("Note"), std::string("Cannot Open File: ERROR 32")));
}

}  // namespace
