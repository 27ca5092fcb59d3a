// The console's page of the map's history (`/changes`).
#include "pages/changes_page.h"

#include <algorithm>

#include "common/text.h"
#include "pages/console_page.h"
#include "pages/html_text.h"

namespace {

std::string user_name(const LogonEvent& e) {
  return html_name(e.domain.empty() ? e.user : e.domain + "\\" + e.user);
}

std::string head(const std::string& columns) {
  std::string cells;
  for (const std::string& c : split_commas(columns)) cells += "<th>" + c + "</th>";
  return "<table>\n<thead><tr>" + cells + "</tr></thead>\n<tbody>\n";
}

std::string holders_main(const HistoryPage& page, const HolderQuery& q, std::int64_t now) {
  std::string out = "<h2>Who was at " + html_escape(q.ip) + " at " + html_escape(local_time(q.at, "%Y-%m-%d %H:%M:%S %Z")) +
                    " <span class=\"muted\">(" + iso8601_utc(q.at) + ")</span></h2>\n" + moment_form(q.ip, q.at);
  if (page.events.empty()) return out + "<p class=\"context\">Nobody, as far as the history reaches.</p>\n";
  out += head("Host,User,Credit,Came there by,When");
  for (const LogonEvent& e : page.events)
    out += "<tr><td class=\"host\">" + html_name(e.host) + "</td><td>" + user_name(e) + "</td><td>" +
           (e.credited ? "credited" : "<span class=\"muted\">claim only</span>") + "</td><td>" + e.kind + "</td>" +
           time_cell(e.at, now) + "</tr>\n";
  return out + "</tbody></table>\n";
}

// A link to the same view from `offset` on.
std::string page_link(const HistoryQuery& q, std::size_t offset) {
  std::string link = "/changes?since=" + iso8601_utc(q.since);
  if (q.until != 0) link += "&until=" + iso8601_utc(q.until);
  if (!q.ip.empty()) link += "&ip=" + percent_encoded(q.ip);
  if (!q.user.empty()) link += "&user=" + percent_encoded(q.domain.empty() ? q.user : q.domain + "\\" + q.user);
  if (!q.host.empty()) link += "&host=" + percent_encoded(q.host);
  return html_escape(link + "&limit=" + std::to_string(q.limit) + "&offset=" + std::to_string(offset));
}

std::string events_main(const HistoryPage& page, const HistoryQuery& q, std::int64_t now) {
  std::string out = "<h2>Changes since " + html_escape(local_time(q.since, "%Y-%m-%d %H:%M %Z")) +
                    (q.until != 0 ? " until " + html_escape(local_time(q.until, "%Y-%m-%d %H:%M %Z")) : "") +
                    (q.ip.empty() ? "" : " at " + html_escape(q.ip)) + (q.host.empty() ? "" : " at host " + html_name(q.host)) +
                    (q.user.empty() ? "" : " of " + html_name(q.user)) + "</h2>\n" +
                    (q.ip.empty() ? "" : moment_form(q.ip, now));
  const std::size_t shown = std::min(page.events.size(), q.limit);
  out += "<nav class=\"pages\"><span>" + (shown == 0   ? std::string("No changes")
                        : std::to_string(shown) + (shown == 1 ? " change" : " changes") + ", newest first") +
         "</span>";
  if (q.offset > 0) out += "<a href=\"" + page_link(q, q.offset > q.limit ? q.offset - q.limit : 0) + "\">\u2039 Newer</a>";
  if (page.events.size() > q.limit) out += "<a href=\"" + page_link(q, q.offset + q.limit) + "\">Older \u203a</a>";
  out += "</nav>\n" + head("When,Change,Host,User,Address");
  for (std::size_t i = 0; i < shown; ++i) {
    const LogonEvent& e = page.events[i];
    out += "<tr>" + time_cell(e.at, now) + "<td>" + e.kind + "</td><td class=\"host\">" + html_name(e.host) + "</td><td>" +
           user_name(e) + "</td><td>" + html_escape(e.address) + "</td></tr>\n";
  }
  return out + "</tbody></table>\n";
}

}  // namespace

std::string changes_html(const HistoryPage& page, const HistoryRequest& request, std::int64_t now) {
  return console_frame("recent changes", request.holders ? request.moment.ip : request.events.ip,
                       request.holders ? holders_main(page, request.moment, now) : events_main(page, request.events, now));
}
