// The parameters of the status views (`/`, `/status.json`): the page, its filters and the search box.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "usermap/map_types.h"
#include "http/query.h"

constexpr std::size_t kDefaultPageLimit = 500;
constexpr std::size_t kMaxPageLimit = 1000;
// Deep offsets cost a scan of the rows skipped; this keeps one request from asking for more.
constexpr std::size_t kMaxOffset = 100000000;

// A page's limit or offset: decimal digits only, from `low` to `high`.
bool read_count(const std::string& text, std::size_t low, std::size_t high, std::size_t* out);

struct StatusQuery {
  MapQuery map;                     // what the map is asked
  std::string search;               // the search box's text (q), as given
  std::vector<QueryParam> filters;  // the filters as given (q, host, ip, user, show), for links to other pages
};

// Reads limit (1 to kMaxPageLimit), offset, and the filters, which all must match:
// - q, the search box: a numeric address (as ip), DOMAIN\NAME (as user), or else the beginning
//   of a user or host name;
// - host: a host name; ip: a numeric IPv4 or IPv6 address, kept in its canonical form;
//   user: NAME or DOMAIN\NAME;
// - show: "stale", "conflicts" or "unproven".
// Letter case is ignored, and an empty value (the page's form may send one) sets nothing. An
// unknown parameter, one given twice, or a search that names another address or user than ip or
// user is an error, so that no view silently shows more than it was asked for.
bool read_status_query(const std::vector<QueryParam>& params, StatusQuery* out, std::string* error);
