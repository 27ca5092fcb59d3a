// Fuzz target: the agent's formatter against the C library's, trace records and message-insert numbers.
#include <stdio.h>

#include "core/TextFormat.h"
#include "tests/fuzz/FuzzInput.h"

static char mine[300];
static char theirs[300];

#define SAME_AS_C_LIBRARY(room, ...)                                                       \
    FUZZ_CHECK(FormatText(mine, room, __VA_ARGS__) == (snprintf(theirs, room, __VA_ARGS__) < int(room)) && \
               (room == 0 || strcmp(mine, theirs) == 0))

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input(data, size, 4);
    size_t room = size_t(input.Number(2)) % sizeof mine;
    long number = input.Number(1);
    SAME_AS_C_LIBRARY(room, "%s|%.24s|%%|%.0s", input[0], input[0], input[0]);
    SAME_AS_C_LIBRARY(room, "%d %u %ld %lu", int(number), unsigned(number), number, (unsigned long)number);
    std::vector<char> record(2 * kTracePieceSize);  // an overrun leaves the heap block
    ComposeTraceRecord(record.data(), input[0], unsigned(number), input[3], input[2]);
    FUZZ_CHECK(strlen(record.data()) < record.size());
    FUZZ_CHECK(unsigned(HighestInsertNumber(input[3])) < 1000);
    return 0;
}
