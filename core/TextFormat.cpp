// The agent's own text formatting: bounded printf-style forms, trace records, message-insert numbers.
#include "core/TextFormat.h"

#include <string.h>

#include "core/HeapString.h"

namespace {

// Collects pieces into the caller's buffer, keeping room for the terminator.
struct BoundedOutput {
    char* out;
    size_t size;
    size_t length;
    bool fit;

    void Put(const char* text, size_t count)
    {
        size_t room = size - 1 - length;
        if (count > room) {
            count = room;
            fit = false;
        }
        memcpy(out + length, text, count);
        length += count;
    }
};

// Numbers are at most long: 64-bit division would bring the compiler's helper into a 32-bit program.
void PutDecimal(BoundedOutput& output, unsigned long magnitude, bool negative)
{
    char digits[24];
    char* first = digits + sizeof digits;
    do {
        *--first = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative)
        *--first = '-';
    output.Put(first, size_t(digits + sizeof digits - first));
}

void PutSigned(BoundedOutput& output, long value)
{
    // Negated in unsigned arithmetic, so the most negative value does not overflow.
    unsigned long magnitude = value < 0 ? 0 - static_cast<unsigned long>(value) : value;
    PutDecimal(output, magnitude, value < 0);
}

void PutString(BoundedOutput& output, const char* text, size_t precision)
{
    if (text == nullptr)
        text = "(null)";
    size_t count = 0;
    while (count < precision && text[count] != '\0')
        ++count;
    output.Put(text, count);
}

// Writes one form that starts after its '%'; returns the position after the form, or null
// (having written nothing) for a form this formatter does not support.
const char* PutForm(BoundedOutput& output, const char* form, va_list& values)
{
    const char* start = form - 1;
    size_t precision = size_t(-1);
    if (*form == '.') {
        precision = 0;
        for (++form; *form >= '0' && *form <= '9'; ++form)
            precision = precision < 100000 ? precision * 10 + size_t(*form - '0') : precision;
        if (*form != 's')
            return nullptr;
    }
    bool isLong = *form == 'l';
    if (isLong)
        ++form;
    if (*form == 's' && !isLong)
        PutString(output, va_arg(values, const char*), precision);
    else if (*form == 'd')
        PutSigned(output, isLong ? va_arg(values, long) : va_arg(values, int));
    else if (*form == 'u')
        PutDecimal(output, isLong ? va_arg(values, unsigned long) : va_arg(values, unsigned), false);
    else if (*form == '%' && form == start + 1)
        output.Put("%", 1);
    else
        return nullptr;
    return form + 1;
}

}  // namespace

bool FormatTextV(char* out, size_t size, const char* format, va_list values)
{
    if (size == 0)
        return false;
    BoundedOutput output = {out, size, 0, true};
    va_list remaining;
    va_copy(remaining, values);
    while (*format != '\0') {
        const char* percent = strchr(format, '%');
        size_t plain = percent != nullptr ? size_t(percent - format) : strlen(format);
        output.Put(format, plain);
        format += plain;
        if (*format != '%')
            continue;
        const char* next = PutForm(output, format + 1, remaining);
        if (next == nullptr) {
            // Which value such a form would take is unknown, so none after it can be
            // matched to its form: the rest is copied as it stands.
            output.Put(format, strlen(format));
            break;
        }
        format = next;
    }
    va_end(remaining);
    out[output.length] = '\0';
    return output.fit;
}

bool FormatTextUnchecked(char* out, size_t size, const char* format, ...)
{
    va_list values;
    va_start(values, format);
    bool fit = FormatTextV(out, size, format, values);
    va_end(values);
    return fit;
}

int HighestInsertNumber(const char* message)
{
    int highest = 0;
    for (const char* p = message; *p != '\0'; ++p) {
        if (*p != '%')
            continue;
        if (!IsAsciiDigit(p[1])) {
            if (p[1] != '\0')
                ++p;  // "%%", "%n", "%!" and the like are escapes, not inserts
            continue;
        }
        int number = 0;
        while (IsAsciiDigit(p[1]) && number < 100)
            number = number * 10 + (*++p - '0');
        if (number > highest)
            highest = number;
    }
    return highest;
}

void ComposeTraceRecord(char* record, const char* timeText, unsigned line, const char* file,
                        const char* message)
{
    char body[kTracePieceSize];
    FORMAT_TEXT(body, sizeof body, "%s:%u %s", file, line, message);
    FORMAT_TEXT(record, 2 * kTracePieceSize, "%s %s", timeText, body);
}
