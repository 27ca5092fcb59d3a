// The address list at the end of the logon request, rewritten when the adapters change.
#pragma once

#include "core/HeapString.h"

// Pure part of the refresh: when `current` differs from the list that ends `request`
// (the text after its last "&ip=", as long as `ipList`), rewrites both and returns true.
bool ReplaceAddressList(HeapString& request, HeapString& ipList, const HeapString& current);

// Adds one adapter's address to the comma-joined list. An adapter without IPv4 reports
// "0.0.0.0", which names no machine, and two adapters may share an address: neither says
// anything the server can use, so an empty text, one of 0.0.0.0/8 and an address already listed are
// left out.
void AppendAddress(HeapString& list, const char* address);
