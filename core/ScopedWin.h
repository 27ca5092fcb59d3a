// Small guards that give a Windows resource back when the block that took it ends.
// A function that holds several declares them in the order of acquisition, so that they are
// given back in the reverse order.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include "core/Heap.h"
#include "core/HeapString.h"

// Holds a critical section for the life of the block.
class ScopedCritSec {
public:
    explicit ScopedCritSec(CRITICAL_SECTION* cs) : m_cs(cs) { EnterCriticalSection(m_cs); }
    ~ScopedCritSec() { LeaveCriticalSection(m_cs); }
    ScopedCritSec(const ScopedCritSec&) = delete;
    ScopedCritSec& operator=(const ScopedCritSec&) = delete;

private:
    CRITICAL_SECTION* m_cs;
};

// Closes a registry key that was opened successfully.
class AutoCloseRegKey {
public:
    HKEY key = nullptr;
    AutoCloseRegKey() = default;
    ~AutoCloseRegKey()
    {
        if (key != nullptr)
            RegCloseKey(key);
    }
    AutoCloseRegKey(const AutoCloseRegKey&) = delete;
    AutoCloseRegKey& operator=(const AutoCloseRegKey&) = delete;
};

// Closes a kernel handle (file, process, thread, event) that was opened successfully; file
// openings give INVALID_HANDLE_VALUE, not null, when they fail.
class AutoCloseHandle {
public:
    HANDLE handle = nullptr;
    AutoCloseHandle() = default;
    explicit AutoCloseHandle(HANDLE opened) : handle(opened) {}
    ~AutoCloseHandle()
    {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
    AutoCloseHandle(const AutoCloseHandle&) = delete;
    AutoCloseHandle& operator=(const AutoCloseHandle&) = delete;
};

// Closes a WinHTTP session, connection or request handle that was opened successfully.
class AutoCloseInternet {
public:
    HINTERNET handle = nullptr;
    AutoCloseInternet() = default;
    ~AutoCloseInternet()
    {
        if (handle != nullptr)
            WinHttpCloseHandle(handle);
    }
    AutoCloseInternet(const AutoCloseInternet&) = delete;
    AutoCloseInternet& operator=(const AutoCloseInternet&) = delete;
};

// Gives a buffer from HeapAllocate back to the process heap.
template <typename T>
class AutoHeapBuffer {
public:
    T* buffer = nullptr;
    AutoHeapBuffer() = default;
    ~AutoHeapBuffer() { HeapRelease(buffer); }
    AutoHeapBuffer(const AutoHeapBuffer&) = delete;
    AutoHeapBuffer& operator=(const AutoHeapBuffer&) = delete;
};

// Frees a text that LocalAlloc (or FormatMessageA) made.
class AutoLocalFree {
public:
    char* text = nullptr;
    AutoLocalFree() = default;
    ~AutoLocalFree() { LocalFree(text); }
    AutoLocalFree(const AutoLocalFree&) = delete;
    AutoLocalFree& operator=(const AutoLocalFree&) = delete;
};
