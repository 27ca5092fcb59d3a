// Text in the console's HTML pages: escaped text, names as they are stored, links' values, times.
#pragma once

#include <cstdint>
#include <string>

std::string html_escape(const std::string& bytes);
// A name taken from a request (host, user, domain): isolated, so that its direction
// cannot reorder the text around it, and with its bidirectional and other controls
// shown as they are written on stderr (\u202e), so that it reads as it is stored.
std::string html_name(const std::string& bytes);
// A parameter's value in a link.
std::string percent_encoded(const std::string& text);
// "5 min ago", "in 25 min", "just now"; hours from 90 minutes on, days from 36 hours on.
std::string relative_time(std::int64_t then, std::int64_t now);
// The time in the service's local time zone, as strftime's `format` writes it.
std::string local_time(std::int64_t epoch_seconds, const char* format);
// A table cell with the relative time, and the exact time (local and UTC) on hover.
std::string time_cell(std::int64_t then, std::int64_t now);
