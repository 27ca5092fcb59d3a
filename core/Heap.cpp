// Buffers on the process heap for data that is not a HeapString.
#include "core/Heap.h"

#include <windows.h>

#ifdef PELLAMOR_TESTING
static long g_allocationsBeforeFailure = -1;

void InjectAllocationFailure(long successes)
{
    g_allocationsBeforeFailure = successes;
}

static bool AllocationShouldFail()
{
    if (g_allocationsBeforeFailure < 0)
        return false;
    if (g_allocationsBeforeFailure == 0)
        return true;
    --g_allocationsBeforeFailure;
    return false;
}
#else
static bool AllocationShouldFail()
{
    return false;
}
#endif

void* HeapAllocate(size_t n)
{
    if (AllocationShouldFail())
        return nullptr;
    return HeapAlloc(GetProcessHeap(), 0, n);
}

void HeapRelease(void* buffer)
{
    if (buffer != nullptr)
        HeapFree(GetProcessHeap(), 0, buffer);
}
