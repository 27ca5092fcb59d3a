// One complete exchange with the server: send, answer the challenge, read the reply.
#pragma once

#include <windows.h>

// What one exchange came to.
struct ExchangeOutcome {
    bool failed = false;
    DWORD code = 0;               // the failure's code, as its box gives it: an error or a status
    DWORD retryAfterSeconds = 0;  // the seconds the server's Retry-After asked for; 0 when none
};

// Sends m_request to the server and, in persistent mode, adopts the interval the reply
// announces. A failure shows a box unless quiet and is traced with its code. Callers hold no lock.
// The exchange gives up once m_stopEvent is set (the end of the session).
ExchangeOutcome SendLogonMessage();
