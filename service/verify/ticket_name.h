// The service name a Kerberos ticket carries in the clear, read from a client's token.
#pragma once

#include <string>

#include "common/text.h"

// The server principal a token's Kerberos ticket names (HTTP/web.example.com@EXAMPLE.COM), read
// from the AP-REQ in a raw Kerberos token or in SPNEGO's mechToken. The name travels in the clear
// and no checksum covers it: it tells which service an honest client meant, not which key the
// ticket was made with.
struct TicketName {
  // None: the token carries no AP-REQ (a later SPNEGO round); Unreadable: it carries one that
  // cannot be read as an AP-REQ.
  enum class Kind { None, Named, Unreadable };
  Kind kind = Kind::None;
  std::string principal;  // when named
};
TicketName ticket_service(const Bytes& token);
