// One complete exchange with the server: send, answer the challenge, read the reply.
#pragma once

// Sends m_request to the server and, in persistent mode, adopts the interval the reply
// announces. Failures show a box unless quiet; nothing is returned. Callers hold no lock.
void SendLogonMessage();
