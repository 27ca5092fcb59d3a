// Fuzz target: the agent's formatter against the C library's, trace records and message-insert numbers.
#include <stdio.h>

#include "core/TextFormat.h"
#include "tests/fuzz/FuzzInput.h"

static char mine[300];
static char theirs[300];

#define SAME_AS_C_LIBRARY_WITH(formatter, room, ...)                                          \
    FUZZ_CHECK(formatter(mine, room, __VA_ARGS__) == (snprintf(theirs, room, __VA_ARGS__) < int(room)) && \
               (room == 0 || strcmp(mine, theirs) == 0))
#define SAME_AS_C_LIBRARY(room, ...) SAME_AS_C_LIBRARY_WITH(FORMAT_TEXT, room, __VA_ARGS__)

// True when every form of `format` takes a string or no value, and four values are enough.
static bool TakesOnlyStrings(const char* format)
{
    int count = 0;
    for (const char* p = strchr(format, '%'); p != nullptr; p = strchr(p + 1, '%')) {
        size_t length = strspn(p + 1, ".0123456789") + 1;
        if (length == 1 && p[1] == '%')
            ++p;
        else if (p[length] != 's' || length > 6 || ++count > 4)  // the C library's precision is an int
            return false;
    }
    return true;
}

FUZZ_TARGET(5, input)
{
    size_t room = size_t(input.Number(2)) % sizeof mine;
    long number = input.Number(1);
    SAME_AS_C_LIBRARY(room, "%s|%.24s|%%|%.0s", input[0], input[0], input[0]);
    SAME_AS_C_LIBRARY(room, "%d %u %ld %lu", int(number), unsigned(number), number, (unsigned long)number);
    // Whatever the compile-time check lets through is written as the C library writes it.
    if (HasOnlySupportedForms(input[4]) && TakesOnlyStrings(input[4]))
        SAME_AS_C_LIBRARY_WITH(FormatTextUnchecked, room, input[4], input[0], input[3], input[0], input[3]);
    std::vector<char> record(2 * kTracePieceSize);  // an overrun leaves the heap block
    ComposeTraceRecord(record.data(), input[0], unsigned(number), input[3], input[2]);
    FUZZ_CHECK(strlen(record.data()) < record.size());
    FUZZ_CHECK(unsigned(HighestInsertNumber(input[3])) < 1000);
}
