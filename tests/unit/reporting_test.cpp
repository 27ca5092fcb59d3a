// Tests of message-insert formatting and of the trace record.
#include <gtest/gtest.h>

#include <regex>
#include <stdio.h>
#include <string>

#include "core/Reporting.h"

namespace {

std::string Format(const char* message, std::initializer_list<Insert> inserts)
{
    char* text = FormatInserts(message, inserts.begin(), int(inserts.size()));
    std::string result = text != nullptr ? text : "(null)";
    LocalFree(text);
    return result;
}

TEST(FormatInserts, ExpandsOrRefuses)
{
    EXPECT_EQ(Format("Cannot get host name: ERROR %1!d!", {10093}), "Cannot get host name: ERROR 10093");
    EXPECT_EQ(Format("code %1!d!", {-5}), "code -5");
    EXPECT_EQ(Format("Window Name: %1!s!\r\n", {"Pellamor"}), "Window Name: Pellamor\r\n");
    EXPECT_EQ(Format("plain text", {}), "plain text");
    EXPECT_EQ(Format("100%% sure", {}), "100% sure");
    EXPECT_EQ(Format("%1!d! and %2!d!", {7}), kUnformattableMessage);
    EXPECT_EQ(Format("error %1!d!", {}), kUnformattableMessage);
}

TEST(ShowMessage, GoesThroughTheOneBoxFunction)
{
    static std::string caption, text;
    SetMessageBoxHook([](const char* c, const char* t) {
        caption = c;
        text = t;
        return IDOK;
    });
    ShowMessage("Note", "Cannot Open File: ERROR %1!d!", 32);
    EXPECT_EQ(caption, "Note");
    EXPECT_EQ(text, "Cannot Open File: ERROR 32");
    ShowMessage("Note", "%3!d!", 1);
    EXPECT_EQ(text, kUnformattableMessage);
    SetMessageBoxHook(nullptr);
}

std::string ReadTraceFile()
{
    std::string bytes;
    FILE* f = fopen(kTraceFilePath, "rb");
    if (f == nullptr)
        return bytes;
    char buffer[512];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        bytes.append(buffer, n);
    fclose(f);
    return bytes;
}

TEST(TraceLine, WritesWholeRecordsCutAt127)
{
    remove(kTraceFilePath);
    std::string longMessage(300, 'x');
    TraceLine(42, kTraceSource, "%s", longMessage.c_str());
    TraceLine(7, "Other", "n=%d", 5);
    std::string bytes = ReadTraceFile();
    remove(kTraceFilePath);

    // 127 characters of body: "TwPellamor:42 " is 14, so 113 characters of the message remain.
    std::string time = "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4} ";
    std::regex expected(time + "TwPellamor:42 " + std::string(113, 'x') + "\r\r\n" + time + "Other:7 n=5\r\r\n");
    EXPECT_TRUE(std::regex_match(bytes, expected)) << bytes;
}

}  // namespace
