// Which peers count as one when the service counts connections and failed logons.
#include "common/peer_group.h"

#include <arpa/inet.h>

#include <cstring>

#include "common/address.h"

std::string peer_group(const std::string& address) {
  unsigned char bytes[16];
  char text[INET6_ADDRSTRLEN];
  if (inet_pton(AF_INET6, address.c_str(), bytes) != 1) return address;
  if (is_v4_mapped(bytes))
    return inet_ntop(AF_INET, bytes + 12, text, sizeof text) != nullptr ? text : address;
  std::memset(bytes + 8, 0, 8);
  return inet_ntop(AF_INET6, bytes, text, sizeof text) != nullptr ? std::string(text) + "/64" : address;
}
