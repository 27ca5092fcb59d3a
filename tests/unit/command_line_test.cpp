// Tests of the command line: URL splitting, options, and the composed logon request.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "agent/CommandLine.h"
#include "agent/CopyAndRelaunch.h"
#include "agent/LogonRequest.h"
#include "core/AgentState.h"
#include "core/Reporting.h"

namespace {

TEST(SplitServerUrl, AcceptsOrRefuses)
{
    struct Case {
        const char* url;
        bool accepted;
        const char* protocol;
        const char* host;
        int port;
    } cases[] = {
        {"http://10.0.0.5:8080", true, "http", "10.0.0.5", 8080},
        {"http://10.0.0.5:8080/any/path", true, "http", "10.0.0.5", 8080},
        {"HTTP://server.example:80/", true, "HTTP", "server.example", 80},
        {"ftp://10.0.0.5:21", true, "ftp", "10.0.0.5", 21},
        {"http://host:abc", true, "http", "host", 0},
        {"http://host: 81x", true, "http", "host", 81},
        {"http://host:65535", true, "http", "host", 65535},
        {"http://host:0", true, "http", "host", 0},
        {"http://host", false, "", "", 0},
        {"http:/host:80", false, "", "", 0},
        {"http:host:80", false, "", "", 0},
        {"http:", false, "", "", 0},
        {"no-colon", false, "", "", 0},
        {"http://host:70000", false, "", "", 0},
        {"http://host:65536", false, "", "", 0},
        {"http://host:99999999999999999999", false, "", "", 0},
        {"http://host:-1", false, "", "", 0},
    };
    for (const Case& c : cases) {
        ServerUrl url;
        bool accepted = SplitServerUrl(c.url, &url);
        EXPECT_EQ(accepted, c.accepted) << c.url;
        if (accepted && c.accepted) {
            EXPECT_STREQ(url.protocol.text, c.protocol) << c.url;
            EXPECT_STREQ(url.host.text, c.host) << c.url;
            EXPECT_EQ(url.port, c.port) << c.url;
        }
        url.Release();
    }
}

// The settings and report log name that the options give, starting from the defaults.
struct Options {
    AgentState settings;
    const char* logFileName = nullptr;
    explicit Options(std::vector<const char*> arguments)
    {
        arguments.insert(arguments.begin(), {"Pellamor.exe", "http://h:1"});
        ApplyOptions(int(arguments.size()), const_cast<char**>(arguments.data()), &settings, &logFileName);
    }
};

TEST(ApplyOptions, LaterOptionsWinAndFilenameTakesTheNextArgument)
{
    EXPECT_EQ(Options({"/QUIET", "/Verbose"}).settings.m_quiet, 0);
    EXPECT_EQ(Options({"/verbose", "/quiet"}).settings.m_quiet, 1);
    Options logout({"/logout"});
    EXPECT_EQ(logout.settings.m_logout, 1);
    EXPECT_EQ(logout.settings.m_persistent, 0);
    Options many({"/NOPERSIST", "/copy", "/D", "/dhcp", "/verbosely", "-t"});
    EXPECT_EQ(many.settings.m_persistent, 0);
    EXPECT_EQ(many.settings.m_copy, 1);
    EXPECT_EQ(many.settings.m_writeLog, 1);
    EXPECT_EQ(many.settings.m_dhcp, 1);
    EXPECT_EQ(many.settings.m_trace, 0);
    EXPECT_EQ(many.settings.m_quiet, 1);
    Options filenameThenTrace({"/filename", "/t"});
    EXPECT_STREQ(filenameThenTrace.logFileName, kDefaultLogFileName);
    EXPECT_EQ(filenameThenTrace.settings.m_trace, 1);
    EXPECT_STREQ(Options({"/filename", "mine.log", "/filename"}).logFileName, kDefaultLogFileName);
    EXPECT_STREQ(Options({"/filename", "/verbose.log"}).logFileName, kDefaultLogFileName);
    Options named({"/filename", "c:\\x\\mine.log", "/t"});
    EXPECT_STREQ(named.logFileName, "c:\\x\\mine.log");
    EXPECT_EQ(named.settings.m_trace, 1);
    EXPECT_TRUE(IsHelpRequest("/HeLp"));
    EXPECT_TRUE(IsHelpRequest("/?"));
    EXPECT_FALSE(IsHelpRequest("/helpme"));
}

TEST(ComposeLogonRequest, EncodesOnlyWhatWouldChangeTheQuery)
{
    struct Case {
        const char* value;
        const char* encoded;
    } cases[] = {
        {"WORKSTATION-7", "WORKSTATION-7"},
        {"R&D", "R%26D"},
        {"a=b+c?d#e%f g", "a%3Db%2Bc%3Fd%23e%25f%20g"},
        {"tab\there\x7f", "tab%09here%7F"},
        {"dots.and_under~(x)", "dots.and_under~(x)"},
    };
    for (const Case& c : cases) {
        HeapString s("v=");
        AppendQueryValue(s, c.value);
        EXPECT_EQ(std::string(s.text), std::string("v=") + c.encoded);
        s.Release();
    }

    LogonFacts facts;
    facts.hostName = "PC 1";
    facts.providerDomain = "R&D";
    facts.userDomain = "";
    facts.ntlmSessionSecurity = true;
    facts.ipList = "10.0.0.1,10.0.0.2";
    HeapString request;
    ComposeLogonRequest(facts, request);
    EXPECT_STREQ(request.text,
                 "/tarnwise?action=login&hostname=PC%201&persistent=1&domain=R%26D&domain="
                 "&ntlm_sess_sec=1&ip=10.0.0.1,10.0.0.2");
    facts = LogonFacts();
    facts.logout = 1;
    facts.persistent = 0;
    facts.hostName = "pc";
    ComposeLogonRequest(facts, request);
    EXPECT_STREQ(request.text, "/tarnwise?action=logout&hostname=pc&persistent=0&ip=");
    request.Release();
}

// ParseCommandLine against the real registry, user name and resolver of the prefix.
class ParseCommandLineTest : public ::testing::Test {
protected:
    static constexpr const char* kProviderKey = "System\\CurrentControlSet\\Services\\MSNP32\\NetworkProvider";
    static constexpr const char* kLsaKey = "System\\CurrentControlSet\\Control\\Lsa\\MSV1_0";

    void SetUp() override
    {
        WSADATA data;
        WSAStartup(0x0101, &data);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kProviderKey);
        RegDeleteValueA(OpenLsa(), "ntlmminclientsec");
        g_agent.m_domain.Release();
        g_agent.m_domain.length = 0;
        g_agent.m_logout = 0;
        g_agent.m_persistent = 1;
        char name[256] = "";
        gethostname(name, sizeof name);
        hostName = name;
    }
    void TearDown() override
    {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kProviderKey);
        RegDeleteValueA(OpenLsa(), "ntlmminclientsec");
        RegCloseKey(lsa);
        WSACleanup();
    }
    HKEY OpenLsa()
    {
        if (lsa == nullptr)
            RegCreateKeyA(HKEY_LOCAL_MACHINE, kLsaKey, &lsa);
        return lsa;
    }
    void SetProviderDomain(const void* data, DWORD size, DWORD type = REG_SZ)
    {
        HKEY key;
        ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, kProviderKey, &key), ERROR_SUCCESS);
        RegSetValueExA(key, "AuthenticatingAgent", 0, type, static_cast<const BYTE*>(data), size);
        RegCloseKey(key);
    }
    void SetClientSecurity(DWORD flags)
    {
        RegSetValueExA(OpenLsa(), "ntlmminclientsec", 0, REG_DWORD, reinterpret_cast<BYTE*>(&flags), 4);
    }
    int Parse(std::vector<const char*> arguments)
    {
        arguments.insert(arguments.begin(), "Pellamor.exe");
        return ParseCommandLine(int(arguments.size()), const_cast<char**>(arguments.data()));
    }
    // The request text that follows the persistence piece, up to the address list.
    std::string MiddleOfRequest()
    {
        std::string request = g_agent.m_request.text;
        size_t start = request.find("&persistent=") + 13;
        return request.substr(start, request.rfind("&ip=") - start);
    }

    HKEY lsa = nullptr;
    std::string hostName;
};

TEST_F(ParseCommandLineTest, ComposesHostPersistenceAndAddresses)
{
    ASSERT_EQ(Parse({"http://127.0.0.1:8080/x", "/logout", "/t"}), 1);
    EXPECT_STREQ(g_agent.m_protocol.text, "http");
    EXPECT_STREQ(g_agent.m_host.text, "127.0.0.1");
    EXPECT_EQ(g_agent.m_port, 8080);
    EXPECT_EQ(g_agent.m_trace, 1);
    std::string expectedStart = "/tarnwise?action=logout&hostname=" + hostName + "&persistent=0";
    EXPECT_EQ(std::string(g_agent.m_request.text).substr(0, expectedStart.size()), expectedStart);
    std::string ending = std::string("&ip=") + g_agent.m_ipList.text;
    std::string request = g_agent.m_request.text;
    EXPECT_EQ(request.substr(request.size() - ending.size()), ending);
    EXPECT_NE(g_agent.m_ipList.length, 0u) << "the prefix's host name resolves";

    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, MAX_PATH);
    ASSERT_EQ(Parse({"http://h:1", "/filename", "c:\\logs\\my.log"}), 1);
    EXPECT_EQ(std::string(g_agent.m_logFilePath.text), std::string(windows) + "\\Temp\\c:\\logs\\my.log");
    EXPECT_EQ(g_agent.m_trace, 0);
}

TEST_F(ParseCommandLineTest, DomainPiecesFollowTheRegistryAndTheUserName)
{
    // Under Wine the SAM-compatible user name is "<HOST>\<user>": a local account.
    std::string hostDomain = "&domain=" + hostName;
    for (char& c : hostDomain)
        c = char(toupper(static_cast<unsigned char>(c)));
    auto upper = [](std::string s) {
        for (char& c : s)
            c = char(toupper(static_cast<unsigned char>(c)));
        return s;
    };

    ASSERT_EQ(Parse({"http://h:1"}), 1);
    EXPECT_EQ(upper(MiddleOfRequest()), hostDomain);

    SetProviderDomain("R&D", 4);
    SetClientSecurity(0x20080000);
    ASSERT_EQ(Parse({"http://h:1"}), 1);
    EXPECT_EQ(upper(MiddleOfRequest()), "&DOMAIN=R%26D" + hostDomain + "&NTLM_SESS_SEC=1");
    EXPECT_EQ(upper(g_agent.m_domain.text), upper(hostName)) << "the user's domain replaces the provider's";

    SetClientSecurity(0x20000000);
    std::string exactly127(127, 'D');
    SetProviderDomain(exactly127.c_str(), 128);  // with its terminator: too long
    ASSERT_EQ(Parse({"http://h:1"}), 1);
    EXPECT_EQ(upper(MiddleOfRequest()), hostDomain);

    SetProviderDomain("CORP", 4, REG_BINARY);  // no terminator stored
    ASSERT_EQ(Parse({"http://h:1"}), 1);
    EXPECT_EQ(upper(MiddleOfRequest()), "&DOMAIN=CORP" + hostDomain);
}

TEST_F(ParseCommandLineTest, RefusalsAndTheUnresolvableHost)
{
    for (auto arguments : std::vector<std::vector<const char*>>{
             {}, {"http:/h:80"}, {"http://h"}, {"http://h:70000", "/verbose"}}) {
        EXPECT_EQ(Parse(arguments), 0);
    }
    HeapString list("stale");
    ResolveHostAddresses("no-such-host.invalid", list);
    EXPECT_EQ(list.length, 0u);
    LogonFacts facts;
    facts.ipList = list.text;
    ComposeLogonRequest(facts, list);
    std::string request = list.text;
    EXPECT_EQ(request.substr(request.size() - 4), "&ip=");
    list.Release();
}

TEST(CopyAndRelaunch, PathsThatWouldNotFitAreRefusedAndTheCopyIsQuoted)
{
    char path[MAX_PATH];
    EXPECT_TRUE(ComposeCopyPath("C:\\Documents and Settings\\u\\Temp", path, sizeof path));
    EXPECT_STREQ(path, "C:\\Documents and Settings\\u\\Temp\\Pellamor.exe");
    std::string longest(MAX_PATH - 1 - 13, 'x');  // with "\\Pellamor.exe" exactly 259 characters
    EXPECT_TRUE(ComposeCopyPath(longest.c_str(), path, sizeof path));
    EXPECT_FALSE(ComposeCopyPath((longest + "x").c_str(), path, sizeof path));

    HeapString line;
    ComposeCopyCommandLine("C:\\a b\\Pellamor.exe", "http://h:80", true, line);
    EXPECT_STREQ(line.text, "\"C:\\a b\\Pellamor.exe\" http://h:80 ");
    ComposeCopyCommandLine("C:\\a b\\Pellamor.exe", "http://h:80", false, line);
    EXPECT_STREQ(line.text, "\"C:\\a b\\Pellamor.exe\" http://h:80 /VERBOSE");
    line.Release();
}

}  // namespace
