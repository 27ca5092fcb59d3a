// Lists of networks (10.0.0.0/8, fd00::/8, one address), for the options that name trusted peers.
#include "common/networks.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "common/address.h"
#include "common/text.h"

namespace {

// The address's bytes (4 of them for IPv4, also for an IPv4-mapped IPv6 address); false when it is none.
bool address_bytes(const std::string& text, bool* v6, std::array<unsigned char, 16>* out) {
  out->fill(0);
  if (inet_pton(AF_INET, text.c_str(), out->data()) == 1) {
    *v6 = false;
    return true;
  }
  if (inet_pton(AF_INET6, text.c_str(), out->data()) != 1) return false;
  *v6 = !is_v4_mapped(out->data());
  if (!*v6) {
    std::memmove(out->data(), out->data() + 12, 4);
    std::fill(out->begin() + 4, out->end(), 0);
  }
  return true;
}

bool bit_set(const std::array<unsigned char, 16>& bytes, unsigned bit) {
  return (bytes[bit / 8] >> (7 - bit % 8)) & 1;
}

bool same_prefix(const std::array<unsigned char, 16>& a, const std::array<unsigned char, 16>& b, unsigned length) {
  for (unsigned bit = 0; bit < length; ++bit) {
    if (bit_set(a, bit) != bit_set(b, bit)) return false;
  }
  return true;
}

}  // namespace

bool NetworkList::add(const std::string& text, std::string* error) {
  for (const std::string& item : split_commas(text)) {
    const std::size_t slash = item.find('/');
    const std::string address = item.substr(0, slash);
    const std::string length = slash == std::string::npos ? "" : item.substr(slash + 1);
    Network network;
    network.text = item;
    const bool mapped = address.find(':') != std::string::npos && address.find('.') != std::string::npos;
    const bool readable = (address.find(':') != std::string::npos || is_canonical_ipv4(address)) &&
                          address_bytes(address, &network.v6, &network.bytes);
    const unsigned bits = network.v6 ? 128 : 32;
    const bool length_ok = slash == std::string::npos ||
                           (!length.empty() && length.size() <= 3 &&
                            length.find_first_not_of("0123456789") == std::string::npos &&
                            std::stoul(length) <= (mapped ? 128 : bits) && (!mapped || std::stoul(length) >= 96));
    if (item.empty() || !readable || !length_ok) {
      *error = "expects networks such as 10.0.0.0/8, 192.0.2.7 or fd00::/8, separated by commas, not \"" + item + "\"";
      return false;
    }
    network.length = slash == std::string::npos ? bits : static_cast<unsigned>(std::stoul(length)) - (mapped ? 96 : 0);
    for (unsigned bit = network.length; bit < bits; ++bit) {
      if (!bit_set(network.bytes, bit)) continue;
      *error = "network \"" + item + "\" has bits set beyond its length of " + std::to_string(network.length) +
               " (a network is written with its first address)";
      return false;
    }
    networks_.push_back(network);
  }
  return true;
}

bool NetworkList::contains(const std::string& address) const {
  bool v6 = false;
  std::array<unsigned char, 16> bytes{};
  if (!address_bytes(address, &v6, &bytes)) return false;
  return std::any_of(networks_.begin(), networks_.end(), [&](const Network& n) {
    return n.v6 == v6 && same_prefix(n.bytes, bytes, n.length);
  });
}

std::string NetworkList::text() const {
  std::string out;
  for (const Network& n : networks_) out += (out.empty() ? "" : ",") + n.text;
  return out;
}

NetworkList loopback_networks() {
  NetworkList list;
  std::string unused;
  list.add("127.0.0.0/8,::1", &unused);
  return list;
}
