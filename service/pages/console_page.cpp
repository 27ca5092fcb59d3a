// The status console (`/`): search, totals, the last day's picture, and a page of entries with their marks, as HTML without script.
#include "pages/console_page.h"

#include <ctime>

#include "pages/history_chart.h"
#include "pages/html_text.h"
#include "common/text.h"

namespace {

constexpr const char* kStyle =
    "body{margin:0;font:14px/1.45 system-ui,'Segoe UI',Roboto,'DejaVu Sans',sans-serif;color:#1f2328;"
    "background:#f6f8fa}"
    "a{color:#0969da}"
    "header{display:flex;flex-wrap:wrap;align-items:center;gap:10px 28px;padding:12px 24px;background:#24292f;"
    "color:#fff}"
    "header h1{margin:0;font-size:18px;font-weight:600}header h1 a{color:#fff;text-decoration:none}"
    "header h1 span{font-weight:400;color:#bfc6cd}"
    "header form{display:flex;gap:6px;flex:1;max-width:560px}"
    "header input{flex:1;padding:6px 10px;border:1px solid #57606a;border-radius:6px;font:inherit}"
    "header button{padding:6px 16px;border:0;border-radius:6px;background:#2da44e;color:#fff;font:inherit;"
    "font-weight:600}"
    "main{padding:16px 24px 24px}"
    ".summary{display:flex;flex-wrap:wrap;gap:12px;margin-bottom:12px}"
    ".total{display:flex;flex-direction:column;justify-content:center;min-width:130px;padding:10px 18px;"
    "background:#fff;border:1px solid #d0d7de;border-radius:8px;color:inherit;text-decoration:none}"
    ".total b{font-size:26px;line-height:1.2}.total span{color:#57606a}"
    ".total.stale b{color:#9a6700}.total.conflict b{color:#cf222e}.total.unproven b{color:#8250df}"
    ".total.active{border-color:#0969da;box-shadow:inset 0 -3px 0 #0969da}"
    "figure{flex:1;min-width:340px;max-width:680px;margin:0;padding:8px 12px 4px;background:#fff;"
    "border:1px solid #d0d7de;border-radius:8px}"
    "figcaption{font-size:12px;color:#57606a}"
    "svg.chart{display:block;width:100%;height:auto}"
    ".chart .grid{stroke:#eaeef2}.chart .line{fill:none;stroke:#0969da;stroke-width:2}"
    ".chart .area{fill:#0969da;fill-opacity:.12}.chart .now{fill:#0969da}"
    ".chart text{font-size:11px;fill:#57606a}"
    ".context{margin:4px 0 12px;color:#57606a}"
    ".pages{display:flex;flex-wrap:wrap;align-items:center;gap:6px 14px;margin:8px 0}"
    ".pages .off{color:#8c959f}"
    "table{width:100%;border-collapse:collapse;background:#fff;border:1px solid #d0d7de}"
    "th{position:sticky;top:0;padding:6px 10px;background:#f6f8fa;border-bottom:1px solid #d0d7de;"
    "text-align:left;font-weight:600;white-space:nowrap}"
    "td{padding:5px 10px;border-top:1px solid #eaeef2;vertical-align:top;white-space:nowrap}"
    "td.host{font-weight:600}td.addresses{white-space:normal}"
    "tr.group th{background:#eef1f4;border-top:2px solid #d0d7de}"
    "tr.stale td:not([rowspan]){background:#fff8c5}tr.conflict td:not([rowspan]){background:#ffebe9}"
    ".muted{color:#57606a;font-weight:400}"
    "time{border-bottom:1px dotted #8c959f;cursor:help}"
    ".flag{display:inline-block;margin:0 4px 2px 0;padding:0 7px;border-radius:10px;font-size:12px;"
    "font-weight:600;text-decoration:none}"
    ".flag.stale{background:#fff1a8;color:#7d4e00}.flag.conflict{background:#cf222e;color:#fff}"
    ".flag.shared{background:#ddf4ff;color:#0550ae}.flag.proof{background:#dafbe1;color:#116329}"
    ".flag.claim{background:#eaeef2;color:#57606a}"
    "footer{margin-top:14px;color:#57606a;font-size:12px}"
    "header a.changes{color:#fff}"
    "form.moment{display:flex;align-items:center;gap:6px;margin:0 0 10px}"
    "form.moment input{padding:4px 8px;border:1px solid #d0d7de;border-radius:6px;font:inherit}"
    "form.moment button{padding:4px 12px;border:1px solid #d0d7de;border-radius:6px;background:#fff;font:inherit}";

// "15 min", "1 h 30 min", "3 d".
std::string duration_text(std::int64_t seconds) {
  const std::int64_t minutes = (seconds + 30) / 60;
  if (seconds < 60) return std::to_string(seconds) + " s";
  if (minutes < 90) return std::to_string(minutes) + " min";
  if (minutes < 36 * 60)
    return std::to_string(minutes / 60) + " h" + (minutes % 60 == 0 ? "" : " " + std::to_string(minutes % 60) + " min");
  return std::to_string(minutes / (24 * 60)) + " d";
}

// A link to another page or view of the console, with the filters of `keep`.
std::string view_link(const std::vector<QueryParam>& keep, std::size_t limit, std::size_t offset) {
  std::string link;
  for (const QueryParam& p : keep) link += (link.empty() ? "" : "&") + p.name + "=" + percent_encoded(p.value);
  if (limit != kDefaultPageLimit) link += (link.empty() ? "" : "&") + std::string("limit=") + std::to_string(limit);
  if (offset > 0) link += (link.empty() ? "" : "&") + std::string("offset=") + std::to_string(offset);
  return html_escape("/" + (link.empty() ? "" : "?" + link));
}

std::string total_card(const std::string& kind, std::int64_t count, const std::string& what, const std::string& href,
                       bool active) {
  return "<a class=\"total " + kind + (active ? " active" : "") + "\" href=\"" + href + "\"><b>" +
         grouped_number(count) + "</b><span>" + what + "</span></a>";
}

std::string summary(const MapPage& page, const StatusQuery& query, const ConsoleContext& c) {
  const MapTotals totals = page.totals.value_or(MapTotals());
  const MapShow show = query.map.show;
  std::string out = "<section class=\"summary\">" +
                    total_card("current", totals.logged_on, "logged on", "/", query.filters.empty()) +
                    total_card("stale", totals.stale, "stale", "/?show=stale", show == MapShow::Stale) +
                    total_card("conflict", totals.conflicts, totals.conflicts == 1 ? "conflict" : "conflicts",
                               "/?show=conflicts", show == MapShow::Conflicts) +
                    total_card("unproven", totals.unproven, "unproven", "/?show=unproven", show == MapShow::Unproven);
  return out + "<figure>" + history_svg(page.history, c.now, totals.logged_on) +
         "<figcaption>Entries logged on over the last 24 hours, sampled every " +
         std::to_string(kSamplePeriod / 60) + " minutes</figcaption></figure></section>\n";
}

// What the view lists, in words: "stale entries matching “PC”".
std::string view_description(const StatusQuery& query) {
  const MapQuery& q = query.map;
  std::string what = q.show == MapShow::Stale       ? "stale entries"
                     : q.show == MapShow::Conflicts ? "entries at addresses in conflict"
                     : q.show == MapShow::Unproven  ? "entries at addresses nobody proves"
                                                    : "entries";
  if (!query.search.empty()) what += " matching \u201c" + html_escape(query.search) + "\u201d";
  for (const QueryParam& p : query.filters) {
    if (p.name == "host") what += " at host " + html_name(p.value);
    if (p.name == "ip") what += " at " + html_escape(p.value);
    if (p.name == "user") what += " of " + html_name(p.value);
  }
  return what;
}

std::string page_links(const MapPage& page, const StatusQuery& query) {
  const MapQuery& q = query.map;
  const std::size_t shown = shown_entries(page, q);
  std::string out = "<nav class=\"pages\"><span>";
  if (shown == 0) {
    out += "No " + view_description(query);
    if (page.matches > 0) out += " from number " + grouped_number(static_cast<std::int64_t>(q.offset + 1)) + " on";
  } else {
    out += "<b>" + grouped_number(static_cast<std::int64_t>(q.offset + 1)) + "\u2013" +
           grouped_number(static_cast<std::int64_t>(q.offset + shown)) + "</b> of <b>" +
           grouped_number(page.matches) + "</b> " + view_description(query);
  }
  out += "</span>";
  const std::size_t last = page.matches > 0 ? (static_cast<std::size_t>(page.matches) - 1) / q.limit * q.limit : 0;
  const auto link = [&](bool on, std::size_t offset, const std::string& text) {
    return on ? "<a href=\"" + view_link(query.filters, q.limit, offset) + "\">" + text + "</a>"
              : "<span class=\"off\">" + text + "</span>";
  };
  if (q.offset > 0 || page.entries.size() > q.limit) {
    out += link(q.offset > 0, 0, "\u00ab First") + link(q.offset > 0, q.offset > q.limit ? q.offset - q.limit : 0,
                                                      "\u2039 Previous") +
           link(page.entries.size() > q.limit, q.offset + q.limit, "Next \u203a") +
           link(q.offset < last, last, "Last \u00bb");
  }
  if (!query.filters.empty()) out += "<a href=\"/\">Show all entries</a>";
  return out + "</nav>\n";
}

// Whom the Squid helper names for an address, as the page says it.
std::string helper_answer(const MapPage& page, const std::string& address, bool in_attribute) {
  const auto use = page.addresses.find(address);
  if (use == page.addresses.end() || !use->second.answered) return "nobody";
  const CreditHolder& h = use->second.answer;
  if (h.user.empty()) return "nobody (the login there is not authenticated)";
  const std::string who = qualified_name(h.domain, h.user);
  if (in_attribute) return html_escape(escape_controls(who)) + " at " + html_escape(escape_controls(h.host));
  return "<b>" + html_name(who) + "</b> at " + html_name(h.host);
}

std::string flag_badges(const EntryFlags& flags, const LogonEntry& e, const MapPage& page, const ConsoleContext& c) {
  std::string out;
  if (flags.stale) {
    const std::string why = e.persistent ? "not seen for " + duration_text(c.now - e.last_seen) +
                                               "; agents refresh every " + duration_text(c.interval)
                                         : "a one-shot login " + duration_text(c.now - e.last_seen) +
                                               " ago; it is never refreshed";
    out += "<span class=\"flag stale\" title=\"" + why + "\">stale</span>";
  }
  for (const std::string& address : flags.proves) {
    out += "<a class=\"flag proof\" href=\"/?q=" + percent_encoded(address) + "\" title=\"this login comes from " +
           html_escape(address) + " (or reports it through a trusted relay); other users merely claim it or "
           "report it from other hosts; the helper names " + helper_answer(page, address, true) +
           " there\">proves " + html_escape(address) + "</a>";
  }
  for (const std::string& address : flags.conflicts) {
    out += "<a class=\"flag conflict\" href=\"/?q=" + percent_encoded(address) + "\" title=\"other users report " +
           html_escape(address) + " too, from other hosts or by a claim, and this entry is credited there by a "
           "claim; the helper "
           "names " + helper_answer(page, address, true) + " there\">conflict at " + html_escape(address) + "</a>";
  }
  for (const std::string& address : flags.uncredited) {
    out += "<span class=\"flag claim\" title=\"a claim: this login does not come from " + html_escape(address) +
           ", so it is recorded but not found there; the helper names " + helper_answer(page, address, true) +
           " there\">not credited at " + html_escape(address) + "</span>";
  }
  if (flags.shared_host)
    out += "<span class=\"flag shared\" title=\"several users are logged on at this host, coming from its "
           "address, as on a terminal server; the Squid helper names the one seen last\">shared host</span>";
  return out;
}

std::string user_text(const LogonEntry& e) {
  if (!e.authenticated) return "<span class=\"muted\">(unauthenticated)</span>";
  return html_name(e.domain.empty() ? e.user : e.domain + "\\" + e.user);
}

// One group, compactly: its name without the user's own domain, else its SID; the whole name and
// the SID in its tooltip.
std::string group_text(const EntryGroup& g, const LogonEntry& e) {
  const std::string own = e.domain + "\\";
  const bool same_domain =
      !e.domain.empty() && g.name.size() > own.size() && equal_ignoring_case(g.name.substr(0, own.size()), own);
  const std::string shown = g.name.empty() ? g.sid : same_domain ? g.name.substr(own.size()) : g.name;
  return "<span title=\"" + html_escape(g.name.empty() ? g.sid : g.name + " " + g.sid) + "\">" + html_escape(shown) +
         "</span>";
}

// A user in hundreds of groups would fill the page: the first few, then how many more.
constexpr std::size_t kGroupsShown = 12;

std::string groups_text(const LogonEntry& e) {
  if (e.groups.empty()) return "";
  std::string out;
  for (std::size_t i = 0; i < e.groups.size() && i < kGroupsShown; ++i)
    out += (out.empty() ? "" : ", ") + group_text(e.groups[i], e);
  if (e.groups.size() > kGroupsShown) out += " and " + std::to_string(e.groups.size() - kGroupsShown) + " more";
  return "<div class=\"groups muted\">" + out + "</div>";
}

std::string addresses_text(const LogonEntry& e) {
  if (e.ips.empty()) return "<span class=\"muted\">none reported</span>";
  std::string out;
  for (const std::string& ip : e.ips) out += (out.empty() ? "" : ", ") + html_escape(ip);
  return out;
}

// The cells of an entry after its host.
std::string entry_cells(const LogonEntry& e, const EntryFlags& flags, const MapPage& page, const ConsoleContext& c) {
  return "<td>" + user_text(e) + groups_text(e) + "</td><td class=\"addresses\">" + addresses_text(e) + "</td>" +
         time_cell(e.last_seen, c.now) + time_cell(e.first_seen, c.now) + time_cell(e.expires, c.now) +
         "<td class=\"muted\">" + html_escape(e.peer) + (e.relayed ? " (trusted relay)" : "") +
         (e.persistent ? "" : ", one-shot") + "</td><td>" +
         flag_badges(flags, e, page, c) + "</td></tr>\n";
}

std::string row_start(const EntryFlags& flags) {
  std::string classes;
  if (flags.stale) classes += " stale";
  if (!flags.conflicts.empty()) classes += " conflict";
  return classes.empty() ? "<tr>" : "<tr class=\"" + classes.substr(1) + "\">";
}

std::string address_group_head(const std::string& address, const MapPage& page) {
  const auto use = page.addresses.find(address);
  std::string text = "<tr class=\"group\"><th colspan=\"8\">" + html_escape(address);
  if (use != page.addresses.end()) {
    const AddressUse& u = use->second;
    text += " <span class=\"muted\">\u00b7 " + std::to_string(u.users) + (u.users == 1 ? " user" : " users") +
            " at " + std::to_string(u.hosts) + (u.hosts == 1 ? " host" : " hosts") + "</span>";
    if (u.conflict()) text += " <span class=\"flag conflict\">conflict</span>";
    if (u.shared_host()) text += " <span class=\"flag shared\">shared host</span>";
  }
  text += " <span class=\"muted answer\">\u00b7 the Squid helper names " + helper_answer(page, address, false) +
          "</span>";
  return text + "</th></tr>\n";
}

// Rows of one host follow each other in a listing by host: the host is written once for them.
// In a listing by address each address heads its rows.
std::string table_rows(const MapPage& page, const StatusQuery& query, const ConsoleContext& c) {
  const std::size_t shown = shown_entries(page, query.map);
  const bool by_address = !query.map.ip.empty() || query.map.show == MapShow::Conflicts;
  std::string rows;
  for (std::size_t i = 0; i < shown;) {
    const LogonEntry& first = page.entries[i];
    std::size_t end = i + 1;
    const auto same_group = [&](const LogonEntry& e) {
      return by_address ? e.address == first.address : equal_ignoring_case(e.host, first.host);
    };
    while (end < shown && same_group(page.entries[end])) ++end;
    if (by_address) rows += address_group_head(first.address, page);
    for (std::size_t j = i; j < end; ++j) {
      const LogonEntry& e = page.entries[j];
      const EntryFlags flags = entry_flags(e, page, query.map);
      rows += row_start(flags);
      if (by_address) {
        rows += "<td class=\"host\">" + html_name(e.host) + "</td>";
      } else if (j == i) {
        const std::size_t run = end - i;
        rows += run == 1 ? "<td class=\"host\">" + html_name(e.host) + "</td>"
                         : "<td class=\"host\" rowspan=\"" + std::to_string(run) + "\">" + html_name(e.host) +
                               "<div class=\"muted\">" + std::to_string(run) + " users</div></td>";
      }
      rows += entry_cells(e, flags, page, c);
    }
    i = end;
  }
  return rows;
}

}  // namespace

std::string styled_page(const std::string& title, const std::string& header, const std::string& main) {
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
         "<title>Pellamor: " + title + "</title><style>" + std::string(kStyle) + "</style></head><body>\n"
         "<header>" + header + "</header>\n<main>\n" + main + "</main></body></html>\n";
}

std::string console_frame(const std::string& title, const std::string& search, const std::string& main) {
  return styled_page(title,
         "<h1><a href=\"/\">Pellamor</a> <span>who is logged on where</span></h1>"
         "<form action=\"/\" role=\"search\"><input type=\"search\" name=\"q\" value=\"" + html_escape(search) +
         "\" placeholder=\"User, host or address\" aria-label=\"User, host or address\"><button>Search</button>"
         "</form><a class=\"changes\" href=\"/changes\">Recent changes</a>", main);
}

std::string console_html(const MapPage& page, const StatusQuery& query, const ConsoleContext& c) {
  std::string json_link = view_link(query.filters, query.map.limit, query.map.offset);
  json_link.insert(1, "status.json");
  const ServiceCounters& n = *c.counters;
  return console_frame("who is logged on", query.search,
         summary(page, query, c) +
         "<p class=\"context\">As of " + html_escape(local_time(c.now, "%Y-%m-%d %H:%M %Z")) +
         ". Agents refresh every " + duration_text(c.interval) + "; an entry not seen for " +
         duration_text(stale_after(c.interval)) + " is stale. Hover over a time for the exact time.</p>\n" +
         (query.map.ip.empty() ? "" : moment_form(query.map.ip, c.now)) + page_links(page, query) +
         "<table>\n<thead><tr><th>Host</th><th>User</th><th>Addresses</th><th>Last seen</th><th>Logged on</th>"
         "<th>Expires</th><th>From</th><th>Notes</th></tr></thead>\n<tbody>\n" + table_rows(page, query, c) +
         "</tbody></table>\n" + (shown_entries(page, query.map) > 20 ? page_links(page, query) : "") +
         "<footer>Since start: " + grouped_number(static_cast<std::int64_t>(n.connections.load())) + " connections, " +
         grouped_number(static_cast<std::int64_t>(n.requests.load())) + " requests, " +
         grouped_number(static_cast<std::int64_t>(n.logins.load())) + " logins, " +
         grouped_number(static_cast<std::int64_t>(n.logouts.load())) + " logouts, " +
         grouped_number(static_cast<std::int64_t>(n.rejected.load())) + " rejected. <a href=\"" + json_link +
         "\">This view as JSON</a> \u00b7 <a href=\"/metrics\">Metrics</a> \u00b7 <a href=\"/healthz\">Health</a>"
         " \u00b7 pellamor-service " + html_escape(PELLAMOR_VERSION) + "</footer>\n");
}

std::string moment_form(const std::string& ip, std::int64_t at) {
  return "<form class=\"moment\" action=\"/changes\"><input type=\"hidden\" name=\"ip\" value=\"" + html_escape(ip) +
         "\"><label>Who was here at <input name=\"at\" value=\"" + local_time(at, "%Y-%m-%d %H:%M:%S") +
         "\" aria-label=\"Time, local unless it ends in Z or an offset\"></label> <span class=\"muted\">" +
         html_escape(local_time(at, "%Z")) + "</span> <button>Ask</button></form>\n";
}
