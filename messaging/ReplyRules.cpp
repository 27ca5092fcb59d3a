// Pure rules for reading the server's reply: success mark and repeat interval.
#include "messaging/ReplyRules.h"

#include <ctype.h>
#include <string.h>

#include "core/AgentState.h"

static const uint32_t kLargestSeconds = UINT32_MAX / 1000;  // 4294967

bool ReplyIsSuccess(const char* headers)
{
    const size_t length = sizeof kSuccessMark - 1;
    return strncmp(headers, kSuccessMark, length) == 0 && (headers[length] == ' ' || headers[length] == '\r');
}

const char* FindIntervalValue(const char* headers)
{
    const char* header = strstr(headers, kIntervalHeader);
    return header != nullptr ? header + sizeof kIntervalHeader - 1 : nullptr;
}

uint32_t IntervalFromHeaderValue(const char* value, uint32_t current)
{
    while (isspace(static_cast<unsigned char>(*value)))
        ++value;
    bool negative = *value == '-';
    if (*value == '+' || *value == '-')
        ++value;
    uint64_t seconds = 0;
    for (; isdigit(static_cast<unsigned char>(*value)) && seconds <= kLargestSeconds; ++value)
        seconds = seconds * 10 + uint64_t(*value - '0');
    if (negative && seconds != 0)
        return current;
    if (seconds > kLargestSeconds)
        return kLargestSeconds * 1000;
    uint32_t interval = uint32_t(seconds) * 1000;
    return interval < kMinimumPersistentTime ? kMinimumPersistentTime : interval;
}
