// Fuzz target: reading the server's reply headers stays within the block, whatever it holds.
#include "messaging/ReplyRules.h"
#include "tests/fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input(data, size, 2);
    ReplyIsSuccess(input[0]);
    const char* value = FindIntervalValue(input[0]);
    if (value != nullptr)
        IntervalFromHeaderValue(value, uint32_t(input.Number(1)));
    return 0;
}
