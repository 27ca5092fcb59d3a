// The status page (HTML) and status document (JSON): who is logged on where, and counters since start.
#include "status_pages.h"

#include "json.h"
#include "text.h"

namespace {

std::string html_escape(const std::string& bytes) {
  const std::string text = to_valid_utf8(bytes);
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) out += (i == 0 ? "" : ", ") + items[i];
  return out;
}

std::string cell(const std::string& text) { return "<td>" + html_escape(text) + "</td>"; }

std::string table_row(const LogonEntry& e) {
  return "<tr>" + cell(e.authenticated ? e.user : "(unauthenticated)") + cell(e.domain) + cell(e.host) +
         cell(joined(e.ips)) + cell(e.peer) + cell(e.persistent ? "yes" : "no") +
         cell(e.authenticated ? "yes" : "no") + cell(iso8601_utc(e.first_seen)) + cell(iso8601_utc(e.last_seen)) +
         cell(iso8601_utc(e.expires)) + "</tr>\n";
}

std::string counters_json(const ServiceCounters& c) {
  return JsonObject()
      .add_number("connections", static_cast<std::int64_t>(c.connections.load()))
      .add_number("requests", static_cast<std::int64_t>(c.requests.load()))
      .add_number("logins", static_cast<std::int64_t>(c.logins.load()))
      .add_number("logouts", static_cast<std::int64_t>(c.logouts.load()))
      .add_number("rejected", static_cast<std::int64_t>(c.rejected.load()))
      .str();
}

}  // namespace

std::string status_json(const std::vector<LogonEntry>& entries, std::int64_t interval, const ServiceCounters& counters,
                        std::int64_t now) {
  std::vector<std::string> users;
  for (const LogonEntry& e : entries) {
    users.push_back(JsonObject()
                        .add_string("user", e.user)
                        .add_string("domain", e.domain)
                        .add_string("host", e.host)
                        .add_raw("ips", json_string_array(e.ips))
                        .add_string("peer", e.peer)
                        .add_bool("persistent", e.persistent)
                        .add_bool("authenticated", e.authenticated)
                        .add_number("first_seen", e.first_seen)
                        .add_number("last_seen", e.last_seen)
                        .add_number("expires", e.expires)
                        .str());
  }
  return JsonObject()
             .add_number("now", now)
             .add_number("interval", interval)
             .add_raw("users", json_array(users))
             .add_raw("counters", counters_json(counters))
             .str() +
         "\n";
}

std::string status_html(const std::vector<LogonEntry>& entries, std::int64_t interval, const ServiceCounters& c,
                        std::int64_t now) {
  std::string rows;
  for (const LogonEntry& e : entries) rows += table_row(e);
  if (entries.empty()) rows = "<tr><td colspan=\"10\">Nobody is logged on.</td></tr>\n";
  return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Pellamor logon service</title>\n"
         "<style>body{font-family:sans-serif}table{border-collapse:collapse}"
         "td,th{border:1px solid #999;padding:2px 6px;text-align:left}</style></head><body>\n"
         "<h1>Who is logged on where</h1>\n<p>As of " + iso8601_utc(now) + " (times in UTC); agents repeat every " +
         std::to_string(interval) + " s.</p>\n<table>\n<tr><th>User</th><th>Domain</th><th>Host</th><th>IP addresses</th>"
         "<th>Peer</th><th>Persistent</th><th>Authenticated</th><th>First seen</th><th>Last seen</th>"
         "<th>Expires</th></tr>\n" + rows + "</table>\n<p>Since start: " + std::to_string(c.connections.load()) +
         " connections, " + std::to_string(c.requests.load()) + " requests, " + std::to_string(c.logins.load()) +
         " logins, " + std::to_string(c.logouts.load()) + " logouts, " + std::to_string(c.rejected.load()) +
         " rejected.</p>\n<p><a href=\"/status.json\">JSON</a></p>\n</body></html>\n";
}
