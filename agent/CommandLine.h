// Reads the command line and the machine's facts, and composes the logon request.
#pragma once

#include <windows.h>

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

// The domain part of a SAM-compatible name ("DOMAIN\user") in the given code page; false
// without a backslash. It steps by characters: in a double-byte code page such as 932 the
// second byte of a character may be 0x5C, the backslash's code.
bool DomainFromSamName(const char* samName, UINT codePage, HeapString& domain);
