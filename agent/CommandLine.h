// Reads the command line and the machine's facts, and composes the logon request.
#pragma once

#include <stdint.h>

#include "core/HeapString.h"

// Fills the settings of g_agent and composes m_request. Returns 1 when the agent
// may go on, 0 when it must stop (missing or unusable URL, help, no host name).
int32_t ParseCommandLine(int argc, char** argv);

// The machine's facts the request reports; each is a thin call into the system.
// Each returns false (and leaves its output alone) when the fact is not there.
bool ReadProviderDomain(HeapString& domain);
bool ReadUserNameDomain(HeapString& domain);
bool ReadNtlmSessionSecurity();
// The IPv4 addresses of a host name, dotted, joined by ","; empty when it does not resolve.
void ResolveHostAddresses(const char* hostName, HeapString& list);
