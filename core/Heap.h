// Buffers on the process heap for data that is not a HeapString.
#pragma once

#include <stddef.h>

// Returns n bytes from the process heap, or null when the heap is exhausted.
void* HeapAllocate(size_t n);

// Returns a buffer from HeapAllocate to the heap; null is ignored.
void HeapRelease(void* buffer);

#ifdef PELLAMOR_TESTING
// Test builds only: the allocation after `successes` more successful ones fails
// (and every later one too, until the injection is switched off with -1).
void InjectAllocationFailure(long successes);
#endif
