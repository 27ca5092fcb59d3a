// The system's name and service-pack text in the report, and the sizes it gives.
#include "report/TwSysInfo.h"

#include <windows.h>

#include <string.h>

#include "core/TextFormat.h"

static const char kUnknownOs[] = "Unknown ";

// Names of the systems that answer 4.x and 5.x, chosen by the old key.
static const char* OsNameOfKey(int32_t key)
{
    switch (key) {
    case 0:
        return "Windows 2000 ";
    case 1:
        return "Windows XP ";
    case 2:
        return "Windows 2003 ";
    case 4:
        return "Windows NT ";
    case 10:
        return "Windows 98 ";
    case 90:
        return "Windows ME ";
    default:
        return kUnknownOs;
    }
}

// Version 6 shares its numbers between a desktop and a server release.
static const char* OsNameOfVersion6(int32_t minor, bool server)
{
    switch (minor) {
    case 0:
        return server ? "Windows Server 2008 " : "Windows Vista ";
    case 1:
        return server ? "Windows Server 2008 R2 " : "Windows 7 ";
    case 2:
        return server ? "Windows Server 2012 " : "Windows 8 ";
    case 3:
        return server ? "Windows Server 2012 R2 " : "Windows 8.1 ";
    default:
        return kUnknownOs;
    }
}

// Every release since 2015 answers 10.0; only the build number tells them apart.
static const char* OsNameOfVersion10(uint32_t build, bool server)
{
    if (!server)
        return build >= 22000 ? "Windows 11 " : "Windows 10 ";
    if (build >= 26100)
        return "Windows Server 2025 ";
    if (build >= 20348)
        return "Windows Server 2022 ";
    if (build >= 17763)
        return "Windows Server 2019 ";
    return "Windows Server 2016 ";
}

const char* OsNameOf(const OsVersion& version)
{
    bool server = version.productType != VER_NT_WORKSTATION;
    if (version.major < 6)
        return OsNameOfKey(version.major == 4 && version.minor == 0 ? 4 : version.minor);
    if (version.major == 6)
        return OsNameOfVersion6(version.minor, server);
    if (version.major == 10 && version.minor == 0)
        return OsNameOfVersion10(version.build, server);
    return kUnknownOs;
}

static void AssignDecimal(HeapString& target, unsigned value)
{
    char digits[16];
    FORMAT_TEXT(digits, sizeof digits, "%u", value);
    target.AssignText(digits);
}

void ServicePackOf(const OsVersion& version, HeapString& out)
{
    if (version.major > 4) {
        AssignDecimal(out, version.servicePackMajor);
        return;
    }
    const char* csd = version.csdVersion;
    for (size_t i = strnlen(csd, sizeof version.csdVersion); i > 0; --i) {
        if (csd[i - 1] != ' ') {
            out.Assign(&csd[i - 1], 1);
            return;
        }
    }
    out.Assign(kEmptyText, 0);
}

static uint32_t ClampTo32Bits(uint64_t value)
{
    return value > UINT32_MAX ? UINT32_MAX : uint32_t(value);
}

uint32_t MegabytesFromBytes(uint64_t bytes)
{
    return ClampTo32Bits(bytes / (1024 * 1024));
}

uint32_t KilobytesFromBytes(uint64_t bytes)
{
    return ClampTo32Bits(bytes / 1024);
}
