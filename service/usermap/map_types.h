// The user map's records: an entry, a change the writer makes, a page asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/failure.h"

// A group the user's logon proved them a member of: its SID, and DOMAIN\Name when the directory
// named it (empty otherwise: the SID alone still counts).
struct EntryGroup {
  std::string sid;
  std::string name;
  bool operator==(const EntryGroup& o) const { return sid == o.sid && name == o.name; }
};

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
  // The groups the last logon or refresh proved, nested ones included, in the order the directory
  // gave them. Membership changes reach the map with the user's next logon or refresh.
  std::vector<EntryGroup> groups;
  // Read only: the addresses it is found at without credit, in the order reported: mere claims (it
  // neither comes from there nor through a trusted relay) that the address rule does not credit.
  // The entry is not found there.
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

// An entry credited at an address: whom the map names there.
struct CreditHolder {
  std::string user;
  std::string domain;
  std::string host;
  bool operator==(const CreditHolder& o) const { return user == o.user && domain == o.domain && host == o.host; }
  bool operator<(const CreditHolder& o) const {
    return user != o.user ? user < o.user : domain != o.domain ? domain < o.domain : host < o.host;
  }
};

// A change of who is credited at an address, made by one committed change of the map: the live
// entries credited there before and after it, each sorted (none: nobody is found there).
struct CreditChange {
  std::string address;
  std::vector<CreditHolder> before;
  std::vector<CreditHolder> after;
  std::int64_t at = 0;  // epoch second of the change
};

struct ChangeOutcome {
  // None: committed with a synchronous write. Refused: a login the map's limits refused, and why
  // (the batch's other changes were committed). Otherwise nothing was committed; unavailable: the
  // store could not be reached, and the same change may succeed later.
  Failure failure;
  bool removed = false;  // a logout found its entry
  // A login's addresses that it is not credited at: recorded, but it is not found there.
  std::vector<std::string> uncredited;
  // Of those, the ones another live entry is credited at: claims of what someone else holds.
  std::vector<std::string> disputed;
  // Whom the change took credit from or gave it to, address by address.
  std::vector<CreditChange> credit;
  // The batch was committed: a refused login had nothing in it.
  bool committed() const { return failure.ok() || failure.kind == Failure::Kind::refused; }
};

// Which of the current entries a listing shows: all, the stale ones (last seen before the
// query's stale_before), those at an address in conflict (see AddressUse), or those found at an
// address that no live entry proves (see MapConnection): claims a site credits by its own rule, or not at all.
enum class MapShow { All, Stale, Conflicts, Unproven };

// A page of the current entries, optionally only those that match every filter that is set.
struct MapQuery {
  std::size_t limit = 500;
  std::size_t offset = 0;
  // When set (canonical): entries that reported this address, or reported none and came from it,
  // and are credited there: not its mere claims that the address rule does not credit.
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
  std::int64_t uncredited = 0;  // current entries not credited at one of their addresses at least
  std::int64_t unproven = 0;    // current entries found at an address nobody proves
};

// The current entries at one address: of how many hosts and how many users (user and domain).
// Several users at one host who all come from the address share it (a terminal server); entries
// of different users at different hosts, or of different users of whom one merely claims the
// address (the host name is the agent's word, as the address is), cannot all be there: a conflict.
struct AddressUse {
  std::int64_t hosts = 0;
  std::int64_t users = 0;
  std::int64_t claims = 0;  // entries there that neither come from it nor through a trusted relay
  // The entry a lookup of the address lists first, which the Squid helper names (an empty user:
  // a login accepted without authentication, which it does not name); answered false: none.
  bool answered = false;
  CreditHolder answer;
  bool conflict() const { return users > 1 && (hosts > 1 || claims > 0); }
  bool shared_host() const { return users > 1 && hosts == 1 && claims == 0; }
};

// How many entries were current at one time, for the picture of the last day.
struct MapSample {
  std::int64_t time = 0;  // epoch seconds: the start of the sampling period
  std::int64_t logged_on = 0;
};
