// Tests of the heap string, message-insert formatting and the trace record.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <stdio.h>
#include <string>

#include "core/AgentState.h"
#include "core/Heap.h"
#include "core/HeapString.h"
#include "core/Reporting.h"

namespace {

// The locks live as long as the process and are initialised once, as WinMain does.
class AgentLocks : public testing::Environment {
    void SetUp() override { InitializeAgentLocks(); }
};
testing::Environment* const g_locks = testing::AddGlobalTestEnvironment(new AgentLocks);

// Its pieces are the fuzzer's business; an allocation that fails leaves the string empty, never stale.
TEST(HeapString, OutOfMemoryEmpties)
{
    HeapString s;
    for (bool append : {true, false}) {
        s.AssignText("keep");
        InjectAllocationFailure(0);
        if (append)
            s.AppendText("more");
        else
            s.AssignText("other");
        InjectAllocationFailure(-1);
        EXPECT_EQ(s.text, kEmptyText) << append;
        EXPECT_EQ(s.length, 0u) << append;
    }
}

std::string Format(const char* message, std::initializer_list<Insert> inserts)
{
    char* text = FormatInserts(message, inserts.begin(), int(inserts.size()));
    std::string result = text != nullptr ? text : "(null)";
    LocalFree(text);
    return result;
}

// The inserts reach the system's formatter as it expects them; a text that asks for more
// than were given is refused before the formatter could read past them.
TEST(FormatInserts, ExpandsOrRefuses)
{
    EXPECT_EQ(Format("%1!s!: ERROR %2!d!", {"Pellamor", -5}), "Pellamor: ERROR -5");
    EXPECT_EQ(Format("%1!d! and %2!d!", {7}), kUnformattableMessage);
    EXPECT_EQ(Format("error %1!d!", {}), kUnformattableMessage);
}

TEST(TraceLine, WritesWholeRecordsCutAt127)
{
    remove(kTraceFilePath);
    std::string longMessage(300, 'x');
    TraceLine(42, kTraceSource, "%s", longMessage.c_str());
    TraceLine(7, "Other", "n=%d", 5);
    std::ifstream file(kTraceFilePath, std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    file.close();
    remove(kTraceFilePath);

    // 127 characters of body: "TwPellamor:42 " is 14, so 113 characters of the message remain.
    std::string time = "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4} ";
    std::regex expected(time + "TwPellamor:42 " + std::string(113, 'x') + "\r\r\n" + time + "Other:7 n=5\r\r\n");
    EXPECT_TRUE(std::regex_match(bytes, expected)) << bytes;

    // The 32-bit build's time_t ends in January 2038; the trace goes on after it.
    char timeText[kTraceTimeSize];
    ComposeTraceTime(4118126400, timeText);  // 2100-07-01 12:00 UTC
    EXPECT_TRUE(std::regex_match(timeText, std::regex("Thu Jul [ 0]1 \\d\\d:\\d\\d:00 2100"))) << timeText;
}

}  // namespace
