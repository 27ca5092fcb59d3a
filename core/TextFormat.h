// The agent's own bounded printf-style formatting, so that the C runtime's printf family stays out.
#pragma once

#include <stdarg.h>
#include <stddef.h>

// Writes `format` with its values into `out` (`size` bytes) as the C library's vsnprintf
// does for the forms the agent uses: %s, %.<n>s, %d, %ld, %u, %lu and %%.
// Any other form is copied as it stands. A text that does not fit is cut to size - 1
// characters; the result is always terminated when size > 0. True when all of it fit.
bool FormatTextV(char* out, size_t size, const char* format, va_list values);
bool FormatText(char* out, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));
