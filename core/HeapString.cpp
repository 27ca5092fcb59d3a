// The agent's one string type: counted 8-bit text on the process heap.
#include "core/HeapString.h"

#include <string.h>

#include "core/Heap.h"

char kEmptyText[1] = {0};

HeapString::HeapString() : notFound(-1), text(kEmptyText), length(0) {}

HeapString::HeapString(const char* source) : HeapString()
{
    AssignText(source);
}

void HeapString::Release()
{
    if (text != kEmptyText)
        HeapRelease(text);
    text = kEmptyText;
}

// The new text is copied before the old buffer goes, so that a string can be given a
// piece of itself (a substring into its own source).
void HeapString::Assign(const char* source, uint32_t count)
{
    char* buffer = nullptr;
    if (count != 0) {
        buffer = static_cast<char*>(HeapAllocate(size_t(count) + 1));
        if (buffer != nullptr) {
            memcpy(buffer, source, count);
            buffer[count] = '\0';
        }
    }
    Release();
    length = 0;
    if (buffer == nullptr)
        return;
    text = buffer;
    length = count;
}

HeapString& HeapString::AssignText(const char* source)
{
    Assign(source, uint32_t(strlen(source)));
    return *this;
}

void HeapString::Append(const char* source, uint32_t count)
{
    if (count == 0)
        return;
    char* buffer = static_cast<char*>(HeapAllocate(size_t(length) + count + 1));
    if (buffer == nullptr) {
        Release();
        length = 0;
        return;
    }
    if (length != 0)
        memcpy(buffer, text, length);
    memcpy(buffer + length, source, count);
    buffer[length + count] = '\0';
    Release();
    text = buffer;
    length += count;
}

HeapString& HeapString::AppendText(const char* source)
{
    Append(source, uint32_t(strlen(source)));
    return *this;
}

HeapString& HeapString::Substring(HeapString& target, uint32_t count, uint32_t position) const
{
    if (position > length) {
        target.Assign(kEmptyText, 0);
        return target;
    }
    if (count > length - position)
        count = length - position;
    target.Assign(text + position, count);
    return target;
}

int32_t HeapString::FindChar(uint32_t position, char c) const
{
    if (position >= length)
        return notFound;
    const char* found = strchr(text + position, c);
    if (found == nullptr || c == '\0')
        return notFound;
    return int32_t(found - text);
}

bool HeapString::Differs(const HeapString& other) const
{
    return length != other.length || memcmp(text, other.text, length) != 0;
}

char AsciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool IsAsciiDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool SameAsciiTextIgnoringCase(const char* a, const char* b)
{
    for (; *a != '\0' && AsciiLower(*a) == AsciiLower(*b); ++a, ++b) {
    }
    return AsciiLower(*a) == AsciiLower(*b);
}
