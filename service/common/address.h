// Numeric addresses in the one form the user map keeps and matches them in.
#pragma once

#include <string>

// The address as inet_ntop writes it, with an IPv4-mapped IPv6 address written as the IPv4
// address it carries (the form peers are recorded in); empty when `text` is not a numeric IPv4
// or IPv6 address. IPv4 must be four decimal numbers without leading zeros: "010.0.0.1" is
// none, since some readers take 010 as octal 8 and others as ten.
std::string canonical_address(const std::string& text);

// True when the 16 bytes of an IPv6 address are an IPv4-mapped one (::ffff:a.b.c.d), whose last
// 4 bytes are the IPv4 address.
bool is_v4_mapped(const unsigned char* v6);

// True when `text` is an IPv4 address written as inet_ntoa writes it, the way agents report them.
bool is_canonical_ipv4(const std::string& text);
