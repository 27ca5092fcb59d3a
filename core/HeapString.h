// The agent's one string type: counted 8-bit text on the process heap.
#pragma once

#include <stdint.h>

// Holds exactly `length` characters and a terminating zero, so `text` can go
// straight to any call that wants a terminated string. There is no spare
// capacity and no copy operation: duplicate with Assign(other.text, other.length).
// Buffers are given back explicitly with Release, never by a destructor, so
// that the process-wide strings stay valid while worker threads still run.
// Out of memory never aborts: the string simply becomes empty.
struct HeapString {
    int32_t notFound;
    char* text;
    uint32_t length;

    HeapString();
    explicit HeapString(const char* source);
    HeapString(const HeapString&) = delete;
    HeapString& operator=(const HeapString&) = delete;

    void Assign(const char* source, uint32_t count);
    HeapString& AssignText(const char* source);
    void Append(const char* source, uint32_t count);
    HeapString& AppendText(const char* source);
    HeapString& Substring(HeapString& target, uint32_t count, uint32_t position) const;
    int32_t FindChar(uint32_t position, char c) const;
    void Release();
    bool Differs(const HeapString& other) const;
};

// The shared text of every empty HeapString; never freed, never written.
extern char kEmptyText[1];

// The lower-case form of an ASCII capital; any other character as it is.
char AsciiLower(char c);
// True for the ASCII digits 0 to 9 alone, whatever the locale.
bool IsAsciiDigit(char c);

// True when both texts are equal with ASCII letters compared without regard to case.
// Options and protocol names are ASCII: the user's locale must not change how they compare
// (under a Turkish locale "I" and "i" are not each other's capitals).
bool SameAsciiTextIgnoringCase(const char* a, const char* b);

// Releases a local HeapString's buffer when it goes out of scope.
class AutoReleaseString {
public:
    explicit AutoReleaseString(HeapString& s) : m_s(s) {}
    ~AutoReleaseString() { m_s.Release(); }
    AutoReleaseString(const AutoReleaseString&) = delete;
    AutoReleaseString& operator=(const AutoReleaseString&) = delete;

private:
    HeapString& m_s;
};
