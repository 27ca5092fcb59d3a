// Numeric addresses in the one form the user map keeps and matches them in.
#include "common/address.h"

#include <arpa/inet.h>

#include <cstring>

bool is_v4_mapped(const unsigned char* v6) {
  static const unsigned char mapped_prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  return std::memcmp(v6, mapped_prefix, sizeof mapped_prefix) == 0;
}

std::string canonical_address(const std::string& text) {
  unsigned char bytes[16];
  char out[INET6_ADDRSTRLEN];
  if (inet_pton(AF_INET, text.c_str(), bytes) == 1) return inet_ntop(AF_INET, bytes, out, sizeof out);
  if (inet_pton(AF_INET6, text.c_str(), bytes) != 1) return "";
  return is_v4_mapped(bytes) ? inet_ntop(AF_INET, bytes + 12, out, sizeof out) : inet_ntop(AF_INET6, bytes, out, sizeof out);
}

bool is_canonical_ipv4(const std::string& text) {
  unsigned char bytes[4];
  char out[INET_ADDRSTRLEN];
  return inet_pton(AF_INET, text.c_str(), bytes) == 1 && inet_ntop(AF_INET, bytes, out, sizeof out) != nullptr &&
         text == out;
}
