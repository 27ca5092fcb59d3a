// Squid's external ACL helper protocol, as the gateway helper speaks it: request lines, answers, the service's reply.
#pragma once

#include <optional>
#include <string>
#include <vector>

// One request line: "[channel-ID] address [group...]" (FORMAT %SRC, or %SRC %DATA with the acl's
// groups). A leading whole number followed by another field is the channel ID (an address is
// never a bare number).
struct HelperRequest {
  std::string channel;  // empty without Squid's concurrency option
  std::string address;  // percent-decoded; empty when the line carries none
  std::vector<std::string> groups;  // percent-decoded: DOMAIN\Name, Name or a SID; none ("-"): any user
};
HelperRequest parse_helper_line(const std::string& line);

// The lookup that answers it: the address, and the groups asked, which the service finds by name
// (so that the proxy needs no place in the domain).
std::string lookup_target(const HelperRequest& request);

// The answer line (without the line end), with the channel ID in front when the request had one.
// `user` is "DOMAIN\name" or "name"; it travels quoted, as Squid reads quoted values.
// `group`, when not empty, is the group asked about that the user is in.
std::string answer_ok(const HelperRequest& request, const std::string& user, const std::string& group = "");
std::string answer_err(const HelperRequest& request, const std::string& message);
std::string answer_bh(const HelperRequest& request, const std::string& message);

struct FoundUser {
  bool found = false;  // false: nobody known at the address
  std::string name;    // DOMAIN\user, or user when the domain is empty
  std::string group;   // the first group asked about that the user is in; empty: none (or none asked)
};
// What the helper reads of an HTTP reply's header block.
struct ReplyHead {
  int status = 0;
  std::string status_text;         // "503 Service Unavailable"
  long long content_length = -1;  // -1: not given; the body ends with the connection
  bool keep_alive = false;         // the connection may carry the next question
};
// Reads a reply's status line and headers (the header block without its blank line). False when it
// is not an HTTP/1.x reply or its Content-Length is not a number.
bool parse_reply_head(const std::string& head, ReplyHead* out);

// Reads the service's status document for an address lookup: the first entry of
// "users" names the user. An entry accepted without authentication names nobody.
// With groups asked, its "groups_asked" (before "users") says which the entry is in.
// Empty when the document cannot be read.
std::optional<FoundUser> user_from_status(const std::string& json);
