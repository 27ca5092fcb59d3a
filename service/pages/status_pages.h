// The status document (JSON), and what the status views say of an entry: who is logged on where, and counters since start.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/service_counters.h"
#include "pages/status_query.h"
#include "usermap/user_map.h"

// How long after it was last seen an entry counts as stale: half an interval past the refresh
// that should have come (agents never repeat faster than every 60 s, whatever the interval).
// A persistent entry is then one refresh late, well past any delay of a working agent, and
// expires at two intervals; a one-shot login, which is never refreshed, is as old as that.
std::int64_t stale_after(std::int64_t interval);

// What the views say of an entry beyond its fields: the JSON "flags" and the console's marks.
// A further flag goes here, in flag_names() and in the console's flag_badges().
struct EntryFlags {
  bool stale = false;
  // Its addresses where other users have entries at other hosts: those it is credited at by a
  // claim (a contest of credit), and those it proves, where the others' claims give way.
  std::vector<std::string> conflicts;
  std::vector<std::string> proves;
  bool shared_host = false;            // other users have entries at its host and address (a terminal server)
  // Its mere claims without credit (it neither comes from there nor has credit there): it is not found there.
  std::vector<std::string> uncredited;
};

// `page` holds the use of every address of its entries.
EntryFlags entry_flags(const LogonEntry& entry, const MapPage& page, const MapQuery& query);
std::vector<std::string> flag_names(const EntryFlags& flags);

// The entries shown: one more than the limit comes back when another page follows.
std::size_t shown_entries(const MapPage& page, const MapQuery& query);

// The groups as the JSON lists them: each one's SID, and its name or null.
std::string groups_json(const std::vector<EntryGroup>& groups);
// `asked_groups`: a lookup's answer on the groups it was asked about (JSON), or empty.
std::string status_json(const MapPage& page, const StatusQuery& query, std::int64_t interval,
                        const ServiceCounters& counters, std::int64_t now, std::string_view asked_groups = {});
