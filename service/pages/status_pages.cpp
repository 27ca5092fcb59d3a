// The status page (HTML) and status document (JSON): who is logged on where, and counters since start.
#include "status_pages.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "address.h"
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

// An address another live login comes from is marked: the entry is not found there meanwhile.
std::string addresses_shown(const LogonEntry& e) {
  std::vector<std::string> shown;
  for (const std::string& ip : e.ips) {
    const bool uncredited = std::find(e.uncredited.begin(), e.uncredited.end(), ip) != e.uncredited.end();
    shown.push_back(uncredited ? ip + " (not credited: another live login comes from there)" : ip);
  }
  return joined(shown);
}

std::string table_row(const LogonEntry& e) {
  return "<tr>" + cell(e.authenticated ? e.user : "(unauthenticated)") + cell(e.domain) + cell(e.host) +
         cell(addresses_shown(e)) + cell(e.relayed ? e.peer + " (trusted relay)" : e.peer) +
         cell(e.persistent ? "yes" : "no") +
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

// Deep offsets cost a scan of the rows skipped; this keeps one request from asking for more.
constexpr std::size_t kMaxOffset = 100000000;

bool read_count(const std::string& text, std::size_t low, std::size_t high, std::size_t* out) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 10) return false;
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (value < low || value > high) return false;
  *out = static_cast<std::size_t>(value);
  return true;
}

bool read_user(const std::string& text, MapQuery* out) {
  const std::size_t slash = text.find('\\');
  out->domain = slash == std::string::npos ? "" : text.substr(0, slash);
  out->user = slash == std::string::npos ? text : text.substr(slash + 1);
  return !out->user.empty() && out->user.find('\\') == std::string::npos;
}

// The user looked up, as it was asked for.
std::string looked_up_user(const MapQuery& q) { return q.domain.empty() ? q.user : q.domain + "\\" + q.user; }

std::string percent_encoded(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '-' || c == '_' || c == ':';
    if (plain) {
      out.push_back(static_cast<char>(c));
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

// The lookup of `query` as query parameters, each starting with '&'.
std::string lookup_params(const MapQuery& q) {
  std::string out;
  if (!q.ip.empty()) out += "&ip=" + percent_encoded(q.ip);
  if (!q.user.empty()) out += "&user=" + percent_encoded(looked_up_user(q));
  return out;
}

bool has_next_page(const std::vector<LogonEntry>& entries, const MapQuery& q) { return entries.size() > q.limit; }

std::size_t shown(const std::vector<LogonEntry>& entries, const MapQuery& q) {
  return has_next_page(entries, q) ? q.limit : entries.size();
}

std::string page_json(const std::vector<LogonEntry>& entries, const MapQuery& q) {
  JsonObject page;
  page.add_number("offset", static_cast<std::int64_t>(q.offset))
      .add_number("limit", static_cast<std::int64_t>(q.limit))
      .add_number("count", static_cast<std::int64_t>(shown(entries, q)));
  if (has_next_page(entries, q)) {
    page.add_number("next_offset", static_cast<std::int64_t>(q.offset + q.limit));
  } else {
    page.add_raw("next_offset", "null");
  }
  if (!q.ip.empty()) page.add_string("ip", q.ip);
  if (!q.user.empty()) page.add_string("user", looked_up_user(q));
  return page.str();
}

std::string page_html(const std::vector<LogonEntry>& entries, const MapQuery& q) {
  std::string text = entries.empty() ? "<p>No entries from number " + std::to_string(q.offset + 1) + " on."
                                     : "<p>Entries " + std::to_string(q.offset + 1) + " to " +
                                           std::to_string(q.offset + shown(entries, q)) + ".";
  const std::string base = "/?limit=" + std::to_string(q.limit) + html_escape(lookup_params(q));
  if (q.offset > 0)
    text += " <a href=\"" + base + "&amp;offset=" + std::to_string(q.offset > q.limit ? q.offset - q.limit : 0) +
            "\">Previous page</a>";
  if (has_next_page(entries, q))
    text += " <a href=\"" + base + "&amp;offset=" + std::to_string(q.offset + q.limit) + "\">Next page</a>";
  return text + "</p>\n<form action=\"/\">Address <input name=\"ip\" value=\"" + html_escape(q.ip) +
         "\"> User <input name=\"user\" value=\"" +
         html_escape(looked_up_user(q)) +
         "\"> <button>Look up</button></form>\n";
}

std::string bad_parameter_message(const QueryParam& p) {
  if (p.name == "user") return "user must be NAME or DOMAIN\\NAME";
  if (p.name == "ip") return "ip must be a numeric IPv4 or IPv6 address, not \"" + p.value + "\"";
  const std::size_t low = p.name == "limit" ? 1 : 0;
  const std::size_t high = p.name == "limit" ? kMaxPageLimit : kMaxOffset;
  return p.name + " must be a whole number from " + std::to_string(low) + " to " + std::to_string(high);
}

}  // namespace

bool read_status_query(const std::vector<QueryParam>& params, MapQuery* out, std::string* error) {
  *out = MapQuery();
  for (const QueryParam& p : params) {
    bool ok = true;
    if (p.name == "limit") ok = read_count(p.value, 1, kMaxPageLimit, &out->limit);
    if (p.name == "offset") ok = read_count(p.value, 0, kMaxOffset, &out->offset);
    // An empty lookup field (the page's form sends both) looks up nothing.
    if (p.name == "ip" && !p.value.empty()) ok = !(out->ip = canonical_address(p.value)).empty();
    if (p.name == "user" && !p.value.empty()) ok = read_user(p.value, out);
    if (!ok) {
      *error = bad_parameter_message(p);
      return false;
    }
  }
  return true;
}

std::string status_json(const std::vector<LogonEntry>& all, const MapQuery& query, std::int64_t interval,
                        const ServiceCounters& counters, std::int64_t now) {
  const std::vector<LogonEntry> entries(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(shown(all, query)));
  std::vector<std::string> users;
  for (const LogonEntry& e : entries) {
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
                        .str());
  }
  return JsonObject()
             .add_number("now", now)
             .add_number("interval", interval)
             .add_raw("users", json_array(users))
             .add_raw("page", page_json(all, query))
             .add_raw("counters", counters_json(counters))
             .str() +
         "\n";
}

std::string status_html(const std::vector<LogonEntry>& all, const MapQuery& query, std::int64_t interval,
                        const ServiceCounters& c, std::int64_t now) {
  std::string rows;
  for (std::size_t i = 0; i < shown(all, query); ++i) rows += table_row(all[i]);
  const bool lookup = !query.ip.empty() || !query.user.empty();
  if (all.empty() && query.offset == 0)
    rows = "<tr><td colspan=\"10\">Nobody is logged on" + std::string(lookup ? " that matches" : "") + ".</td></tr>\n";
  return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Pellamor logon service</title>\n"
         "<style>body{font-family:sans-serif}table{border-collapse:collapse}"
         "td,th{border:1px solid #999;padding:2px 6px;text-align:left}</style></head><body>\n"
         "<h1>Who is logged on where</h1>\n<p>As of " + iso8601_utc(now) + " (times in UTC); agents repeat every " +
         std::to_string(interval) + " s.</p>\n<table>\n<tr><th>User</th><th>Domain</th><th>Host</th><th>IP addresses</th>"
         "<th>Peer</th><th>Persistent</th><th>Authenticated</th><th>First seen</th><th>Last seen</th>"
         "<th>Expires</th></tr>\n" + rows + "</table>\n" + page_html(all, query) + "<p>Since start: " + std::to_string(c.connections.load()) +
         " connections, " + std::to_string(c.requests.load()) + " requests, " + std::to_string(c.logins.load()) +
         " logins, " + std::to_string(c.logouts.load()) + " logouts, " + std::to_string(c.rejected.load()) +
         " rejected.</p>\n<p><a href=\"/status.json\">JSON</a></p>\n</body></html>\n";
}
