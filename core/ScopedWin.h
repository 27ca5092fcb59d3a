// Small guards that give a Windows resource back when the block that took it ends.
#pragma once

#include <windows.h>

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
