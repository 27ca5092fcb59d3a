// Queries of the operating system for the system information report.
#include "report/TwSysInfo.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "core/Reporting.h"
#include "core/ScopedWin.h"

static const char kBrowserKey[] = "SOFTWARE\\Microsoft\\Internet Explorer";
void AppendCurrentDateTime(HeapString& target)
{
    SYSTEMTIME now;
    GetLocalTime(&now);  // one reading, so the date and the time belong together
    char text[1024];
    text[0] = '\0';
    GetDateFormatA(LOCALE_SYSTEM_DEFAULT, LOCALE_USE_CP_ACP, &now, nullptr, text, sizeof text);
    target.AppendText(text).AppendText(" ");
    text[0] = '\0';
    GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, LOCALE_USE_CP_ACP, &now, nullptr, text, sizeof text);
    target.AppendText(text);
}

void TwSysInfo::ShowFailure(const char* text) const
{
    if (m_showErrors)
        ShowMessageBox("Note", text);
}

uint32_t TwSysInfo::GetFreeDiskSpace(const char* directory)
{
    ULARGE_INTEGER availableToUser = {};
    ULARGE_INTEGER total = {};
    ULARGE_INTEGER free = {};
    if (!GetDiskFreeSpaceExA(directory, &availableToUser, &total, &free)) {
        ShowFailure("ERROR- Available disk space");
        return 0;
    }
    return MegabytesFromBytes(free.QuadPart);
}

// Windows 95, 98, ME and NT 4.0 before its sixth service pack refuse the extended
// record, so it is asked for only when the basic one shows a newer system.
int32_t TwSysInfo::GetOsVersion(OsVersion* version)
{
    OSVERSIONINFOA basic = {};
    basic.dwOSVersionInfoSize = sizeof basic;
    if (!GetVersionExA(&basic))
        return -1;
    OsVersion found;
    found.major = int32_t(basic.dwMajorVersion);
    found.minor = int32_t(basic.dwMinorVersion);
    found.build = basic.dwBuildNumber;
    memcpy(found.csdVersion, basic.szCSDVersion, sizeof found.csdVersion);
    if (basic.dwMajorVersion > 4) {
        OSVERSIONINFOEXA extended = {};
        extended.dwOSVersionInfoSize = sizeof extended;
        if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&extended)))
            return -1;
        found.major = int32_t(extended.dwMajorVersion);
        found.minor = int32_t(extended.dwMinorVersion);
        found.build = extended.dwBuildNumber;
        found.productType = extended.wProductType;
        found.servicePackMajor = extended.wServicePackMajor;
    }
    *version = found;
    return 0;
}

int32_t TwSysInfo::GetServicePack(HeapString& out)
{
    OsVersion version;
    if (GetOsVersion(&version) != 0) {
        ShowFailure("ERROR - Unable to detect OS Service Pack Version");
        return -1;
    }
    ServicePackOf(version, out);
    return 0;
}

// GlobalMemoryStatusEx is looked up at run time because the oldest systems the
// agent runs on do not have it; there the short query below has to do.
static bool QueryExtendedMemory(uint64_t* totalBytes)
{
    HMODULE kernel = LoadLibraryA("kernel32");
    if (kernel == nullptr)
        return false;
    using MemoryQuery = BOOL(WINAPI*)(MEMORYSTATUSEX*);
    auto query = reinterpret_cast<MemoryQuery>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel, "GlobalMemoryStatusEx")));
    MEMORYSTATUSEX status = {};
    status.dwLength = sizeof status;
    bool answered = query != nullptr && query(&status);
    FreeLibrary(kernel);
    if (answered)
        *totalBytes = status.ullTotalPhys;
    return answered;
}

// The extended query is preferred wherever it exists: the short one cannot count
// past 4 GB in a 32-bit process.
uint32_t TwSysInfo::GetPhysicalMemory()
{
    uint64_t totalBytes = 0;
    if (!QueryExtendedMemory(&totalBytes)) {
        MEMORYSTATUS status = {};
        status.dwLength = sizeof status;
        GlobalMemoryStatus(&status);
        totalBytes = status.dwTotalPhys;
    }
    return KilobytesFromBytes(totalBytes);
}

// The browser's version text; false when its entry or value is missing, or longer than `size`.
static bool ReadBrowserVersion(char* text, DWORD size)
{
    AutoCloseRegKey key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kBrowserKey, &key.key) != ERROR_SUCCESS) {
        key.key = nullptr;
        return false;
    }
    return RegQueryValueExA(key.key, "Version", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size) ==
           ERROR_SUCCESS;
}

int32_t TwSysInfo::GetIEVersion()
{
    // One byte more than is offered, so a value that fills the offer is still terminated.
    char version[512 + 1] = {};
    if (!ReadBrowserVersion(version, sizeof version - 1)) {
        ShowFailure("Unable to Determine IE Browser Version");
        return -1;
    }
    // "9.11.9600.18376" gives 9; long is 32 bits here, so an absurd number stops at the limit.
    return int32_t(strtol(version, nullptr, 10));
}
