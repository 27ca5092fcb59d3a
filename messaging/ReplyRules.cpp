// Pure rules for reading the server's reply: success mark, repeat interval and retry delay.
#include "messaging/ReplyRules.h"

#include <string.h>

#include "core/AgentState.h"
#include "core/HeapString.h"

static const uint32_t kLargestSeconds = UINT32_MAX / 1000;  // 4294967
static const uint32_t kDefaultRetryDelay = 60000;

bool ReplyIsSuccess(const char* headers)
{
    const size_t length = sizeof kSuccessMark - 1;
    return strncmp(headers, kSuccessMark, length) == 0 && (headers[length] == ' ' || headers[length] == '\r');
}

static bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

static bool StartsWithName(const char* line, const char* name)
{
    for (; *name != '\0'; ++line, ++name)
        if (AsciiLower(*line) != AsciiLower(*name))
            return false;
    return *line == ':';
}

const char* FindIntervalValue(const char* headers)
{
    for (const char* line = strchr(headers, '\n'); line != nullptr; line = strchr(line, '\n')) {
        ++line;
        if (StartsWithName(line, kIntervalHeader)) {
            const char* value = line + sizeof kIntervalHeader;
            while (IsBlank(*value))
                ++value;
            return value;
        }
    }
    return nullptr;
}

uint32_t IntervalFromHeaderValue(const char* value, uint32_t current)
{
    while (IsBlank(*value))
        ++value;
    if (!IsAsciiDigit(*value))
        return current;
    uint64_t seconds = 0;
    for (; IsAsciiDigit(*value); ++value)
        if (seconds <= kLargestSeconds)
            seconds = seconds * 10 + uint64_t(*value - '0');
    while (IsBlank(*value))
        ++value;
    if (*value != '\0' && *value != '\r' && *value != '\n')
        return current;
    if (seconds > kLargestSeconds)
        return kLargestSeconds * 1000;
    uint32_t interval = uint32_t(seconds) * 1000;
    return interval < kMinimumPersistentTime ? kMinimumPersistentTime : interval;
}

uint32_t RetryDelay(uint32_t retryAfterSeconds, uint32_t interval, uint32_t noise)
{
    uint64_t delay = retryAfterSeconds != 0 ? uint64_t(retryAfterSeconds) * 1000 : kDefaultRetryDelay;
    delay += noise % (delay / 4 + 1);
    return delay < interval ? uint32_t(delay) : interval;
}
