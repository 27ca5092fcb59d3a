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

void ComposeCopyCommandLine(const char* destination, const char* url, bool quiet, HeapString& line)
{
    // Quoted, because the temporary folder often has blanks in its name
    // ("Documents and Settings"); unquoted, the copy would lose its URL.
    line.AssignText("\"").AppendText(destination).AppendText("\" ").AppendText(url).AppendText(" ");
    if (!quiet)
        line.AppendText("/VERBOSE");
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
    ComposeCopyCommandLine(destination, g_agent.m_url.text, g_agent.m_quiet != 0, commandLine);
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

int32_t CopyAndRelaunch()
{
    HMODULE module = GetModuleHandleA(nullptr);
    if (module == nullptr) {
        if (!g_agent.m_quiet) {
            char text[96];
            FORMAT_TEXT(text, sizeof text, "Cannot Get Module Handle of the current .exeERR:%lu", GetLastError());
            ShowMessageBox("Note", text);
        }
        return 0;
    }
    char modulePath[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(module, modulePath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {  // a path that fills the buffer was cut short
        ShowNote("Cannot Get File Name of the current .exe");
        return 0;
    }
    for (const char* variable : kFolderVariables) {
        const char* folder = getenv(variable);
        char destination[MAX_PATH] = {};
        if (folder == nullptr || !ComposeCopyPath(folder, destination, sizeof destination))
            continue;
        if (!CopyFileA(modulePath, destination, FALSE) && !InUseAndSame(modulePath, destination))
            continue;
        // The copy takes the source's attributes: a read-only one could not be replaced at the
        // next logon, and every later run would fail to copy.
        DWORD attributes = GetFileAttributesA(destination);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
            SetFileAttributesA(destination, attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
        if (StartCopy(destination))
            return 1;
        ShowNote("Cannot Create Process");
        return 0;
    }
    ShowNote("Cannot Copy File");
    return 0;
}
