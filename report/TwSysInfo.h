// Queries of the operating system for the system information report.
#pragma once

#include <stdint.h>

#include "core/HeapString.h"

// What the version query says about the running system. The defaults describe a
// system whose version could not be read.
struct OsVersion {
    int32_t major = -1;
    int32_t minor = -1;
    uint32_t build = 0;
    uint8_t productType = 0;  // VER_NT_*; 0 when only the basic query answered
    uint16_t servicePackMajor = 0;
    char csdVersion[128] = {};
};

// The system's name as the report writes it, always ending with one blank. Up to
// version 5.2 the name is chosen by the old key (4.0 is "Windows NT", otherwise the
// minor version alone), so old reports read as they always have.
const char* OsNameOf(const OsVersion& version);

// The service-pack text of a version: before major version 5 the last non-blank
// character of the CSD text ("A" for " A ", "6" for "Service Pack 6"), empty when
// there is none; from version 5 on the service-pack number in decimal, "0" for none.
void ServicePackOf(const OsVersion& version, HeapString& out);

// Whole megabytes and kilobytes of a byte count, held at the largest 32-bit value
// rather than wrapping.
uint32_t MegabytesFromBytes(uint64_t bytes);
uint32_t KilobytesFromBytes(uint64_t bytes);

// Appends the local date, one blank and the local time, in the system locale's short forms.
void AppendCurrentDateTime(HeapString& target);

// The system queries. Nothing is cached: every call asks the system again. A failing
// method returns its failure value, after showing its failure text in a box only
// when the object was made with showErrors.
class TwSysInfo {
public:
    explicit TwSysInfo(bool showErrors) : m_showErrors(showErrors) {}
    virtual ~TwSysInfo() {}
    TwSysInfo(const TwSysInfo&) = delete;
    TwSysInfo& operator=(const TwSysInfo&) = delete;

    // Free megabytes of the disk holding `directory` (null: the current directory's); 0 on failure.
    uint32_t GetFreeDiskSpace(const char* directory);
    // 0 with the text in `out` (see ServicePackOf); -1 with `out` untouched on failure.
    int32_t GetServicePack(HeapString& out);
    // Total physical memory in kilobytes; 0 when it cannot be read.
    uint32_t GetPhysicalMemory();
    // Major version of the browser from its registry entry; -1 when there is none.
    int32_t GetIEVersion();
    // The whole version record; 0, or -1 with `version` untouched. Shows no box.
    int32_t GetOsVersion(OsVersion* version);

private:
    void ShowFailure(const char* text) const;

    bool m_showErrors;
};
