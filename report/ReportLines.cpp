// The lines of the system information report, composed from facts already gathered.
#include "report/SystemReport.h"

#include "core/TextFormat.h"

static const char kLineEnd[] = "\r\n";
static const char kEndOfReport[] = "***************************************";

static void AppendLine(HeapString& block, const char* label, const char* value)
{
    block.AppendText(label).AppendText(value).AppendText(kLineEnd);
}

static void AppendNumberLine(HeapString& block, const char* label, int32_t value)
{
    char digits[16];
    FORMAT_TEXT(digits, sizeof digits, "%d", int(value));
    AppendLine(block, label, digits);
}

// The sizes are unsigned 32-bit counts: a large disk never reads as negative.
static void AppendSizeLine(HeapString& block, const char* label, uint32_t value)
{
    char digits[16];
    FORMAT_TEXT(digits, sizeof digits, "%u", unsigned(value));
    AppendLine(block, label, digits);
}

void ComposeReport(const ReportFacts& facts, HeapString& block)
{
    AppendLine(block, "Current Time: ", facts.dateTime);
    AppendLine(block, "Hostname: ", facts.hostName);
    AppendLine(block, "IP Address(es): ", facts.ipList);
    AppendNumberLine(block, "Internet Explorer v", facts.browserVersion);
    block.AppendText(facts.osName);
    if (facts.servicePack[0] != '\0')
        block.AppendText("Service Pack ").AppendText(facts.servicePack);
    block.AppendText(kLineEnd);
    AppendSizeLine(block, "Free Disk Space(MB): ", facts.freeMegabytes);
    AppendSizeLine(block, "Physical Memory(KBytes): ", facts.physicalKilobytes);
    block.AppendText(facts.persistent ? "Persistent mode is ENABLED" : "Persistent mode is DISABLED");
    block.AppendText(kLineEnd);
    if (facts.domain[0] != '\0')
        AppendLine(block, "Domain is ", facts.domain);
    block.AppendText(kEndOfReport).AppendText(kLineEnd);
}
