// How the agent tells people what happened: message boxes, debugger output, trace file.
#include "core/Reporting.h"

#include <stdarg.h>
#include <string.h>
#include <time.h>

#include "core/ScopedWin.h"

static char* CopyToLocalMemory(const char* text)
{
    size_t size = strlen(text) + 1;
    char* copy = static_cast<char*>(LocalAlloc(LMEM_FIXED, size));
    if (copy != nullptr)
        memcpy(copy, text, size);
    return copy;
}

char* FormatInserts(const char* message, const Insert* inserts, int count)
{
    // FormatMessageA cannot know how many inserts it was given, so a text that asks
    // for more than there are would read past the array; refuse it instead.
    if (HighestInsertNumber(message) > count)
        return CopyToLocalMemory(kUnformattableMessage);
    char* formatted = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY,
        message, 0, 0, reinterpret_cast<LPSTR>(&formatted), 0,
        reinterpret_cast<va_list*>(const_cast<Insert*>(inserts)));
    if (length == 0 || formatted == nullptr)
        return CopyToLocalMemory(kUnformattableMessage);
    return formatted;
}

#ifdef PELLAMOR_TESTING
static MessageBoxHook g_messageBoxHook = nullptr;

void SetMessageBoxHook(MessageBoxHook hook)
{
    g_messageBoxHook = hook;
}
#endif

int ShowMessageBox(const char* caption, const char* text)
{
#ifdef PELLAMOR_TESTING
    if (g_messageBoxHook != nullptr)
        return g_messageBoxHook(caption, text);
#endif
    return MessageBoxA(nullptr, text, caption, MB_OK);
}

int ShowMessageWithInserts(const char* caption, const char* message, const Insert* inserts, int count)
{
    AutoLocalFree text;
    text.text = FormatInserts(message, inserts, count);
    return ShowMessageBox(caption, text.text != nullptr ? text.text : kUnformattableMessage);
}

void DebugPrintWithInserts(const char* message, const Insert* inserts, int count)
{
    AutoLocalFree text;
    text.text = FormatInserts(message, inserts, count);
    OutputDebugStringA(text.text != nullptr ? text.text : kUnformattableMessage);
}

void ComposeTraceTime(int64_t seconds, char (&text)[kTraceTimeSize])
{
    // 64 bits: the 32-bit build's time_t ends in January 2038.
    __time64_t time = seconds;
    const char* classic = _ctime64(&time);
    text[0] = '\0';
    if (classic != nullptr)
        FORMAT_TEXT(text, sizeof text, "%.24s", classic);
}

void TraceLine(unsigned line, const char* file, const char* format, ...)
{
    char message[kTracePieceSize];
    va_list arguments;
    va_start(arguments, format);
    FormatTextV(message, sizeof message, format, arguments);
    va_end(arguments);

    char timeText[kTraceTimeSize];
    ComposeTraceTime(_time64(nullptr), timeText);
    char record[2 * kTracePieceSize];
    ComposeTraceRecord(record, timeText, line, file, message);

    // The bytes as a text-mode write has always put them in the file: each line feed as CR LF,
    // and the record's end "\r\n" as CR CR LF.
    char bytes[2 * sizeof record + 3];
    DWORD count = 0;
    for (const char* p = record; *p != '\0'; ++p) {
        if (*p == '\n')
            bytes[count++] = '\r';
        bytes[count++] = *p;
    }
    memcpy(bytes + count, "\r\r\n", 3);
    count += 3;
    // Opened for appending only and written in one call, the record goes to the end of the file
    // whole: records of other threads or of another instance never land on the same bytes.
    HANDLE traceFile = CreateFileA(kTraceFilePath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (traceFile == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(traceFile, bytes, count, &written, nullptr);
    CloseHandle(traceFile);
}
