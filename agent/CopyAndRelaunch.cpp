// Installs the program on the client machine and hands over to the local copy.
#include "agent/CopyAndRelaunch.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "core/AgentState.h"
#include "core/Reporting.h"
#include "core/ScopedWin.h"
#include "core/TextFormat.h"

static const char* const kFolderVariables[] = {"TEMP", "TMP", "HOME", "windir"};

bool ComposeCopyPath(const char* folder, char* path, size_t size)
{
    return FORMAT_TEXT(path, size, "%s\\%s", folder, kCopyFileName);
}

static void AppendOption(HeapString& line, bool given, const char* option)
{
    if (given)
        line.AppendText(" ").AppendText(option);
}

// The copy does what this run was asked to do: the report, the trace and the address watcher
// come along, and so does the report's file name.
static void ComposeCopyCommandLine(const char* destination, HeapString& line)
{
    // Quoted, because the temporary folder often has blanks in its name
    // ("Documents and Settings"); unquoted, the copy would lose its URL.
    line.AssignText("\"").AppendText(destination).AppendText("\" ").AppendText(g_agent.m_url.text);
    AppendOption(line, !g_agent.m_quiet, "/VERBOSE");
    AppendOption(line, g_agent.m_dhcp, "/dhcp");
    AppendOption(line, g_agent.m_trace, "/t");
    AppendOption(line, g_agent.m_writeLog, "/d");
    if (g_agent.m_logFileName != nullptr)
        line.AppendText(" /filename \"").AppendText(g_agent.m_logFileName).AppendText("\"");
}

// An old copy may be read-only (the copy takes its source's attributes), and a read-only file
// is never replaced; the new copy must not stay read-only either, for the next logon's sake.
static void ClearReadOnly(const char* path)
{
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        SetFileAttributesA(path, attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
}

static void ShowNote(const char* text)
{
    if (!g_agent.m_quiet)
        ShowMessageBox("Note", text);
}

static HANDLE OpenForComparison(const char* path)
{
    return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

// A disk file gives every read in full up to its end, so both give equal pieces while they agree.
static bool SameContents(const char* first, const char* second)
{
    AutoCloseHandle one(OpenForComparison(first));
    AutoCloseHandle other(OpenForComparison(second));
    if (one.handle == INVALID_HANDLE_VALUE || other.handle == INVALID_HANDLE_VALUE)
        return false;
    char oneBytes[2048];
    char otherBytes[2048];
    for (;;) {
        DWORD oneCount = 0;
        DWORD otherCount = 0;
        if (!ReadFile(one.handle, oneBytes, sizeof oneBytes, &oneCount, nullptr) ||
            !ReadFile(other.handle, otherBytes, sizeof otherBytes, &otherCount, nullptr))
            return false;
        if (oneCount != otherCount || memcmp(oneBytes, otherBytes, oneCount) != 0)
            return false;
        if (oneCount == 0)
            return true;
    }
}

// An earlier copy that is in use (the resident of an earlier logon, say) cannot be replaced;
// when it is this very program, it can be run as it is.
static bool InUseAndSame(const char* modulePath, const char* destination)
{
    return GetLastError() == ERROR_SHARING_VIOLATION && SameContents(modulePath, destination);
}

static bool StartCopy(const char* destination)
{
    HeapString commandLine;
    ComposeCopyCommandLine(destination, commandLine);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    BOOL started = CreateProcessA(destination, commandLine.text, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                  &startup, &process);
    commandLine.Release();
    if (!started)
        return false;
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return true;
}

CopyOutcome CopyAndRelaunch()
{
    HMODULE module = GetModuleHandleA(nullptr);
    if (module == nullptr) {
        if (!g_agent.m_quiet) {
            char text[96];
            FORMAT_TEXT(text, sizeof text, "Cannot Get Module Handle of the current .exeERR:%lu", GetLastError());
            ShowMessageBox("Note", text);
        }
        return CopyOutcome::Failed;
    }
    char modulePath[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(module, modulePath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {  // a path that fills the buffer was cut short
        ShowNote("Cannot Get File Name of the current .exe");
        return CopyOutcome::Failed;
    }
    for (const char* variable : kFolderVariables) {
        const char* folder = getenv(variable);
        char destination[MAX_PATH] = {};
        if (folder == nullptr || !ComposeCopyPath(folder, destination, sizeof destination))
            continue;
        ClearReadOnly(destination);
        if (!CopyFileA(modulePath, destination, FALSE) && !InUseAndSame(modulePath, destination))
            continue;
        ClearReadOnly(destination);
        if (StartCopy(destination))
            return CopyOutcome::Launched;
        ShowNote("Cannot Create Process");
        return CopyOutcome::Failed;
    }
    ShowNote("Cannot Copy File");
    return CopyOutcome::NoFolder;
}
