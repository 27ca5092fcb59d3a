// The JSON document of `/history.json`.
#include "pages/history_document.h"

#include <algorithm>

#include "common/json.h"
#include "common/text.h"

namespace {

JsonObject names(const LogonEvent& e) {
  JsonObject out;
  out.add_string("user", e.user).add_string("domain", e.domain).add_string("host", e.host);
  return out;
}

std::string events_json(const HistoryPage& page, const HistoryQuery& q) {
  const std::size_t shown = std::min(page.events.size(), q.limit);
  std::vector<std::string> events;
  for (std::size_t i = 0; i < shown; ++i) {
    const LogonEvent& e = page.events[i];
    events.push_back(names(e).add_string("at", iso8601_utc(e.at)).add_string("kind", e.kind)
                         .add_string("address", e.address).str());
  }
  JsonObject out;
  out.add_raw("events", json_array(events));
  out.add_number("offset", static_cast<std::int64_t>(q.offset));
  out.add_number("limit", static_cast<std::int64_t>(q.limit));
  out.add_bool("more", page.events.size() > q.limit);
  return out.str();
}

std::string holders_json(const HistoryPage& page, const HolderQuery& q) {
  std::vector<std::string> entries;
  for (const LogonEvent& e : page.events)
    entries.push_back(names(e).add_string("event", e.kind).add_string("event_at", iso8601_utc(e.at))
                          .add_bool("credited", e.credited).str());
  JsonObject out;
  out.add_string("ip", q.ip).add_string("at", iso8601_utc(q.at)).add_raw("entries", json_array(entries));
  return out.str();
}

}  // namespace

std::string history_json(const HistoryPage& page, const HistoryRequest& request) {
  return (request.holders ? holders_json(page, request.moment) : events_json(page, request.events)) + "\n";
}
