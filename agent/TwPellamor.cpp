// The agent's entry point, its single-instance rule and its hidden control window.
#include <winsock2.h>
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "agent/CommandLine.h"
#include "agent/CopyAndRelaunch.h"
#include "core/AgentState.h"
#include "core/Reporting.h"
#include "core/ScopedWin.h"
#include "messaging/AddressWatch.h"
#include "messaging/TimerLoop.h"
#include "messaging/Workers.h"

static const char kWindowClass[] = "PELLAMOR";
static const char kWindowTitle[] = "Pellamor";
static const UINT kRearmTimerMessage = WM_USER + 16;
static const UINT_PTR kWindowTimerId = 1;
static const DWORD kSingleSendLimit = 100000;  // a one-shot run never outlives a hung send by more
// Windows takes a program that has not answered the end of the session within about 5 s for
// a hung one and says so, and a logout run waits for the resident's answer as long; with their
// exchanges cut off, the workers end within moments.
static const DWORD kStopLimit = 1500;
static const UINT kResidentAnswerLimit = 5000;  // a hung window must not keep a logout from going out
// The resident has stopped its workers before it answers; what is left is its exit.
static const DWORD kResidentExitLimit = 5000;

// Every resident has our class as well as our title; a folder window called "Pellamor"
// has only the title.
static bool IsResidentWindow(HWND window, const char* title)
{
    if (strcmp(title, kWindowTitle) != 0)
        return false;
    char className[64] = "";
    return GetClassNameA(window, className, sizeof className) != 0 && strcmp(className, kWindowClass) == 0;
}

// The resident's process is opened before its window is told to go, so that its identifier
// cannot name another process by then. The logout goes out only once that process is gone,
// so that nothing the resident still had in flight can reach the server after it.
static void EndResident(HWND window)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    AutoCloseHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    DWORD_PTR answer = 0;
    bool answered =
        SendMessageTimeoutA(window, WM_DESTROY, 0, 0, SMTO_ABORTIFHUNG, kResidentAnswerLimit, &answer) != 0;
    if (answered && process.handle != nullptr)
        WaitForSingleObject(process.handle, kResidentExitLimit);
}

static BOOL CALLBACK CloseIfResident(HWND window, LPARAM)
{
    char title[1024] = "";
    if (GetWindowTextA(window, title, sizeof title) == 0)
        return TRUE;
    DebugPrint("Window Name: %1!s!\r\n", static_cast<const char*>(title));
    if (IsResidentWindow(window, title))
        EndResident(window);
    return TRUE;
}

// Ends the resident instance of this session, if there is one, by destroying its window.
// Every window of our class and title is tried: one that does not answer in time is left
// alone, and must not hide the resident behind it; the logout goes out all the same.
void CloseRunningInstance()
{
    EnumWindows(CloseIfResident, 0);
}

static void ArmWindowTimer(HWND window)
{
    g_agent.m_timerId = SetTimer(window, kWindowTimerId, g_agent.m_persistentTime, nullptr);
}

// A run whose sender could not start has sent nothing: it ends as a failure.
static bool g_senderNotStarted = false;

// False when the sending worker cannot be started; the window is then not made.
static bool StartSending(HWND window)
{
    if (g_agent.m_persistent) {
        ArmWindowTimer(window);
        // Signalled, so that the first login goes out at once; an event of that name that
        // already existed keeps its own state unless it is set here.
        HANDLE timerEvent = CreateEventA(nullptr, TRUE, TRUE, kTimerEventName);
        if (timerEvent != nullptr)
            SetEvent(timerEvent);
        g_agent.m_eventHandle = timerEvent;
    }
    g_agent.m_timerThread = StartWorker(TimerLoop);
    if (g_agent.m_timerThread == nullptr) {
        g_senderNotStarted = true;
        if (!g_agent.m_quiet)
            ShowMessage("Note", "Cannot start the sending thread. Error: %1!d!", unsigned(GetLastError()));
        return false;
    }
    return true;
}

// A one-shot run waits for its send with its window answering: a send that hangs must neither
// make the window look hung nor keep a logout run or the end of the session waiting for it.
// Returns once the send is over or cut off, or once the window has ended the run (WM_QUIT; the
// sender is then stopped and its handle closed already).
static void WaitForSingleSend()
{
    const HANDLE sender = g_agent.m_timerThread;
    const DWORD start = GetTickCount();
    for (;;) {
        DWORD elapsed = GetTickCount() - start;
        DWORD left = elapsed < kSingleSendLimit ? kSingleSendLimit - elapsed : 0;
        if (MsgWaitForMultipleObjects(1, &sender, FALSE, left, QS_ALLINPUT) != WAIT_OBJECT_0 + 1)
            break;
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT)
                return;
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    if (WaitForSingleObject(sender, 0) == WAIT_TIMEOUT)
        TerminateThread(sender, 0);
    CloseHandle(sender);
    g_agent.m_timerThread = nullptr;
}

// The session ends, an installer (through the Restart Manager) asks the program to close,
// or a logout run destroys the window: either way this instance is over, and its
// single-instance marker goes with it. The workers stop first, so that no login of this
// instance is still under way once it has answered.
static void EndInstance(HWND window)
{
    StopWorkers(kStopLimit);
    KillTimer(window, g_agent.m_timerId);
    PostQuitMessage(0);
}

LRESULT CALLBACK ControlWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        return StartSending(window) ? 0 : -1;
    case WM_DESTROY:
        EndInstance(window);
        return 0;
    case WM_QUERYENDSESSION:
        return 1;  // another program may still cancel the logoff: stop nothing yet
    case WM_ENDSESSION:
        if (wParam)
            EndInstance(window);
        return 0;
    case WM_TIMER:
        return 0;  // the sending worker keeps its own time
    case WM_POWERBROADCAST:
        // After a sleep the server may have dropped this machine's entry long ago, and the
        // machine may have another address: log in now rather than when the interval is up.
        if (wParam == PBT_APMRESUMEAUTOMATIC && g_agent.m_eventHandle != nullptr)
            SetEvent(g_agent.m_eventHandle);
        return TRUE;
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
        CopyOutcome copy = CopyAndRelaunch();
        if (copy == CopyOutcome::Launched)
            return 1;
        // With no folder to copy into, the logons still go out: from here, as a plain run.
        g_agent.m_copy = 0;
        if (copy == CopyOutcome::Failed) {
            // The program's old name: the text stays as people have always seen it.
            if (!g_agent.m_quiet)
                ShowMessageBox("Note", "Cannot copy and/or start TwPellamor.exe");
            return 0;
        }
    }
    g_agent.m_stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!g_agent.m_copy && g_agent.m_persistent && g_agent.m_dhcp)
        g_agent.m_dhcpThread = StartWorker(AddressWatchLoop);
    int exitCode = ClaimSingleInstance();
    if (exitCode >= 0)
        return exitCode;
    const HWND window = CreateControlWindow(instance);
    // A one-shot send, once started, is what the run is for: it goes on even should the window be
    // refused after WM_CREATE, as Wine refuses it under a double-byte code page with no display.
    if (!g_agent.m_persistent && g_agent.m_timerThread != nullptr) {
        WaitForSingleSend();
        WSACleanup();
        return 0;
    }
    if (window == nullptr)
        return g_senderNotStarted ? 1 : 0;
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    WSACleanup();
    return int(message.wParam);
}

// msvcrt's own splitting of the command line into __argc and __argv, which the C runtime's
// start-up calls before WinMain.
struct StartupInfo {
    int newMode;
};
extern "C" int __cdecl __getmainargs(int* argc, char*** argv, char*** environment, int expandWildcards,
                                     StartupInfo* info);
extern "C" void (*__CTOR_LIST__[])();  // -1, the static constructors, then a null: the linker's list

// The program starts here rather than in the C runtime's start-up, which brings its
// pseudo-relocations, thread-local callbacks, error handlers and their imports, a fifth of the
// image, for nothing the agent uses. msvcrt.dll sets itself up when it is loaded; what the
// start-up would add before WinMain is the static constructors and the arguments, done here as it
// does them. The loader leaves a 32-bit stack aligned to 4 bytes only, so it is aligned here.
extern "C" __attribute__((force_align_arg_pointer, noreturn)) void AgentEntry() __asm__("AgentEntry");
extern "C" void AgentEntry()
{
    for (void (**construct)() = __CTOR_LIST__ + 1; *construct != nullptr; ++construct)
        (*construct)();
    int argc = 0;
    char** argv = nullptr;
    char** environment = nullptr;
    StartupInfo info = {0};
    // Whether it reports failure through its result has changed between msvcrt's versions; through
    // argv, left null, it has not. WinMain reads the arguments from __argc and __argv, not from
    // its command-line parameter.
    __getmainargs(&argc, &argv, &environment, 0, &info);
    char noCommandLine[] = "";
    ExitProcess(UINT(argv != nullptr ? WinMain(GetModuleHandleA(nullptr), nullptr, noCommandLine, SW_SHOWDEFAULT) : 1));
}
