// Test tool: small Windows-side actions the end-to-end tests need.
//
//   wintool window TITLE   a hidden top-level window with that title; exits 0 when destroyed
//   wintool signal NAME    sets the named event (creating it if need be) and exits
//   wintool hold NAME      holds a mutex of that name until it is ended
#include <windows.h>

#include <stdio.h>
#include <string.h>

static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

static int RunWindow(const char* title)
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "WintoolWindow";
    RegisterClassA(&windowClass);
    if (CreateWindowA("WintoolWindow", title, WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                      windowClass.hInstance, nullptr) == nullptr)
        return 2;
    puts("ready");
    fflush(stdout);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0)
        DispatchMessageA(&message);
    return 0;
}

static int Signal(const char* name)
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, name);
    return event != nullptr && SetEvent(event) ? 0 : 2;  // the handle closes when the program ends
}

static int Hold(const char* name)
{
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    if (mutex == nullptr)
        return 2;
    puts("ready");
    fflush(stdout);
    Sleep(INFINITE);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "window") == 0)
        return RunWindow(argv[2]);
    if (argc == 3 && strcmp(argv[1], "signal") == 0)
        return Signal(argv[2]);
    if (argc == 3 && strcmp(argv[1], "hold") == 0)
        return Hold(argv[2]);
    fputs("usage: wintool window TITLE | signal NAME | hold NAME\n", stderr);
    return 2;
}
