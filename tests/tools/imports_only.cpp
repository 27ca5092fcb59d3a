// A trivial Windows program that imports the same system DLLs as the agent and does nothing:
// set against it, the agent's start time shows the agent's own cost, not the loading of its DLLs.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <winhttp.h>
#define SECURITY_WIN32
#include <security.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    // One function of each DLL, taken by address so that the linker keeps every import.
    const void* volatile imports[] = {
        reinterpret_cast<const void*>(WinHttpCloseHandle), reinterpret_cast<const void*>(GetAdaptersInfo),
        reinterpret_cast<const void*>(WSAStartup),         reinterpret_cast<const void*>(GetUserNameExA),
        reinterpret_cast<const void*>(RegCloseKey),        reinterpret_cast<const void*>(MessageBoxA),
        reinterpret_cast<const void*>(CloseHandle),
    };
    return imports[0] == nullptr ? 1 : 0;
}
