// The address list at the end of the logon request, rewritten when the adapters change.
#pragma once

#include "core/HeapString.h"

// Pure part of the refresh: when `current` differs from the list that ends `request`
// (the text after its last "&ip=", as long as `ipList`), rewrites both and returns true.
bool ReplaceAddressList(HeapString& request, HeapString& ipList, const HeapString& current);
