// Benchmark helper: drives a resident agent's address-change seam and counts its handles.
//
//   soak-tool pulse NAME   sets the named event once for every line read from stdin
//   soak-tool handles      prints the number of handles the agent's process holds
#include <windows.h>

#include <stdio.h>
#include <string.h>

static int Pulse(const char* name)
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, name);
    if (event == nullptr)
        return 2;
    char line[64];
    while (fgets(line, sizeof line, stdin) != nullptr)
        SetEvent(event);
    CloseHandle(event);
    return 0;
}

// Wine answers a handle count only for the asking process; the system-wide handle table
// names every handle's owner.
struct HandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    PVOID object;
    ULONG access;
};
using QuerySystemInformation = LONG(WINAPI*)(ULONG kind, PVOID buffer, ULONG size, PULONG needed);

static long CountHandles(DWORD processId)
{
    auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    static ULONG table[1 << 20];
    if (query == nullptr || query(16 /* SystemHandleInformation */, table, sizeof table, nullptr) != 0)
        return -1;
    const HandleEntry* entries = reinterpret_cast<const HandleEntry*>(table + 2);  // after the count, aligned
    long count = 0;
    for (ULONG i = 0; i < table[0]; ++i)
        count += entries[i].ownerPid == processId;
    return count;
}

static int Handles()
{
    DWORD id = 0;
    HWND window = FindWindowA("PELLAMOR", "Pellamor");
    if (window == nullptr || GetWindowThreadProcessId(window, &id) == 0)
        return 2;
    printf("%ld\n", CountHandles(id));
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "pulse") == 0)
        return Pulse(argv[2]);
    if (argc == 2 && strcmp(argv[1], "handles") == 0)
        return Handles();
    fputs("usage: soak-tool pulse NAME | handles\n", stderr);
    return 2;
}
