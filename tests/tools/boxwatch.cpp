// Test tool: runs a program and reads every message box that appears while it runs.
//
//   boxwatch [--limit SECONDS] -- "PROGRAM ARGUMENTS..."
//
// Prints "BOX <caption>\t<text>" for each box (backslash, CR, LF and tab written as
// \\, \r, \n, \t), presses its OK button, and prints "EXIT <code>" when the program
// ends. The limit (default 60 s) only keeps a hung program from hanging the tests:
// it prints "LIMIT", ends the program and exits with 2.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <set>

static std::set<HWND> g_seen;  // a box stays on the screen a moment after its OK is pressed

static void PrintEscaped(const char* text)
{
    for (const char* p = text; *p != '\0'; ++p) {
        switch (*p) {
        case '\\': fputs("\\\\", stdout); break;
        case '\r': fputs("\\r", stdout); break;
        case '\n': fputs("\\n", stdout); break;
        case '\t': fputs("\\t", stdout); break;
        default: fputc(*p, stdout);
        }
    }
}

// Like GetWindowTextA, but a window whose thread does not answer cannot hang the watch.
static void ReadText(HWND window, char* text, int size)
{
    DWORD_PTR copied = 0;
    if (window == nullptr || !SendMessageTimeoutA(window, WM_GETTEXT, WPARAM(size), LPARAM(text),
                                                  SMTO_ABORTIFHUNG, 5000, &copied))
        text[0] = '\0';
}

static BOOL CALLBACK ReadBox(HWND window, LPARAM)
{
    char className[64] = "";
    GetClassNameA(window, className, sizeof className);
    if (strcmp(className, "#32770") != 0 || !IsWindowVisible(window) || !g_seen.insert(window).second)
        return TRUE;
    char caption[1024] = "";
    char text[8192] = "";
    ReadText(window, caption, sizeof caption);
    ReadText(GetDlgItem(window, 0xFFFF), text, sizeof text);
    fputs("BOX ", stdout);
    PrintEscaped(caption);
    fputc('\t', stdout);
    PrintEscaped(text);
    fputc('\n', stdout);
    fflush(stdout);
    PostMessageA(window, WM_COMMAND, IDOK, 0);
    return TRUE;
}

int main(int argc, char** argv)
{
    DWORD limitMs = 60000;
    if (argc > 2 && strcmp(argv[1], "--limit") == 0)
        limitMs = DWORD(atoi(argv[2])) * 1000;
    char* command = argc > 2 && strcmp(argv[argc - 2], "--") == 0 ? argv[argc - 1] : nullptr;
    if (command == nullptr) {
        fputs("usage: boxwatch [--limit SECONDS] -- \"PROGRAM ARGUMENTS...\"\n", stderr);
        return 2;
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        fprintf(stderr, "boxwatch: cannot start %s: error %lu\n", command, GetLastError());
        return 2;
    }
    CloseHandle(process.hThread);
    ULONGLONG deadline = GetTickCount64() + limitMs;
    while (WaitForSingleObject(process.hProcess, 50) == WAIT_TIMEOUT) {
        EnumWindows(ReadBox, 0);
        if (GetTickCount64() > deadline) {
            puts("LIMIT");
            TerminateProcess(process.hProcess, 2);
            CloseHandle(process.hProcess);
            return 2;
        }
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    printf("EXIT %lu\n", code);
    return 0;
}
