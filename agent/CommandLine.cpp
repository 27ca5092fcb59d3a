// Reads the command line and the machine's facts, and composes the logon request.
#include "agent/CommandLine.h"

#include <winsock2.h>
#include <windows.h>
#define SECURITY_WIN32
#include <security.h>

#include "agent/LogonRequest.h"
#include "core/AgentState.h"
#include "core/Reporting.h"
#include "core/ScopedWin.h"

static const char kProviderKey[] = "System\\CurrentControlSet\\Services\\MSNP32\\NetworkProvider";
static const char kLsaMsv10Key[] = "System\\CurrentControlSet\\Control\\Lsa\\MSV1_0";
static const DWORD kRequireNtlmV2SessionSecurity = 0x00080000;

bool ReadProviderDomain(HeapString& domain)
{
    AutoCloseRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProviderKey, 0, KEY_QUERY_VALUE, &key.key) != ERROR_SUCCESS)
        return false;
    char value[128] = {};
    DWORD size = sizeof value;
    if (RegQueryValueExA(key.key, "AuthenticatingAgent", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS)
        return false;
    if (size == 0 || size >= sizeof value)
        return false;
    domain.AssignText(value);
    return true;
}

bool DomainFromSamName(const char* samName, UINT codePage, HeapString& domain)
{
    for (const char* p = samName; *p != '\0'; p = CharNextExA(WORD(codePage), p, 0)) {
        if (*p == '\\') {
            domain.Assign(samName, uint32_t(p - samName));
            return true;
        }
    }
    return false;
}

bool ReadUserNameDomain(HeapString& domain)
{
    char name[1024] = {};
    ULONG size = sizeof name;
    if (!GetUserNameExA(NameSamCompatible, name, &size) || name[0] == '\0')
        return false;
    return DomainFromSamName(name, CP_ACP, domain);
}

bool ReadNtlmSessionSecurity()
{
    AutoCloseRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLsaMsv10Key, 0, KEY_QUERY_VALUE, &key.key) != ERROR_SUCCESS)
        return false;
    DWORD flags = 0;
    DWORD size = sizeof flags;
    if (RegQueryValueExA(key.key, "ntlmminclientsec", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(&flags), &size) != ERROR_SUCCESS)
        return false;
    return (flags & kRequireNtlmV2SessionSecurity) != 0;
}

void ResolveHostAddresses(const char* hostName, HeapString& list)
{
    list.Assign(kEmptyText, 0);
    const hostent* host = gethostbyname(hostName);
    if (host == nullptr || host->h_addrtype != AF_INET)
        return;
    for (char** address = host->h_addr_list; *address != nullptr; ++address) {
        in_addr ipv4;
        memcpy(&ipv4, *address, sizeof ipv4);
        if (list.length != 0)
            list.AppendText(",");
        list.AppendText(inet_ntoa(ipv4));
    }
}

static void ComposeLogFilePath(const char* fileName)
{
    char windowsDirectory[MAX_PATH] = {};
    UINT length = GetWindowsDirectoryA(windowsDirectory, MAX_PATH);
    if (length >= MAX_PATH)
        windowsDirectory[0] = '\0';
    g_agent.m_logFilePath.AssignText(windowsDirectory).AppendText("\\Temp\\").AppendText(fileName);
}

int32_t ParseCommandLine(int argc, char** argv)
{
    if (argc < 2)
        return 0;
    if (IsHelpRequest(argv[1])) {
        ShowMessageBox("Usage", kUsageText);
        return 0;
    }
    g_agent.m_url.AssignText(argv[1]);
    g_agent.m_trace = 0;
    g_agent.m_writeLog = 0;
    const char* logFileName = kDefaultLogFileName;
    ApplyOptions(argc, argv, &g_agent, &logFileName);
    ComposeLogFilePath(logFileName);
    if (logFileName != kDefaultLogFileName)
        g_agent.m_logFileName = logFileName;

    ServerUrl url;
    const char* problem = nullptr;
    if (!SplitServerUrl(g_agent.m_url.text, &url, &problem)) {
        url.Release();
        if (!g_agent.m_quiet)
            ShowMessageBox("Note", problem);
        return 0;
    }
    g_agent.m_protocol.Assign(url.protocol.text, url.protocol.length);
    g_agent.m_host.Assign(url.host.text, url.host.length);
    g_agent.m_port = url.port;
    url.Release();

    char hostName[1024] = {};
    if (gethostname(hostName, sizeof hostName) != 0) {
        if (!g_agent.m_quiet)
            ShowMessage("Note", "Cannot get host name: ERROR %1!d!", WSAGetLastError());
        return 0;
    }
    ResolveHostAddresses(hostName, g_agent.m_ipList);

    HeapString providerDomain;
    HeapString userDomain;
    LogonFacts facts;
    facts.logout = g_agent.m_logout;
    facts.persistent = g_agent.m_persistent;
    facts.hostName = hostName;
    if (ReadProviderDomain(providerDomain)) {
        facts.providerDomain = providerDomain.text;
        g_agent.m_domain.Assign(providerDomain.text, providerDomain.length);
    }
    if (ReadUserNameDomain(userDomain)) {
        facts.userDomain = userDomain.text;
        g_agent.m_domain.Assign(userDomain.text, userDomain.length);
    }
    facts.ntlmSessionSecurity = ReadNtlmSessionSecurity();
    facts.ipList = g_agent.m_ipList.text;
    ComposeLogonRequest(facts, g_agent.m_request);
    userDomain.Release();
    providerDomain.Release();
    return 1;
}
