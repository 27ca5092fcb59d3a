// The map's history: what happened to its entries, one row per event and address, so that the
// question "who was at this address at that moment" is answered from the address index alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "usermap/map_types.h"

// The kinds of event. A refresh that changes nothing is none of them.
constexpr const char* kEventLogin = "login";        // the first logon of a user at a host
constexpr const char* kEventLogout = "logout";      // the entry was logged out
constexpr const char* kEventExpired = "expired";    // the entry ran out and was purged
constexpr const char* kEventMoved = "moved";        // a refresh found the entry at other addresses
constexpr const char* kEventCredited = "credited";  // an address came to be credited to the entry
constexpr const char* kEventUncredited = "uncredited";  // an address is no longer credited to it
// A refresh proved other groups than the entry had; at no address, so that it neither puts the
// entry anywhere nor takes it away.
constexpr const char* kEventGroups = "groups";
// The entry was there when a new version of the service brought the map up to date.
constexpr const char* kEventMigrated = "migrated";

struct LogonEvent {
  std::int64_t at = 0;  // epoch seconds
  std::string kind;
  std::string user;
  std::string domain;
  std::string host;
  std::string address;  // canonical; empty for an event of an entry found at no address
  bool credited = false;  // of a holder of an address: credited there, not only claiming it
};

// An entry by its names, as the events name it.
struct EntryNames {
  std::string user;
  std::string domain;
  std::string host;
};


// The events of one change of the map, each with one row per address:
// - a new entry: a login at each address it is found at;
// - a refresh whose addresses differ: a move to each address of the new set (not only the new ones),
//   so that the last login or move of an entry before a moment gives all its addresses then;
// - a logout or an expiry: one event at each address it was found at.
// An entry found at no address gives one event with an empty address.
std::vector<LogonEvent> entry_events(const char* kind, const EntryNames& entry, const std::vector<std::string>& addresses,
                                     std::int64_t at);
// An uncredited event for each entry no longer credited at an address, a credited one for each
// entry newly credited there, at the change's time.
std::vector<LogonEvent> credit_events(const std::vector<CreditChange>& changes);

// A page of events, newest first, of those that match every filter that is set.
struct HistoryQuery {
  std::string ip;      // canonical
  std::string user;    // letter case ignored
  std::string domain;  // with user
  std::string host;    // letter case ignored
  std::int64_t since = 0;   // events at or after this time; 0: from the oldest kept
  std::int64_t until = 0;   // events at or before this time; 0: to the newest
  std::size_t limit = 100;
  std::size_t offset = 0;
};

// Who held an address at one moment: the entries whose last login or move there, at or before it,
// put them there, and that neither ended nor moved on since; those credited there first.
struct HolderQuery {
  std::string ip;  // canonical
  std::int64_t at = 0;
};

constexpr std::int64_t kDefaultHistoryDays = 90;
