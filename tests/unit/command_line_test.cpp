// Tests of the command line: URL splitting, options, and where the copy goes.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "agent/CopyAndRelaunch.h"
#include "agent/LogonRequest.h"
#include "core/AgentState.h"
#include "core/Reporting.h"

namespace {

// A refusal is the box's text, which names what is wrong.
TEST(SplitServerUrl, AcceptsOrRefuses)
{
    const std::string shape = "The URL must read http://host:port",
                      port = "The URL needs a port of 1 to 65535 after the host, then nothing or a path",
                      host = "The URL's host must be a name or an IPv4 address";
    struct Case {
        const char* url;
        std::string parts;  // protocol, host and port, or the problem
    } cases[] = {
        {"http://10.0.0.5:8080", "http 10.0.0.5 8080"},
        {"HTTP://server.example:80/", "HTTP server.example 80"},
        {"http://host:065535/", "http host 65535"},
        {"http://host:80/?a#b", "http host 80"},
        {"ftp://10.0.0.5:21", shape},
        {"https://10.0.0.5:443/", shape},  // the agent speaks plain HTTP only
        // The HTTP library takes port 0 for "the default port": whatever listens on 80.
        {"http://host:0", port},
        {"http://host:abc", port},
        {"http://host:-0", port},
        {"http://host: 81", port},
        {"http://host:81x", port},
        {"http://host:/", port},
        {"http://host:80?a", port},
        {"http://host:80#a", port},
        {"http://[2001:db8::1]:8080", port},
        {"http://user:pw@host:80", port},
        {"http://:80", host},
        {"http://[::1]:80", port},
        {"http://[v]:80", host},
        {"http://user@host:80", host},
        {"http://host?a:80", host},
        {"http://host#a:80", host},
        {"http:host:80", shape},
        {"http:/host:80", shape},
        {"http://host", shape},
        {"http:", shape},
        {"no-colon", shape},
        {"http://host:65536", port},
        {"http://host:99999999999999999999", port},
    };
    for (const Case& c : cases) {
        ServerUrl url;
        const char* problem = nullptr;
        std::string parts = SplitServerUrl(c.url, &url, &problem)
                                ? std::string(url.protocol.text) + " " + url.host.text + " " + std::to_string(url.port)
                                : problem;
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
        {{"/logout"}, "quiet logout " + log},
        {{"/NOPERSIST", "/copy", "/D", "/dhcp", "/verbosely", "-t"}, "quiet copy report dhcp " + log},
        {{"/filename", "/t"}, "quiet persistent trace " + log},
        {{"/filename", "mine.log", "/filename"}, "quiet persistent " + log},
        {{"/filename", "/verbose.log"}, "quiet persistent " + log},
        {{"/filename", "c:\\x\\mine.log", "/t"}, "quiet persistent trace c:\\x\\mine.log"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SettingsFrom(c.arguments), c.settings) << c.arguments.back();
}

TEST(CopyAndRelaunch, PathsThatWouldNotFitAreRefused)
{
    char path[MAX_PATH];
    EXPECT_TRUE(ComposeCopyPath("C:\\Documents and Settings\\u\\Temp", path, sizeof path));
    EXPECT_STREQ(path, "C:\\Documents and Settings\\u\\Temp\\Pellamor.exe");
    std::string longest(MAX_PATH - 1 - 13, 'x');  // with "\\Pellamor.exe" exactly 259 characters
    EXPECT_TRUE(ComposeCopyPath(longest.c_str(), path, sizeof path));
    EXPECT_FALSE(ComposeCopyPath((longest + "x").c_str(), path, sizeof path));
}

}  // namespace
