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
        const char* parts;  // protocol, host and port, or "refused"
    } cases[] = {
        {"http://10.0.0.5:8080", "http 10.0.0.5 8080"},
        {"HTTP://server.example:80/", "HTTP server.example 80"},
        {"ftp://10.0.0.5:21", "ftp 10.0.0.5 21"},
        {"http://host:065535/", "http host 65535"},
        // The HTTP library takes port 0 for "the default port": whatever listens on 80.
        {"http://host:0", "refused"},
        {"http://host:abc", "refused"},
        {"http://host:-0", "refused"},
        {"http://host: 81", "refused"},
        {"http://host:81x", "refused"},
        {"http://host:/", "refused"},
        {"http://[2001:db8::1]:8080", "refused"},
        {"http:host:80", "refused"},
        {"http:", "refused"},
        {"no-colon", "refused"},
        {"http://host:65536", "refused"},
        {"http://host:99999999999999999999", "refused"},
    };
    for (const Case& c : cases) {
        ServerUrl url;
        std::string parts = "refused";
        if (SplitServerUrl(c.url, &url))
            parts = std::string(url.protocol.text) + " " + url.host.text + " " + std::to_string(url.port);
        EXPECT_EQ(parts, c.parts) << c.url;
        url.Release();
    }
}

// The options that are set, starting from the defaults, and the report log's name.
std::string SettingsFrom(std::vector<const char*> arguments)
{
    arguments.insert(arguments.begin(), {"Pellamor.exe", "http://h:1"});
    AgentState s;
    const char* logFileName = nullptr;
    ApplyOptions(int(arguments.size()), const_cast<char**>(arguments.data()), &s, &logFileName);
    const std::pair<const char*, uint8_t> flags[] = {{"quiet", s.m_quiet}, {"logout", s.m_logout},
        {"persistent", s.m_persistent}, {"copy", s.m_copy}, {"report", s.m_writeLog}, {"dhcp", s.m_dhcp},
        {"trace", s.m_trace}};
    std::string line;
    for (const auto& flag : flags)
        line += flag.second ? std::string(flag.first) + " " : "";
    return line + logFileName;
}

TEST(ApplyOptions, LaterOptionsWinAndFilenameTakesTheNextArgument)
{
    const std::string log = kDefaultLogFileName;
    struct Case {
        std::vector<const char*> arguments;
        std::string settings;
    } cases[] = {
        {{"/QUIET", "/Verbose"}, "persistent " + log},
        {{"/verbose", "/quiet"}, "quiet persistent " + log},
        {{"/logout"}, "quiet logout " + log},
        {{"/NOPERSIST", "/copy", "/D", "/dhcp", "/verbosely", "-t"}, "quiet copy report dhcp " + log},
        {{"/filename", "/t"}, "quiet persistent trace " + log},
        {{"/filename", "mine.log", "/filename"}, "quiet persistent " + log},
        {{"/filename", "/verbose.log"}, "quiet persistent " + log},
        {{"/filename", "c:\\x\\mine.log", "/t"}, "quiet persistent trace c:\\x\\mine.log"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SettingsFrom(c.arguments), c.settings) << c.arguments.back();
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

    struct Request {
        LogonFacts facts;  // logout, persistent, host, provider's domain, user's domain, session security, addresses
        const char* text;
    } requests[] = {
        {{0, 1, "PC 1", "R&D", "", true, "10.0.0.1,10.0.0.2"},
         "/tarnwise?action=login&hostname=PC%201&persistent=1&domain=R%26D&domain=&ntlm_sess_sec=1"
         "&ip=10.0.0.1,10.0.0.2"},
        {{1, 0, "pc", nullptr, nullptr, false, ""}, "/tarnwise?action=logout&hostname=pc&persistent=0&ip="},
    };
    HeapString request;
    for (const Request& r : requests) {
        ComposeLogonRequest(r.facts, request);
        EXPECT_STREQ(request.text, r.text);
    }
    request.Release();
}

// A name that does not resolve leaves the address list empty, not stale or broken.
TEST(ResolveHostAddresses, UnresolvableHostGivesAnEmptyList)
{
    WSADATA data;
    WSAStartup(0x0101, &data);
    HeapString list("stale");
    ResolveHostAddresses("no-such-host.invalid", list);
    EXPECT_EQ(list.length, 0u);
    EXPECT_EQ(list.text, kEmptyText);
    WSACleanup();
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
    line.Release();
}

}  // namespace
