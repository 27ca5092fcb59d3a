// Fuzz target: reading the server's reply headers and the interval header's value stays within
// the block, whatever the server sends.
#include "messaging/ReplyRules.h"
#include "tests/fuzz/FuzzInput.h"

FUZZ_TARGET(2, input)
{
    ReplyIsSuccess(input[0]);
    uint32_t current = uint32_t(input.Number(1));
    if (const char* value = FindIntervalValue(input[0])) {
        uint32_t interval = IntervalFromHeaderValue(value, current);
        FUZZ_CHECK(interval == current || (interval >= 60000 && interval % 1000 == 0));
    }
}
