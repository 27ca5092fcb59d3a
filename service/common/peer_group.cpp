// Which peers count as one when the service counts connections and failed logons.
#include "common/peer_group.h"

#include <arpa/inet.h>

#include <cstring>

#include "common/address.h"

namespace {

bool is_link_local(const unsigned char* v6) { return v6[0] == 0xfe && (v6[1] & 0xc0) == 0x80; }

}  // namespace

std::string peer_group(const std::string& address) {
  // A link-local address comes with its interface after a '%' (a name or a number).
  const std::size_t scope = address.find('%');
  const std::string bare = address.substr(0, scope);
  unsigned char bytes[16];
  char text[INET6_ADDRSTRLEN];
  if (inet_pton(AF_INET6, bare.c_str(), bytes) != 1) return address;
  if (is_link_local(bytes)) return "fe80::/10" + (scope == std::string::npos ? "" : address.substr(scope));
  if (is_v4_mapped(bytes))
    return inet_ntop(AF_INET, bytes + 12, text, sizeof text) != nullptr ? text : address;
  std::memset(bytes + 8, 0, 8);
  return inet_ntop(AF_INET6, bytes, text, sizeof text) != nullptr ? std::string(text) + "/64" : address;
}
