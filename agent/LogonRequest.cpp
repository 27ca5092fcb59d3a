// Pure pieces of start-up: server URL splitting, options, and the logon request text.
#include "agent/LogonRequest.h"

#include <string.h>

#include "core/AgentState.h"

const char kUsageText[] =
    "Pellamor http://<DunmeralIPAddress>:<DunmeralPort>\r\n"
    "OptionalParameters\r\n"
    "\t/LOGOUT - send a message when user logs off\r\n"
    "\t/VERBOSE - notify user when errors occur\r\n"
    "\t/COPY - install Pellamor.exe on client machine\r\n"
    "\t\tand run local copy\r\n"
    "\t/NOPERSIST - send only one message, then terminate";

bool ParsePortNumber(const char* text, uint32_t count, int32_t* port)
{
    if (count == 0)
        return false;
    int32_t value = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
        if (value > 65535)
            return false;
    }
    if (value == 0)
        return false;
    *port = value;
    return true;
}

static const char kUrlShape[] = "The URL must read http://host:port";
static const char kUrlPort[] = "The URL needs a port of 1 to 65535 after the host, then nothing or a path";
static const char kUrlHost[] = "The URL's host must be a name or an IPv4 address";

bool SplitServerUrl(const char* url, ServerUrl* out, const char** problem)
{
    *problem = kUrlShape;
    HeapString work(url);
    AutoReleaseString releaseWork(work);
    int32_t schemeColon = work.FindChar(0, ':');
    // The text ends in a zero, which stops the comparison before it could read past the end.
    if (schemeColon == work.notFound || work.text[schemeColon + 1] != '/' || work.text[schemeColon + 2] != '/')
        return false;
    uint32_t hostStart = uint32_t(schemeColon) + 3;
    int32_t portColon = work.FindChar(hostStart, ':');
    if (portColon == work.notFound)
        return false;
    work.Substring(out->protocol, uint32_t(schemeColon), 0);
    if (!SameAsciiTextIgnoringCase(out->protocol.text, "http"))
        return false;
    *problem = kUrlPort;
    int32_t slash = work.FindChar(uint32_t(portColon), '/');
    uint32_t portEnd = slash == work.notFound ? work.length : uint32_t(slash);
    uint32_t portStart = uint32_t(portColon) + 1;
    if (!ParsePortNumber(work.text + portStart, portEnd - portStart, &out->port))
        return false;
    *problem = kUrlHost;
    work.Substring(out->host, uint32_t(portColon) - hostStart, hostStart);
    return out->host.length != 0 && strpbrk(out->host.text, "@[]?#/\\") == nullptr;
}

static bool SameOption(const char* argument, const char* option)
{
    return SameAsciiTextIgnoringCase(argument, option);
}

bool IsHelpRequest(const char* argument)
{
    return SameOption(argument, "/help") || SameOption(argument, "/?");
}

void ApplyOptions(int argc, char** argv, AgentState* settings, const char** logFileName)
{
    *logFileName = kDefaultLogFileName;
    for (int i = 2; i < argc; ++i) {
        const char* argument = argv[i];
        if (SameOption(argument, "/verbose")) {
            settings->m_quiet = 0;
        } else if (SameOption(argument, "/quiet")) {
            settings->m_quiet = 1;
        } else if (SameOption(argument, "/logout")) {
            settings->m_logout = 1;
            settings->m_persistent = 0;
        } else if (SameOption(argument, "/nopersist")) {
            settings->m_persistent = 0;
        } else if (SameOption(argument, "/copy")) {
            settings->m_copy = 1;
        } else if (SameOption(argument, "/d")) {
            settings->m_writeLog = 1;
        } else if (SameOption(argument, "/t")) {
            settings->m_trace = 1;
        } else if (SameOption(argument, "/dhcp")) {
            settings->m_dhcp = 1;
        } else if (SameOption(argument, "/filename")) {
            // The next argument still gets its own turn as an option.
            bool named = i + 1 < argc && argv[i + 1][0] != '/';
            *logFileName = named ? argv[i + 1] : kDefaultLogFileName;
        }
    }
}

// Bytes from 0x80 up are escaped too: in a double-byte code page a lone lead byte would
// otherwise take the next parameter's "&" as its second byte when the request is widened.
static bool ChangesQueryStructure(unsigned char c)
{
    return c < 0x20 || c >= 0x7F || strchr("&#%+=? ", c) != nullptr;
}

void AppendQueryValue(HeapString& target, const char* value)
{
    static const char kHexDigits[] = "0123456789ABCDEF";
    const char* run = value;
    for (const char* p = value; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (!ChangesQueryStructure(c))
            continue;
        target.Append(run, uint32_t(p - run));
        const char escaped[3] = {'%', kHexDigits[c >> 4], kHexDigits[c & 15]};
        target.Append(escaped, 3);
        run = p + 1;
    }
    target.AppendText(run);
}

void ComposeLogonRequest(const LogonFacts& facts, HeapString& request)
{
    request.AssignText(facts.logout ? "/tarnwise?action=logout" : "/tarnwise?action=login");
    request.AppendText("&hostname=");
    AppendQueryValue(request, facts.hostName);
    request.AppendText("&persistent=").AppendText(facts.persistent ? "1" : "0");
    if (facts.providerDomain != nullptr) {
        request.AppendText("&domain=");
        AppendQueryValue(request, facts.providerDomain);
    }
    if (facts.userDomain != nullptr) {
        request.AppendText("&domain=");
        AppendQueryValue(request, facts.userDomain);
    }
    if (facts.ntlmSessionSecurity)
        request.AppendText("&ntlm_sess_sec=1");
    request.AppendText("&ip=").AppendText(facts.ipList);
}
