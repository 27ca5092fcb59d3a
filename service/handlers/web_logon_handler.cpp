// The logon page, /logon: a browser's user logs on or off at the browser's own address, proven by
// the same handshake as the agents', each change a POST of the page's own form.
#include "handlers/web_logon_handler.h"

#include "common/diagnostics.h"
#include "common/text.h"
#include "handlers/status_readers.h"
#include "http/query.h"
#include "ntlm/ntlm_server.h"
#include "pages/html_text.h"
#include "pages/logon_page.h"
#include "pages/return_url.h"
#include "pages/status_pages.h"

namespace {

// How long a page's form may be sent after the page was served: long enough for a user who
// reads it first, short enough that a token seen later (a log, a screen) is of no use.
constexpr std::int64_t kTokenLifetime = 3600;

Reply page_reply(int status, std::string html) {
  Reply reply = text_reply(status, std::move(html));
  reply.content_type = "text/html; charset=utf-8";
  reply.headers.push_back("Cache-Control: no-store");
  return reply;
}

// 400 for a request that is wrong in itself, 403 for one refused.
Reply refused(RequestRecord& record, Outcome why) {
  const int status = why.kind == Outcome::Kind::BadRequest ? 400 : 403;
  const std::string reason = why.reason;
  record.outcome = std::move(why);
  report_request(record, "refused: " + reason_kind(reason));
  return text_reply(status, reason);
}

// The value of the form's field `name`; empty when it has none.
std::string field(const std::vector<QueryParam>& fields, const std::string& name) {
  for (const QueryParam& f : fields) {
    if (f.name == name) return f.value;
  }
  return "";
}

// The address a GET names to go back to: all of the query after "url=", as it is. Squid writes the
// URL there with its own "?", "&" and "=" unescaped, so it cannot be read as parameters.
std::string address_to_return_to(const std::string& target) {
  const std::size_t query = target.find('?');
  if (query == std::string::npos || target.compare(query, 5, "?url=") != 0) return "";
  return target.substr(query + 5);
}

}  // namespace

WebLogonHandler::WebLogonHandler(const Options& options, UserMap& users, ServiceCounters& counters,
                                 GroupNames& group_names)
    : options_(options),
      users_(users),
      counters_(counters),
      group_names_(group_names),
      names_(options.service_names.empty() ? default_service_names() : options.service_names) {}

void WebLogonHandler::handle(const Exchange& exchange, ReplyCallback respond) {
  Outcome wrong_place = misplaced(exchange);
  if (wrong_place.kind != Outcome::Kind::Unset) return respond(refused(*exchange.record, std::move(wrong_place)));
  if (!tokens_.ready()) {
    exchange.record->outcome = Outcome::of(Outcome::Kind::Error, "no random key for the logon page's forms");
    return respond(text_reply(503, "the logon page is unavailable: the system gave no random key"));
  }
  if (exchange.request.method == "POST") return take(exchange, std::move(respond));
  show(exchange, std::move(respond));
}

Outcome WebLogonHandler::misplaced(const Exchange& exchange) const {
  // Through a proxy the browser's address is the proxy's: the browser's user would be recorded
  // there, and everyone behind it would pass as them. Browsers reach the page directly.
  const std::string proxy = proxy_sign(exchange.request);
  if (!proxy.empty())
    return Outcome::refusal(Outcome::Kind::Refused,
                            "a request a proxy forwarded (" + proxy + "): open the logon page without the proxy",
                            RefusalCause::Forwarded);
  return other_site(exchange.request, names_);
}

void WebLogonHandler::show(const Exchange& exchange, ReplyCallback respond) {
  const std::shared_ptr<RequestRecord>& record = exchange.record;
  const std::string back_to = address_to_return_to(exchange.request.target);
  LogonPageView view;
  view.address = exchange.connection.peer_address;
  view.back_to = returnable_url(back_to) ? back_to : "";
  const std::int64_t now = now_epoch_seconds();
  view.token = tokens_.issue(view.address, now);
  MapQuery query;
  query.ip = view.address;
  query.limit = 1;
  query.stale_before = now - stale_after(options_.interval);
  const auto reply_to = std::make_shared<ReplyCallback>(std::move(respond));
  users_.read(query, now, [view, record, reply_to](const MapPage& page) mutable {
    if (!page.failure.ok()) return (*reply_to)(read_failed(page, *record));
    const auto use = page.addresses.find(view.address);
    if (use != page.addresses.end() && use->second.answered && !use->second.answer.user.empty())
      view.holder = qualified_name(use->second.answer.domain, use->second.answer.user);
    record->outcome = Outcome::of(Outcome::Kind::Served, "logon page");
    (*reply_to)(page_reply(200, logon_page_html(view)));
  });
}

Outcome WebLogonHandler::cross_site(const HttpRequest& request) const {
  // The browser's own word on where a form comes from: the token alone keeps other sites out, and
  // this keeps them out as well should a token ever leak, from every round of the handshake.
  const std::string own = request.host ? "http://" + *request.host : "";
  if (request.origin && !equal_ignoring_case(*request.origin, own))
    return Outcome::refusal(Outcome::Kind::Refused, "a form sent from another site (Origin: " +
                                                        clip(*request.origin, 100) + ")");
  if (request.sec_fetch_site && *request.sec_fetch_site != "same-origin")
    return Outcome::refusal(Outcome::Kind::Refused, "a form sent from another site (Sec-Fetch-Site: " +
                                                        clip(*request.sec_fetch_site, 100) + ")");
  return Outcome{};
}

Outcome WebLogonHandler::unfit(const LogonForm& form, const std::string& peer) const {
  if (!tokens_.valid(form.token, peer, now_epoch_seconds(), kTokenLifetime))
    return Outcome::refusal(Outcome::Kind::Refused,
                            "a form without a valid token of this service's logon page: open the page again");
  if ((form.action != "login" && form.action != "logout") || (!form.back_to.empty() && !returnable_url(form.back_to)))
    return Outcome::of(Outcome::Kind::BadRequest, "the form names no action or an address not to return to");
  return Outcome{};
}

void WebLogonHandler::take(const Exchange& exchange, ReplyCallback respond) {
  RequestRecord& record = *exchange.record;
  std::vector<QueryParam> fields;
  std::string path;
  std::string error;
  if (!split_target("/logon?" + exchange.request.body, &path, &fields, &error)) {
    record.outcome = Outcome::of(Outcome::Kind::BadRequest, "the form: " + error);
    return respond(text_reply(400, "the form: " + error));
  }
  Outcome other = cross_site(exchange.request);
  if (other.kind != Outcome::Kind::Unset) return respond(refused(record, std::move(other)));
  const LogonForm form{field(fields, "action"), field(fields, "token"), field(fields, "url")};
  const std::string& peer = exchange.connection.peer_address;
  if (!exchange.request.authorization) {
    Outcome bad = unfit(form, peer);
    if (bad.kind != Outcome::Kind::Unset) return respond(refused(record, std::move(bad)));
    record.outcome = Outcome::of(Outcome::Kind::Challenge);
    return respond(exchange.connection.auth.challenge());
  }
  // A round of the handshake may come without the form (curl sends NTLM's first message so): the
  // form counts in the round that proves the user, which changes the map.
  const ClientConnection& connection = exchange.connection;
  exchange.connection.auth.authenticate(
      *exchange.request.authorization, std::move(respond),
      [this, form, &connection, record = exchange.record](Authentication handshake, ReplyCallback respond) {
        const std::optional<Identity> who = settle_handshake(std::move(handshake), *record, respond);
        if (!who) return;
        Outcome bad = unfit(form, connection.peer_address);
        if (bad.kind != Outcome::Kind::Unset) return respond(refused(*record, std::move(bad)));
        // A logon keeps the user's groups, which the proxy's policy may ask about.
        const auto reply_to = std::make_shared<ReplyCallback>(std::move(respond));
        name_groups(group_names_, *who, [this, form, &connection, record, reply_to](Identity named) {
          commit(form, named, connection, record, std::move(*reply_to));
        });
      });
}

void WebLogonHandler::commit(const LogonForm& form, const Identity& who, const ClientConnection& connection,
                             const std::shared_ptr<RequestRecord>& record, ReplyCallback respond) {
  record->user = who.user;
  record->domain = who.domain;
  record->authenticated = who.authenticated;
  const std::int64_t now = now_epoch_seconds();
  // The browser's own address is all it proves; it stands for the host, which a browser does not
  // tell, so that its logoff finds the entry its logon made.
  MapChange change;
  change.kind = form.action == "login" ? MapChange::Kind::Login : MapChange::Kind::Logout;
  change.entry.user = who.user;
  change.entry.domain = to_valid_utf8(who.domain);
  change.entry.host = connection.peer_address;
  change.entry.ips = {connection.peer_address};
  change.entry.peer = connection.peer_address;
  change.entry.authenticated = who.authenticated;
  change.entry.groups = entry_groups(who);
  change.entry.first_seen = change.entry.last_seen = now;
  change.entry.expires = now + options_.web_logon_hours * 3600;
  const auto reply_to = std::make_shared<ReplyCallback>(std::move(respond));
  users_.submit(change, [this, change, form, record, reply_to](const ChangeOutcome& outcome) {
    (*reply_to)(after_commit(outcome, change, form, *record));
  });
}

Reply WebLogonHandler::after_commit(const ChangeOutcome& outcome, const MapChange& change, const LogonForm& form,
                                    RequestRecord& record) {
  if (!outcome.committed()) {
    record.outcome = Outcome::of(Outcome::Kind::Error, outcome.failure.message());
    return outcome.failure.transient() ? map_unavailable("the user map cannot be reached; try again later")
                                       : text_reply(500, "the user map cannot be written; nothing was recorded");
  }
  const std::string who = html_name(qualified_name(change.entry.domain, change.entry.user));
  const std::string where = html_escape(change.entry.peer);
  if (!outcome.failure.ok()) {  // committed, but the map's limits refused this logon
    record.outcome = Outcome::refusal(Outcome::Kind::Refused, outcome.failure.why, RefusalCause::EntriesPerAccount);
    return page_reply(403, logon_result_html(who + " " + html_escape(outcome.failure.why) + ": log off elsewhere first",
                                             form.back_to, false));
  }
  const bool login = change.kind == MapChange::Kind::Login;
  ++(login ? counters_.logins : counters_.logouts);
  record.outcome = Outcome::of(login ? Outcome::Kind::Login
                                     : outcome.removed ? Outcome::Kind::Logout
                                                       : Outcome::Kind::LogoutWithoutEntry);
  const std::string message = login             ? who + " is logged on at " + where
                              : outcome.removed ? who + " is logged off at " + where
                                                : who + " was not logged on at " + where;
  return page_reply(200, logon_result_html(message, form.back_to, login && !form.back_to.empty()));
}
