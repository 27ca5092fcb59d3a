// The user map's records: an entry, a change the writer makes, a page asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct LogonEntry {
  std::string user;    // empty for a login accepted without authentication (test mode)
  std::string domain;
  std::string host;
  std::vector<std::string> ips;  // as the agent reported them
  std::string peer;              // address the request came from
  // The request came through a trusted relay (--trusted-relay): the addresses it reports count as
  // proven, as a direct login's peer address does.
  bool relayed = false;
  bool persistent = false;
  bool authenticated = false;
  std::int64_t first_seen = 0;  // epoch seconds
  std::int64_t last_seen = 0;
  std::int64_t expires = 0;
  // Read only: reported addresses that another live login proves (it came from there, or through a
  // trusted relay that reports them), in the order reported. The entry is not found there meanwhile.
  std::vector<std::string> uncredited;
  std::string address;  // in a listing by address: the address it is listed at; otherwise empty
};

// A change the writer makes. A login adds the entry or refreshes the one for the
// same user, domain and host (letter case ignored), keeping its first_seen; a
// logout removes that entry and reads only those three names.
struct MapChange {
  enum class Kind { Login, Logout };
  Kind kind = Kind::Login;
  LogonEntry entry;
};

// Another entry whose claim of an address a login's proof outranks.
struct OutrankedClaim {
  std::string address;
  std::string user;
  std::string domain;
  std::string host;
};

struct ChangeOutcome {
  bool ok = false;       // committed with a synchronous write
  bool removed = false;  // a logout found its entry
  std::string refused;   // a login the map's limits refused, and why (ok: the others were committed)
  std::string error;
  bool unavailable = false;  // not ok because the store could not be reached: the same change may succeed later
  // A login's reported addresses that other live logins prove: recorded, but not credited to it.
  std::vector<std::string> uncredited;
  // Claims of other live entries at the addresses this login has just come to prove: no longer credited.
  std::vector<OutrankedClaim> outranked;
};

// Which of the current entries a listing shows: all, the stale ones (last seen before the
// query's stale_before), or those at an address in conflict (see AddressUse).
enum class MapShow { All, Stale, Conflicts };

// A page of the current entries, optionally only those that match every filter that is set.
struct MapQuery {
  std::size_t limit = 500;
  std::size_t offset = 0;
  // When set (canonical): entries that reported this address, or reported none and came from it,
  // and are credited there: not those whose claim of it another live login proves wrong.
  std::string ip;
  std::string user;    // when set: entries of this user (letter case ignored)
  std::string domain;  // when set (with user): only in this domain
  std::string host;    // when set: entries at this host (letter case ignored)
  std::string prefix;  // when set: entries whose user or host name begins with it (letter case ignored)
  MapShow show = MapShow::All;
  std::int64_t stale_before = 0;  // an entry last seen before this is stale
};

// The whole map at one moment.
struct MapTotals {
  std::int64_t logged_on = 0;  // current entries
  std::int64_t stale = 0;      // of them, last seen before the query's stale_before
  std::int64_t conflicts = 0;  // addresses in conflict
};

// The current entries at one address: of how many hosts and how many users (user and domain).
// Several users at one host share it (a terminal server); entries of different users at
// different hosts claim the same address, and only one of them can hold it: a conflict.
struct AddressUse {
  std::int64_t hosts = 0;
  std::int64_t users = 0;
  bool conflict() const { return hosts > 1 && users > 1; }
  bool shared_host() const { return hosts == 1 && users > 1; }
};

// How many entries were current at one time, for the picture of the last day.
struct MapSample {
  std::int64_t time = 0;  // epoch seconds: the start of the sampling period
  std::int64_t logged_on = 0;
};
