// How the agent tells people what happened: message boxes, debugger output, trace file.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "core/TextFormat.h"

// Name that every trace record of the agent carries.
constexpr const char kTraceSource[] = "TwPellamor";
constexpr const char kTraceFilePath[] = "c:\\pellamor_trace.txt";
constexpr const char kUnformattableMessage[] = "couldn't format message";

// One insert value for a Windows message-insert text ("%1!d!", "%1!s!").
struct Insert {
    DWORD_PTR value;
    Insert(int v) : value(DWORD_PTR(intptr_t(v))) {}
    Insert(unsigned v) : value(DWORD_PTR(v)) {}
    Insert(unsigned long v) : value(DWORD_PTR(v)) {}
    Insert(const char* v) : value(reinterpret_cast<DWORD_PTR>(v)) {}
};

// Expands the inserts; the result is freed with LocalFree. When the text cannot be
// formatted (bad syntax, or it refers to more inserts than were given) the result
// is a copy of "couldn't format message".
char* FormatInserts(const char* message, const Insert* inserts, int count);

// The single place where the agent opens a message box: no owner window, one OK button.
int ShowMessageBox(const char* caption, const char* text);

int ShowMessageWithInserts(const char* caption, const char* message, const Insert* inserts, int count);
void DebugPrintWithInserts(const char* message, const Insert* inserts, int count);

template <typename... Values>
int ShowMessage(const char* caption, const char* message, Values... values)
{
    const Insert inserts[] = {Insert(values)..., Insert(0)};
    return ShowMessageWithInserts(caption, message, inserts, int(sizeof...(Values)));
}

template <typename... Values>
void DebugPrint(const char* message, Values... values)
{
    const Insert inserts[] = {Insert(values)..., Insert(0)};
    DebugPrintWithInserts(message, inserts, int(sizeof...(Values)));
}

// The local time of `seconds` since 1970 in the classic 24-character form of ctime
// ("Sun Dec 06 03:11:40 2026"); empty when it cannot be converted.
constexpr size_t kTraceTimeSize = 32;
void ComposeTraceTime(int64_t seconds, char (&text)[kTraceTimeSize]);

// Appends one time-stamped record to the trace file; a file that cannot be opened
// drops the record. Callers test m_trace first.
void TraceLine(unsigned line, const char* file, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

#define TRACE_LINE(format, ...) (CHECK_TEXT_FORMAT(format), TraceLine(__LINE__, kTraceSource, format, __VA_ARGS__))

#ifdef PELLAMOR_TESTING
// Test builds only: boxes go to this function instead of the screen.
using MessageBoxHook = int (*)(const char* caption, const char* text);
void SetMessageBoxHook(MessageBoxHook hook);
#endif
