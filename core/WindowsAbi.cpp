// Compile-time checks of the 32-bit structure sizes the agent hands to Windows.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#if defined(_WIN32) && !defined(_WIN64)
// The product is 32-bit; these are the sizes its calls were written against.
static_assert(sizeof(STARTUPINFOA) == 68, "STARTUPINFOA");
static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA");
static_assert(sizeof(OSVERSIONINFOEXA) == 156, "OSVERSIONINFOEXA");
static_assert(sizeof(IP_ADAPTER_INFO) == 640, "IP_ADAPTER_INFO");
static_assert(sizeof(MEMORYSTATUS) == 32, "MEMORYSTATUS");
static_assert(sizeof(MEMORYSTATUSEX) == 64, "MEMORYSTATUSEX");
#endif
