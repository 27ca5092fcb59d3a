// Squid's external ACL helper protocol, as the gateway helper speaks it: request lines, answers, the service's reply.
#pragma once

#include <optional>
#include <string>

// One request line: "[channel-ID] address [more fields]". A leading whole number
// followed by another field is the channel ID (an address is never a bare number).
struct HelperRequest {
  std::string channel;  // empty without Squid's concurrency option
  std::string address;  // percent-decoded; empty when the line carries none
};
HelperRequest parse_helper_line(const std::string& line);

// The answer line (without the line end), with the channel ID in front when the request had one.
// `user` is "DOMAIN\name" or "name"; it travels quoted, as Squid reads quoted values.
std::string answer_ok(const HelperRequest& request, const std::string& user);
std::string answer_err(const HelperRequest& request, const std::string& message);
std::string answer_bh(const HelperRequest& request, const std::string& message);

struct FoundUser {
  bool found = false;  // false: nobody known at the address
  std::string name;    // DOMAIN\user, or user when the domain is empty
};
// Reads the service's status document for an address lookup: the first entry of
// "users" names the user. An entry accepted without authentication names nobody.
// Empty when the document cannot be read.
std::optional<FoundUser> user_from_status(const std::string& json);
