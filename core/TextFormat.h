// The agent's own text formatting: bounded printf-style forms, trace records, message-insert numbers.
#pragma once

#include <stdarg.h>
#include <stddef.h>

// Writes `format` with its values into `out` (`size` bytes) as the C library's vsnprintf
// does for the forms the agent uses: %s, %.<n>s, %d, %ld, %u, %lu and %%.
// Any other form is copied as it stands. A text that does not fit is cut to size - 1
// characters; the result is always terminated when size > 0. True when all of it fit.
bool FormatTextV(char* out, size_t size, const char* format, va_list values);
bool FormatText(char* out, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));

constexpr size_t kTracePieceSize = 128;  // each piece of a trace record keeps at most 127 characters

// Composes one trace record: time text, blank, "<file>:<line> <message>", each part
// cut to 127 characters. `timeText` is the 24-character ctime form without its newline.
// Writes at most 255 characters plus the terminator into `record` (256 bytes).
void ComposeTraceRecord(char* record, const char* timeText, unsigned line, const char* file,
                        const char* message);

// Highest insert number ("%3" gives 3) that a message-insert text refers to; 0 for none.
int HighestInsertNumber(const char* message);
