// One complete exchange with the server: send, answer the challenge, read the reply.
#pragma once

// Sends m_request to the server and, in persistent mode, adopts the interval the reply
// announces. Failures show a box unless quiet; nothing is returned. Callers hold no lock.
void SendLogonMessage();

// Closes the request handle of every exchange under way, so that each returns at once with a
// failed send. For the end of the session: m_shutDown is set first, and no exchange starts after.
void CutOffExchanges();
