// Lists of networks (10.0.0.0/8, fd00::/8, one address), for the options that name trusted peers.
#pragma once

#include <array>
#include <string>
#include <vector>

class NetworkList {
 public:
  // Appends the comma-separated networks of `text`: ADDRESS/LENGTH, or an address alone (all its
  // bits). A network with bits set beyond its length (10.0.0.5/8) is refused, since it looks like
  // a typing error; so is an IPv4 address with leading zeros.
  bool add(const std::string& text, std::string* error);
  // Whether `address` (numeric; an IPv4-mapped IPv6 address counts as its IPv4 address) lies in
  // one of the networks.
  bool contains(const std::string& address) const;
  bool empty() const { return networks_.empty(); }
  // The networks as they were given, comma-separated.
  std::string text() const;

 private:
  struct Network {
    bool v6 = false;
    std::array<unsigned char, 16> bytes{};
    unsigned length = 0;
    std::string text;
  };
  std::vector<Network> networks_;
};

// 127.0.0.0/8 and ::1: the machine itself.
NetworkList loopback_networks();
