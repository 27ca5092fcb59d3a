// Fuzz target: reading the server's reply headers and the interval header's value stays within
// the block, whatever the server sends, and a retry never waits past the interval.
#include "messaging/ReplyRules.h"
#include "tests/fuzz/FuzzInput.h"

FUZZ_TARGET(4, input)
{
    ReplyIsSuccess(input[0]);
    uint32_t current = uint32_t(input.Number(1));
    if (const char* value = FindIntervalValue(input[0])) {
        uint32_t interval = IntervalFromHeaderValue(value, current);
        FUZZ_CHECK(interval == current || (interval >= 60000 && interval % 1000 == 0));
    }
    uint32_t retryAfter = uint32_t(input.Number(2));
    uint32_t delay = RetryDelay(retryAfter, current, uint32_t(input.Number(3)));
    FUZZ_CHECK(delay <= current && (delay == current || delay >= (retryAfter ? retryAfter * 1000ull : 60000)));
}
