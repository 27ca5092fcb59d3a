// Fuzz target: the system's name and service-pack text, and the lines of the report.
#include <string>

#include "report/SystemReport.h"
#include "report/TwSysInfo.h"
#include "tests/fuzz/FuzzInput.h"

FUZZ_TARGET(7, input)
{
    OsVersion version;
    version = {int32_t(input.Number(0)), int32_t(input.Number(1)), uint32_t(input.Number(2)),
               uint8_t(input.Number(3)), uint16_t(input.Number(4)), {}};
    strncpy(version.csdVersion, input[5], sizeof version.csdVersion);  // may fill it without a terminator
    const char* name = OsNameOf(version);
    FUZZ_CHECK(name[0] != '\0' && name[strlen(name) - 1] == ' ');
    HeapString servicePack;
    ServicePackOf(version, servicePack);
    FUZZ_CHECK(servicePack.length <= 5);
    ReportFacts facts;
    facts.domain = input[6];
    facts.servicePack = servicePack.text;
    facts.freeMegabytes = uint32_t(input.Number(2));
    HeapString block;
    ComposeReport(facts, block);
    std::string text = block.text;
    FUZZ_CHECK(text.find("Free Disk Space(MB): " + std::to_string(facts.freeMegabytes) + "\r\n") != text.npos);
    FUZZ_CHECK(text.size() > 41 && text.substr(text.size() - 41) == std::string(39, '*') + "\r\n");
    block.Release();
    servicePack.Release();
}
