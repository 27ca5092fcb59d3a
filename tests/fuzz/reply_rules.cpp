// Fuzz target: reading the server's reply headers; the interval is checked against the C library's reading.
#include <stdlib.h>
#include <string.h>

#include "core/AgentState.h"
#include "messaging/ReplyRules.h"
#include "tests/fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input(data, size, 2);
    ReplyIsSuccess(input[0]);
    const char* value = FindIntervalValue(input[0]);
    if (value == nullptr)
        return 0;
    long long seconds = strtoll(value, nullptr, 10);  // saturates instead of wrapping
    uint32_t current = uint32_t(input.Number(1));
    long long expected = seconds < 0    ? current
                         : seconds < 60 ? kMinimumPersistentTime
                                        : seconds > 4294967 ? 4294967000 : seconds * 1000;
    FUZZ_CHECK(IntervalFromHeaderValue(value, current) == uint32_t(expected));
    return 0;
}
