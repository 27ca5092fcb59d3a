// The service's lines on stderr: escaped, cut to a bounded length, and those that requests cause limited per kind.
#pragma once

#include <cstddef>
#include <string>

#include "common/line_limiter.h"

// Longest line written, in bytes, after escaping; longer ones are cut and say how much was cut.
constexpr std::size_t kMaxReportLine = 1024;

// The first two words of a reason ("unknown user D\u" gives "unknown user"): what kind of
// refusal it is, without the names a request put into it.
std::string reason_kind(const std::string& reason);

// One line on stderr, prefixed with the program name; control characters (from names in
// requests) are escaped, so that no request can add a line. Always written: for start-up,
// warnings and errors that happen once.
void report(const std::string& line);

// A line that requests or the network can cause at any rate: at most 10 lines of one kind
// a minute are written.
void report_limited(const std::string& kind, const std::string& line);

// Writes the lines about lines left out in windows that have ended; `all`: in every window,
// before the service ends.
void report_left_out(bool all = false);
