// The system information report appended to the log file before every send.
#pragma once

#include <stdint.h>

#include "core/HeapString.h"

// Appends one report to m_logFilePath when m_writeLog is set. Takes m_reportLock itself;
// a failure is shown (unless quiet) once it is left.
void WriteSystemReport();

// Everything one report says; texts are terminated, none is null.
struct ReportFacts {
    const char* dateTime = "";
    const char* hostName = "";
    const char* ipList = "";
    int32_t browserVersion = -1;
    const char* osName = "";
    const char* servicePack = "";  // empty: the system line names no service pack
    uint32_t freeMegabytes = 0;
    uint32_t physicalKilobytes = 0;
    bool persistent = false;
    const char* domain = "";  // empty: no domain line
};

// Appends the report's lines, each ending in CR LF, closed by the line of asterisks.
void ComposeReport(const ReportFacts& facts, HeapString& block);
