// The agent's entry point, its single-instance rule and its hidden control window.
#include <winsock2.h>
#include <windows.h>

#include <process.h>
#include <stdlib.h>
#include <string.h>

#include "agent/CommandLine.h"
#include "agent/CopyAndRelaunch.h"
#include "core/AgentState.h"
#include "core/Reporting.h"
#include "messaging/AddressWatch.h"
#include "messaging/TimerLoop.h"

static const char kWindowClass[] = "PELLAMOR";
static const char kWindowTitle[] = "Pellamor";
static const UINT kRearmTimerMessage = WM_USER + 16;
static const UINT_PTR kWindowTimerId = 1;
static const DWORD kSingleSendLimit = 100000;  // a one-shot run never outlives a hung send by more
static const DWORD kSessionEndLimit = 10000;   // what the system allows at the end of a session
static const UINT kResidentAnswerLimit = 5000;  // a hung window must not keep a logout from going out

static HANDLE StartThread(unsigned(__stdcall* body)(void*))
{
    return reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, body, nullptr, 0, nullptr));
}

// Every resident has our class as well as our title; a folder window called "Pellamor"
// has only the title.
static bool IsResidentWindow(HWND window, const char* title)
{
    if (strcmp(title, kWindowTitle) != 0)
        return false;
    char className[64] = "";
    return GetClassNameA(window, className, sizeof className) != 0 && strcmp(className, kWindowClass) == 0;
}

static BOOL CALLBACK FindResidentWindow(HWND window, LPARAM found)
{
    char title[1024] = "";
    if (GetWindowTextA(window, title, sizeof title) == 0)
        return TRUE;
    DebugPrint("Window Name: %1!s!\r\n", static_cast<const char*>(title));
    if (!IsResidentWindow(window, title))
        return TRUE;
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
}

// Ends the resident instance of this session, if there is one, by destroying its window.
// A resident that does not answer in time is left alone: the logout goes out all the same.
void CloseRunningInstance()
{
    HWND resident = nullptr;
    EnumWindows(FindResidentWindow, reinterpret_cast<LPARAM>(&resident));
    DWORD_PTR answer = 0;
    if (resident != nullptr)
        SendMessageTimeoutA(resident, WM_DESTROY, 0, 0, SMTO_ABORTIFHUNG, kResidentAnswerLimit, &answer);
}

static void ArmWindowTimer(HWND window)
{
    g_agent.m_timerId = SetTimer(window, kWindowTimerId, g_agent.m_persistentTime, nullptr);
}

static void StartSending(HWND window)
{
    if (g_agent.m_persistent) {
        ArmWindowTimer(window);
        // Signalled, so that the first login goes out at once; an event of that name that
        // already existed keeps its own state unless it is set here.
        g_agent.m_eventHandle = CreateEventA(nullptr, TRUE, TRUE, kTimerEventName);
        if (g_agent.m_eventHandle != nullptr)
            SetEvent(g_agent.m_eventHandle);
    }
    g_agent.m_timerThread = StartThread(TimerLoop);
    if (g_agent.m_persistent)
        return;
    if (WaitForSingleObject(g_agent.m_timerThread, kSingleSendLimit) == WAIT_TIMEOUT)
        TerminateThread(g_agent.m_timerThread, 0);
    CloseHandle(g_agent.m_timerThread);
    g_agent.m_timerThread = nullptr;
    PostQuitMessage(0);
}

static void CloseIfOpen(HANDLE* handle)
{
    if (*handle != nullptr)
        CloseHandle(*handle);
    *handle = nullptr;
}

// The user's session is ending: stop the workers, forcibly if they do not stop in time.
static void StopWorkers(HWND window)
{
    g_agent.m_shutDown = 1;
    if (g_agent.m_eventHandle != nullptr)
        SetEvent(g_agent.m_eventHandle);
    HANDLE workers[2];
    DWORD count = 0;
    if (g_agent.m_timerThread != nullptr)
        workers[count++] = g_agent.m_timerThread;
    if (g_agent.m_dhcpThread != nullptr)
        workers[count++] = g_agent.m_dhcpThread;
    if (count != 0 && WaitForMultipleObjects(count, workers, FALSE, kSessionEndLimit) == WAIT_TIMEOUT) {
        if (g_agent.m_dhcp && g_agent.m_dhcpThread != nullptr)
            TerminateThread(g_agent.m_dhcpThread, 0);
        if (g_agent.m_timerThread != nullptr)
            TerminateThread(g_agent.m_timerThread, 0);
    }
    CloseIfOpen(&g_agent.m_timerThread);
    CloseIfOpen(&g_agent.m_dhcpThread);
    CloseIfOpen(&g_agent.m_eventHandle);
    KillTimer(window, g_agent.m_timerId);
    // The locks stay: a worker may still be running until the process ends.
}

LRESULT CALLBACK ControlWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        StartSending(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_QUERYENDSESSION:
        return 1;  // another program may still cancel the logoff: stop nothing yet
    case WM_ENDSESSION:
        if (wParam)
            StopWorkers(window);
        return 0;
    case WM_TIMER:
        return 0;  // the sending worker keeps its own time
    case kRearmTimerMessage:
        ArmWindowTimer(window);
        if (g_agent.m_trace)
            TRACE_LINE("%s", "TIMER UPDATED");
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

static HWND CreateControlWindow(HINSTANCE instance)
{
    WNDCLASSA windowClass;
    memset(&windowClass, 0, sizeof windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = ControlWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kWindowClass;
    RegisterClassA(&windowClass);
    return CreateWindowA(kWindowClass, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                         CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
}

// Returns -1 when this run may go on, or the exit code when it ends here.
static int ClaimSingleInstance()
{
    g_agent.m_runningEvent = CreateEventA(nullptr, TRUE, FALSE, kRunningEventName);
    if (g_agent.m_runningEvent == nullptr) {
        ShowMessage("Error", "Error creating non-duplication event. Error: %1!d!", unsigned(GetLastError()));
        return 0;
    }
    bool anotherIsResident = GetLastError() == ERROR_ALREADY_EXISTS;
    if (anotherIsResident && !g_agent.m_logout) {
        CloseHandle(g_agent.m_runningEvent);
        return 1;
    }
    if (g_agent.m_logout)
        CloseRunningInstance();
    return -1;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    WSADATA sockets;
    WSAStartup(0x0101, &sockets);
    InitializeAgentLocks();
    if (!ParseCommandLine(__argc, __argv))
        return 1;
    if (g_agent.m_trace)
        TRACE_LINE("%s", "\n\nSTART");
    if (g_agent.m_copy && g_agent.m_persistent) {
        if (CopyAndRelaunch())
            return 1;
        if (!g_agent.m_quiet)
            ShowMessageBox("Note", "Cannot copy and/or start TwPellamor.exe");
        return 0;
    }
    if (!g_agent.m_copy && g_agent.m_persistent && g_agent.m_dhcp)
        g_agent.m_dhcpThread = StartThread(AddressWatchLoop);
    int exitCode = ClaimSingleInstance();
    if (exitCode >= 0)
        return exitCode;
    if (CreateControlWindow(instance) == nullptr)
        return 0;
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    WSACleanup();
    return int(message.wParam);
}
