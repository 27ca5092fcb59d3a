// SPNEGO tokens as a browser or WinHTTP makes them, for the benchmark's clients and loops.
#pragma once

#include <string>

// A new token for HTTP@host from the ticket cache KRB5CCNAME names, each with an authenticator of
// its own (what the replay cache tells apart); empty when none was made.
std::string spnego_token(const std::string& host);
