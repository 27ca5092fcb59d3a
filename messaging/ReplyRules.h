// Pure rules for reading the server's reply: success mark and repeat interval.
#pragma once

#include <stdint.h>

constexpr const char kSuccessMark[] = "HTTP/1.1 200";
constexpr const char kIntervalHeader[] = "Persistent-Time: ";

// True when the raw header block's status line, its first line, reads "HTTP/1.1 200": a
// header line that happens to hold the same text does not make a refusal a success.
bool ReplyIsSuccess(const char* headers);

// The text right after "Persistent-Time: " in the header block, or null without one.
const char* FindIntervalValue(const char* headers);

// The interval in milliseconds that a header value in seconds asks for. The number is
// read like the runtime's decimal conversion (leading blanks, optional sign, digits),
// but nothing wraps: anything from 0 to 60 s gives 60000, and anything whose millisecond
// count would not fit in 32 bits gives 4294967000. A negative number is a server's fault,
// not a wish for the shortest interval: it keeps `current`.
uint32_t IntervalFromHeaderValue(const char* value, uint32_t current);
