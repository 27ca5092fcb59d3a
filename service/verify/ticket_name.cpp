// The service name a Kerberos ticket carries in the clear, read from a client's token.
#include "verify/ticket_name.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace {

// One DER element: its tag and its content.
struct Der {
  std::uint8_t tag = 0;
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
};

// The element at `*at` within [.., end), and `*at` moved past it; false when malformed.
bool read_der(const std::uint8_t** at, const std::uint8_t* end, Der* out) {
  const std::uint8_t* p = *at;
  if (end - p < 2) return false;
  out->tag = *p++;
  std::size_t size = *p++;
  if (size & 0x80) {
    // Kerberos decodes BER: a length in long form, with leading zeros, is as good as a short one.
    std::size_t bytes = size & 0x7F;
    if (bytes == 0 || static_cast<std::size_t>(end - p) < bytes) return false;
    size = 0;
    for (; bytes > 0; --bytes) {
      if (size > (SIZE_MAX >> 8)) return false;
      size = (size << 8) | *p++;
    }
  }
  if (static_cast<std::size_t>(end - p) < size) return false;
  *out = Der{out->tag, p, size};
  *at = p + size;
  return true;
}

// The first element tagged `tag` among those within `outer`.
bool child(const Der& outer, std::uint8_t tag, Der* out) {
  const std::uint8_t* at = outer.data;
  const std::uint8_t* end = outer.data + outer.size;
  while (at < end) {
    if (!read_der(&at, end, out)) return false;
    if (out->tag == tag) return true;
  }
  return false;
}

// Descends through `path`, one tag per level: each element's first child with that tag.
bool descend(Der at, std::initializer_list<std::uint8_t> path, Der* out) {
  for (const std::uint8_t tag : path) {
    if (!child(at, tag, &at)) return false;
  }
  *out = at;
  return true;
}

std::string text_of(const Der& d) { return std::string(reinterpret_cast<const char*>(d.data), d.size); }

// The server principal of an AP-REQ (its DER) as "sname@realm"; empty when it is not one.
std::string ap_req_service(const std::uint8_t* data, std::size_t size) {
  const Der whole{0, data, size};
  Der ticket, realm, names;
  // AP-REQ [APPLICATION 14] SEQUENCE { ..., ticket [3] Ticket [APPLICATION 1] SEQUENCE {
  //   tkt-vno [0], realm [1] GeneralString, sname [2] PrincipalName { name-type [0], name-string [1] SEQUENCE OF } } }
  if (!descend(whole, {0x6e, 0x30, 0xa3, 0x61, 0x30}, &ticket)) return "";
  if (!descend(ticket, {0xa1, 0x1b}, &realm) || !descend(ticket, {0xa2, 0x30, 0xa1, 0x30}, &names)) return "";
  std::string out;
  const std::uint8_t* at = names.data;
  const std::uint8_t* end = names.data + names.size;
  Der part;
  while (at < end && read_der(&at, end, &part)) out += (out.empty() ? "" : "/") + text_of(part);
  return out.empty() ? "" : out + "@" + text_of(realm);
}

}  // namespace

TicketName ticket_service(const Bytes& token) {
  // The Kerberos mechanism's token (RFC 4121): its OID, MIT's or Microsoft's, then TOK_ID 01 00
  // and the AP-REQ, alone (a raw Kerberos token) or inside SPNEGO's mechToken.
  static const std::uint8_t kOid[] = {0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x12, 0x01, 0x02, 0x02};
  static const std::uint8_t kMicrosoftOid[] = {0x06, 0x09, 0x2a, 0x86, 0x48, 0x82, 0xf7, 0x12, 0x01, 0x02, 0x02};
  TicketName found;
  for (std::size_t i = 0; i + sizeof kOid + 2 < token.size(); ++i) {
    const std::uint8_t* at = token.data() + i;
    if ((std::memcmp(at, kOid, sizeof kOid) != 0 && std::memcmp(at, kMicrosoftOid, sizeof kOid) != 0) ||
        at[sizeof kOid] != 0x01 || at[sizeof kOid + 1] != 0x00)
      continue;
    const std::size_t start = i + sizeof kOid + 2;
    found.principal = ap_req_service(token.data() + start, token.size() - start);
    if (!found.principal.empty()) {
      found.kind = TicketName::Kind::Named;
      return found;
    }
    found.kind = TicketName::Kind::Unreadable;
  }
  return found;
}
