// The status document (JSON), and what the status views say of an entry: who is logged on where, and counters since start.
#include "pages/status_pages.h"

#include <algorithm>

#include "common/json.h"
#include "usermap/address_rule.h"

namespace {

// Agents never repeat faster than this, whatever the interval header says.
constexpr std::int64_t kAgentMinimumInterval = 60;

std::string counters_json(const ServiceCounters& c) {
  return JsonObject()
      .add_number("connections", static_cast<std::int64_t>(c.connections.load()))
      .add_number("requests", static_cast<std::int64_t>(c.requests.load()))
      .add_number("logins", static_cast<std::int64_t>(c.logins.load()))
      .add_number("logouts", static_cast<std::int64_t>(c.logouts.load()))
      .add_number("rejected", static_cast<std::int64_t>(c.rejected.load()))
      .str();
}

std::string page_json(const MapPage& page, const StatusQuery& q) {
  const MapQuery& m = q.map;
  JsonObject out;
  out.add_number("offset", static_cast<std::int64_t>(m.offset))
      .add_number("limit", static_cast<std::int64_t>(m.limit))
      .add_number("count", static_cast<std::int64_t>(shown_entries(page, m)))
      .add_number("total", page.matches);
  if (page.entries.size() > m.limit) {
    out.add_number("next_offset", static_cast<std::int64_t>(m.offset + m.limit));
  } else {
    out.add_raw("next_offset", "null");
  }
  for (const QueryParam& filter : q.filters) out.add_string(filter.name, filter.value);
  return out.str();
}

std::string totals_json(const MapPage& page) {
  if (!page.totals) return "null";
  return JsonObject()
      .add_number("logged_on", page.totals->logged_on)
      .add_number("stale", page.totals->stale)
      .add_number("conflicts", page.totals->conflicts)
      .add_number("uncredited", page.totals->uncredited)
      .add_number("unproven", page.totals->unproven)
      .str();
}

}  // namespace

std::int64_t stale_after(std::int64_t interval) {
  const std::int64_t refresh = std::max(interval, kAgentMinimumInterval);
  return refresh + refresh / 2;
}

EntryFlags entry_flags(const LogonEntry& entry, const MapPage& page, const MapQuery& query) {
  EntryFlags flags;
  flags.stale = entry.last_seen < query.stale_before;
  for (const std::string& address : lookup_addresses(entry.ips, entry.peer)) {
    const auto use = page.addresses.find(address);
    if (use == page.addresses.end()) continue;
    const bool credited = std::find(entry.uncredited.begin(), entry.uncredited.end(), address) == entry.uncredited.end();
    if (use->second.conflict() && proves(entry, address)) flags.proves.push_back(address);
    else if (use->second.conflict() && credited) flags.conflicts.push_back(address);
    if (use->second.shared_host()) flags.shared_host = true;
  }
  flags.uncredited = entry.uncredited;
  return flags;
}

std::vector<std::string> flag_names(const EntryFlags& flags) {
  std::vector<std::string> names;
  if (flags.stale) names.push_back("stale");
  if (!flags.conflicts.empty()) names.push_back("conflict");
  if (!flags.proves.empty()) names.push_back("proves");
  if (flags.shared_host) names.push_back("shared-host");
  if (!flags.uncredited.empty()) names.push_back("uncredited");
  return names;
}

std::size_t shown_entries(const MapPage& page, const MapQuery& query) {
  return std::min(page.entries.size(), query.limit);
}

std::string groups_json(const std::vector<EntryGroup>& groups) {
  std::vector<std::string> out;
  for (const EntryGroup& g : groups) {
    JsonObject group;
    group.add_string("sid", g.sid);
    if (g.name.empty()) group.add_raw("name", "null");
    else group.add_string("name", g.name);
    out.push_back(group.str());
  }
  return json_array(out);
}

std::string status_json(const MapPage& page, const StatusQuery& query, std::int64_t interval,
                        const ServiceCounters& counters, std::int64_t now, std::string_view asked_groups) {
  std::vector<std::string> users;
  for (std::size_t i = 0; i < shown_entries(page, query.map); ++i) {
    const LogonEntry& e = page.entries[i];
    users.push_back(JsonObject()
                        .add_string("user", e.user)
                        .add_string("domain", e.domain)
                        .add_string("host", e.host)
                        .add_raw("ips", json_string_array(e.ips))
                        .add_string("peer", e.peer)
                        .add_bool("relayed", e.relayed)
                        .add_raw("uncredited", json_string_array(e.uncredited))
                        .add_bool("persistent", e.persistent)
                        .add_bool("authenticated", e.authenticated)
                        .add_number("first_seen", e.first_seen)
                        .add_number("last_seen", e.last_seen)
                        .add_number("expires", e.expires)
                        .add_raw("groups", groups_json(e.groups))
                        .add_raw("flags", json_string_array(flag_names(entry_flags(e, page, query.map))))
                        .str());
  }
  JsonObject document;
  // Before the entries: a reader that stops at the first entry has read it.
  if (!asked_groups.empty()) document.add_raw("groups_asked", asked_groups);
  return document
             .add_number("now", now)
             .add_number("interval", interval)
             .add_number("stale_after", stale_after(interval))
             .add_raw("users", json_array(users))
             .add_raw("page", page_json(page, query))
             .add_raw("totals", totals_json(page))
             .add_raw("counters", counters_json(counters))
             .str() +
         "\n";
}
