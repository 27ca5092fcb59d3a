// Test tool: small Windows-side actions the end-to-end tests need.
//
//   wintool window TITLE [CLASS]  a hidden top-level window; exits 0 when destroyed
//   wintool hung TITLE CLASS      such a window, whose thread never reads its messages
//   wintool linger TITLE CLASS    such a window, whose program takes 3 s to end once it is
//                                 destroyed and prints "ended" just before it does
//   wintool signal NAME           sets the named event (creating it if need be) and exits
//   wintool hold NAME             holds a mutex of that name until it is ended
//   wintool event NAME            holds an unsignalled manual-reset event of that name
//   wintool open PATH             holds the file open for reading, shared for reading only, as
//                                 Windows holds the file of a running program
//   wintool send MESSAGE WPARAM [LPARAM]  sends a message to the agent's window, prints the result
//   wintool exists NAME           prints 1 when an event of that name can be opened, else 0
//   wintool memory                prints the physical memory in bytes, as this build's system call gives it
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

static void Ready()
{
    puts("ready");
    fflush(stdout);
}

enum class WindowKind { plain, hung, lingering };

static int RunWindow(const char* title, const char* className, WindowKind kind)
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = className;
    RegisterClassA(&windowClass);
    if (CreateWindowA(className, title, WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                      windowClass.hInstance, nullptr) == nullptr)
        return 2;
    Ready();
    if (kind == WindowKind::hung)
        Sleep(INFINITE);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0)
        DispatchMessageA(&message);
    if (kind == WindowKind::lingering) {
        Sleep(3000);
        puts("ended");
        fflush(stdout);
    }
    return 0;
}

static int Signal(const char* name)
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, name);
    return event != nullptr && SetEvent(event) ? 0 : 2;  // the handle closes when the program ends
}

static int Hold(HANDLE object)
{
    if (object == nullptr)
        return 2;
    Ready();
    Sleep(INFINITE);
    return 0;
}

static HANDLE OpenSharedForReading(const char* path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    return file != INVALID_HANDLE_VALUE ? file : nullptr;
}

static int Send(const char* message, const char* wParam, const char* lParam)
{
    HWND window = FindWindowA("PELLAMOR", "Pellamor");
    if (window == nullptr)
        return 2;
    printf("%ld\n", long(SendMessageA(window, UINT(atoi(message)), WPARAM(atoi(wParam)), LPARAM(atol(lParam)))));
    return 0;
}

static int Exists(const char* name)
{
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, name);
    printf("%d\n", event != nullptr ? 1 : 0);
    return 0;
}

static int Memory()
{
    MEMORYSTATUSEX status = {};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status))
        return 2;
    printf("%llu\n", static_cast<unsigned long long>(status.ullTotalPhys));
    return 0;
}

int main(int argc, char** argv)
{
    if ((argc == 3 || argc == 4) && strcmp(argv[1], "window") == 0)
        return RunWindow(argv[2], argc == 4 ? argv[3] : "WintoolWindow", WindowKind::plain);
    if (argc == 4 && strcmp(argv[1], "hung") == 0)
        return RunWindow(argv[2], argv[3], WindowKind::hung);
    if (argc == 4 && strcmp(argv[1], "linger") == 0)
        return RunWindow(argv[2], argv[3], WindowKind::lingering);
    if (argc == 3 && strcmp(argv[1], "signal") == 0)
        return Signal(argv[2]);
    if (argc == 3 && strcmp(argv[1], "hold") == 0)
        return Hold(CreateMutexA(nullptr, FALSE, argv[2]));
    if (argc == 3 && strcmp(argv[1], "event") == 0)
        return Hold(CreateEventA(nullptr, TRUE, FALSE, argv[2]));
    if (argc == 3 && strcmp(argv[1], "open") == 0)
        return Hold(OpenSharedForReading(argv[2]));
    if ((argc == 4 || argc == 5) && strcmp(argv[1], "send") == 0)
        return Send(argv[2], argv[3], argc == 5 ? argv[4] : "0");
    if (argc == 3 && strcmp(argv[1], "exists") == 0)
        return Exists(argv[2]);
    if (argc == 2 && strcmp(argv[1], "memory") == 0)
        return Memory();
    fputs("usage: wintool window TITLE [CLASS] | hung TITLE CLASS | linger TITLE CLASS | signal NAME | hold NAME | event NAME"
          " | open PATH | send MESSAGE WPARAM [LPARAM] | exists NAME | memory\n", stderr);
    return 2;
}
