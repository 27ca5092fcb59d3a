// Native stand-ins for the few Windows types and calls the agent's pure pieces use.
#pragma once

#include <stdint.h>
#include <stdlib.h>

typedef void* HANDLE;
typedef uint32_t DWORD;
typedef uintptr_t UINT_PTR;
struct CRITICAL_SECTION {
    void* unused;
};
constexpr uint8_t VER_NT_WORKSTATION = 1;

// The heap is the C library's, so that the sanitizer watches every HeapString buffer.
inline HANDLE GetProcessHeap() { return nullptr; }
inline void* HeapAlloc(HANDLE, DWORD, size_t n) { return malloc(n); }
inline int HeapFree(HANDLE, DWORD, void* p) { free(p); return 1; }
