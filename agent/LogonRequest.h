// Pure pieces of start-up: server URL splitting, options, and the logon request text.
#pragma once

#include <stdint.h>

#include "core/HeapString.h"

constexpr const char kDefaultLogFileName[] = "TW_PellamorLog.txt";

// Scheme, host and port of the server URL "scheme://host:port[/anything]".
struct ServerUrl {
    HeapString protocol;
    HeapString host;
    int32_t port = 0;
    void Release()
    {
        protocol.Release();
        host.Release();
    }
};

// A port written in decimal digits only, 1 to 65535. Anything else (no digits, a sign,
// blanks, letters, 0) is refused: the HTTP library would take 0 for "the default port".
bool ParsePortNumber(const char* text, uint32_t count, int32_t* port);

// Splits the URL "http://host:port[/path]" (the scheme in any letter case). False, with
// `problem` saying what is wrong, for any other scheme (the agent speaks plain HTTP only), when
// "//", the host or the port ":" is missing, when the text from there to the next "/" is not a
// port, or when the host holds what no host name or IPv4 address does (user info, "[", "?", "#").
bool SplitServerUrl(const char* url, ServerUrl* out, const char** problem);

struct AgentState;

// Applies the options of argv[2..argc-1] to the settings, left to right; unknown ones
// are ignored. `logFileName` receives the report log's name (default or "/filename").
void ApplyOptions(int argc, char** argv, AgentState* settings, const char** logFileName);

// True for "/help" and "/?" in any letter case.
bool IsHelpRequest(const char* argument);

// Appends a query value, percent-encoding the characters that would change the
// query's structure ('&', '#', '%', '+', '=', '?', blank, control characters) and every byte
// from 0x7F up.
void AppendQueryValue(HeapString& target, const char* value);

// What the logon request reports about this machine and its user.
struct LogonFacts {
    uint8_t logout = 0;
    uint8_t persistent = 1;
    const char* hostName = "";
    const char* providerDomain = nullptr;  // null when the registry has none
    const char* userDomain = nullptr;      // null when the user name carries none
    bool ntlmSessionSecurity = false;
    const char* ipList = "";
};

// Composes "/tarnwise?action=...&hostname=...&persistent=...[&domain=...]
// [&domain=...][&ntlm_sess_sec=1]&ip=<list>"; the address list always comes last.
void ComposeLogonRequest(const LogonFacts& facts, HeapString& request);

extern const char kUsageText[];
