// Fuzz target: the agent's formatter against the C library's, trace records and message-insert numbers.
#include <stdio.h>

#include "core/TextFormat.h"
#include "tests/fuzz/FuzzInput.h"

static char mine[300];
static char theirs[300];

#define SAME_AS_C_LIBRARY(room, ...)                                              \
    do {                                                                          \
        bool fit = FormatText(mine, room, __VA_ARGS__);                           \
        int length = snprintf(theirs, room, __VA_ARGS__);                         \
        FUZZ_CHECK(fit == (length < int(room)));                                  \
        FUZZ_CHECK(room == 0 || strcmp(mine, theirs) == 0);                       \
    } while (0)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input(data, size, 4);
    size_t room = size_t(input.Number(2)) % sizeof mine;
    long number = input.Number(1);
    SAME_AS_C_LIBRARY(room, "%s|%.24s|%%|%.0s", input[0], input[0], input[0]);
    SAME_AS_C_LIBRARY(room, "%d %u %ld %lu", int(number), unsigned(number), number, (unsigned long)number);
    std::unique_ptr<char[]> record(new char[2 * kTracePieceSize]);
    ComposeTraceRecord(record.get(), input[0], unsigned(number), input[3], input[2]);
    FUZZ_CHECK(strlen(record.get()) < 2 * kTracePieceSize);
    int highest = HighestInsertNumber(input[3]);
    FUZZ_CHECK(highest >= 0 && highest < 1000);
    return 0;
}
