// Fuzz target: reading the server's reply headers stays within the block, and whatever the
// interval header holds, the interval is a whole number of seconds between the shortest and
// the longest one, or the current one.
#include "messaging/ReplyRules.h"
#include "tests/fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input(data, size, 2);
    ReplyIsSuccess(input[0]);
    const char* value = FindIntervalValue(input[0]);
    if (value == nullptr)
        return 0;
    const uint32_t current = uint32_t(input.Number(1));
    const uint32_t interval = IntervalFromHeaderValue(value, current);
    FUZZ_CHECK(interval == current || (interval >= 60000 && interval <= 4294967000u && interval % 1000 == 0));
    return 0;
}
