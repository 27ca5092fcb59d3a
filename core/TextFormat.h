// The agent's own text formatting: bounded printf-style forms, trace records, message-insert numbers.
#pragma once

#include <stdarg.h>
#include <stddef.h>

// Writes `format` with its values into `out` (`size` bytes) as the C library's vsnprintf
// does for the forms the agent uses: %s, %.<n>s, %d, %ld, %u, %lu and %%. At the first
// other form the rest of `format` is copied as it stands and no more values are read.
// A text that does not fit is cut to size - 1 characters; the result is always
// terminated when size > 0. True when all of it fit.
bool FormatTextV(char* out, size_t size, const char* format, va_list values);

// True when every form in `format` is one that FormatTextV supports.
constexpr bool HasOnlySupportedForms(const char* format)
{
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%')
            continue;
        ++p;
        if (*p == '.') {
            for (++p; *p >= '0' && *p <= '9'; ++p) {
            }
            if (*p != 's')
                return false;
            continue;
        }
        if (*p == 'l' && (p[1] == 'd' || p[1] == 'u'))
            ++p;
        else if (*p != 'd' && *p != 'u' && *p != 's' && *p != '%')
            return false;
    }
    return true;
}

template <bool supported>
constexpr bool RequireSupportedForms()
{
    static_assert(supported, "a form the agent's formatter does not support");
    return supported;
}

// Fails to compile when the literal `format` holds a form that FormatTextV does not support.
#define CHECK_TEXT_FORMAT(format) static_cast<void>(RequireSupportedForms<HasOnlySupportedForms(format)>())

// FormatTextV with the values given here; call it through FORMAT_TEXT.
bool FormatTextUnchecked(char* out, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));
#define FORMAT_TEXT(out, size, format, ...) \
    (CHECK_TEXT_FORMAT(format), FormatTextUnchecked(out, size, format, __VA_ARGS__))

constexpr size_t kTracePieceSize = 128;  // each piece of a trace record keeps at most 127 characters

// Composes one trace record: time text, blank, "<file>:<line> <message>", each part
// cut to 127 characters. `timeText` is the 24-character ctime form without its newline.
// Writes at most 255 characters plus the terminator into `record` (256 bytes).
void ComposeTraceRecord(char* record, const char* timeText, unsigned line, const char* file,
                        const char* message);

// Highest insert number ("%3" gives 3) that a message-insert text refers to; 0 for none.
int HighestInsertNumber(const char* message);
