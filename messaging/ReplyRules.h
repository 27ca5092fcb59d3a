// Pure rules for reading the server's reply: success mark, repeat interval and retry delay.
#pragma once

#include <stdint.h>

constexpr const char kSuccessMark[] = "HTTP/1.1 200";
constexpr const char kIntervalHeader[] = "Persistent-Time";

// True when the raw header block's status line, its first line, reads "HTTP/1.1 200": a
// header line that happens to hold the same text does not make a refusal a success.
bool ReplyIsSuccess(const char* headers);

// The value of the first "Persistent-Time" header in the block (the name in any letter case at
// the start of a line after the status line, then ":"), blanks before it skipped; null without
// one. A header whose name merely ends in the same text (X-Max-Persistent-Time) is another one.
const char* FindIntervalValue(const char* headers);

// The interval in milliseconds that a header value in seconds asks for. Only a whole number
// of seconds, decimal digits between optional blanks up to the end of the line, counts; any
// other value (a sign, letters, a fraction, nothing) is a server's fault, not a wish, and keeps
// `current`. Nothing wraps: anything from 0 to 60 s gives 60000, and anything whose millisecond
// count would not fit in 32 bits gives 4294967000.
uint32_t IntervalFromHeaderValue(const char* value, uint32_t current);

// How long to wait before a failed send is tried again, in milliseconds: the seconds the server
// asked for (Retry-After), or 60 s when it named none (0), plus up to a quarter more chosen by
// `noise`, so that a site's machines that failed together do not all come back at one moment;
// never longer than `interval`, after which the send goes out anyway.
uint32_t RetryDelay(uint32_t retryAfterSeconds, uint32_t interval, uint32_t noise);
