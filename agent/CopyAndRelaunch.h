// Installs the program on the client machine and hands over to the local copy.
#pragma once

#include <stdint.h>

#include "core/HeapString.h"

constexpr const char kCopyFileName[] = "Pellamor.exe";

enum class CopyOutcome { Launched, Failed, NoFolder };

// Copies the running executable as "Pellamor.exe" into the first usable folder of TEMP, TMP,
// HOME and windir, and starts it with the same server URL and options. Launched when the copy
// was made and started; NoFolder when no folder took the copy; Failed otherwise. Either failure
// shows a box unless quiet.
CopyOutcome CopyAndRelaunch();

// "<folder>\Pellamor.exe" into a MAX_PATH buffer; false when it would not fit.
bool ComposeCopyPath(const char* folder, char* path, size_t size);
