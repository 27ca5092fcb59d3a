// The agents' endpoint, /tarnwise: a login or logout, proven by its handshake and recorded in the user map.
#include "handlers/logon_handler.h"

#include <algorithm>

#include "common/diagnostics.h"
#include "common/text.h"

namespace {

// The longest host name recorded, in characters: longer than any DNS name (253) can be.
constexpr std::size_t kMaxHostName = 255;

bool holds(const std::vector<std::string>& ips, const std::string& ip) {
  return std::find(ips.begin(), ips.end(), ip) != ips.end();
}

// The first `most` addresses of a list longer than that. The address the login came from, when the
// list names it, is the one the map can credit for certain: it takes the last place if it was beyond.
std::vector<std::string> first_addresses(const std::vector<std::string>& ips, const std::string& peer,
                                         std::size_t most) {
  std::vector<std::string> kept(ips.begin(), ips.begin() + static_cast<std::ptrdiff_t>(most));
  if (holds(ips, peer) && !holds(kept, peer)) kept.back() = peer;
  return kept;
}

// The login as it is recorded: a list longer than `most` cut to its first addresses, and `cut` then
// says so; anything else as it came.
LogonRequest within_address_limit(const LogonRequest& logon, const std::string& peer, std::int64_t limit,
                                  std::string* cut) {
  const auto most = static_cast<std::size_t>(limit);
  if (logon.action != LogonAction::Login || logon.ips.size() <= most) return logon;
  LogonRequest kept = logon;
  kept.ips = first_addresses(logon.ips, peer, most);
  *cut = "recorded " + std::to_string(most) + " of the " + std::to_string(logon.ips.size()) +
         " addresses listed (--max-addresses-per-login): " + join_addresses(kept.ips);
  return kept;
}

}  // namespace

LogonHandler::LogonHandler(const Options& options, UserMap& users, ServiceCounters& counters,
                           GroupNames& group_names)
    : options_(options), users_(users), counters_(counters), group_names_(group_names) {}

void LogonHandler::handle(const Exchange& exchange, ReplyCallback respond) {
  RequestRecord& record = *exchange.record;
  // A page on any site can make a browser send this request and answer the challenge with its
  // user's own logon (the service is an intranet site): the map would change at that site's will.
  const std::string browser = browser_sign(exchange.request);
  if (!browser.empty()) {
    const std::string why = "a browser's request (" + browser + "): the agents' endpoint takes none";
    record.outcome = Outcome::refusal(Outcome::Kind::Refused, why, RefusalCause::FromBrowser);
    report_limited("refused: a browser's request", "conn " + std::to_string(record.conn) + " from " + record.peer +
                                                       ": " + outcome_text(record.outcome));
    return respond(text_reply(403, why + "\n"));
  }
  LogonRequest logon;
  std::string error;
  if (!read_logon_request(record.params, &logon, &error)) {
    record.outcome = Outcome::of(Outcome::Kind::BadRequest, error);
    return respond(text_reply(400, error));
  }
  Outcome over = over_claim(logon);
  if (over.kind != Outcome::Kind::Unset) {
    const std::string why = over.reason;
    record.outcome = std::move(over);
    report_limited("refused: " + reason_kind(why), "conn " + std::to_string(record.conn) + " from " + record.peer +
                                                       ": " + outcome_text(record.outcome));
    return respond(text_reply(400, why));
  }
  if (!exchange.request.authorization) return without_credentials(logon, exchange, std::move(respond));
  with_credentials(logon, exchange, std::move(respond));
}

Outcome LogonHandler::over_claim(const LogonRequest& logon) const {
  // A logout claims nothing, and must still remove an entry recorded under looser limits. A list of
  // more addresses than a login may claim is cut, not refused (`within_address_limit`): a PC with many
  // adapters would otherwise never be recorded at all.
  if (logon.action != LogonAction::Login) return Outcome{};
  const std::size_t host = utf8_characters(to_valid_utf8(logon.hostname));
  if (host > kMaxHostName)
    return Outcome::refusal(Outcome::Kind::Refused,
                            "hostname has " + std::to_string(host) + " characters; at most " +
                                std::to_string(kMaxHostName) + " are recorded",
                            RefusalCause::HostNameTooLong);
  return Outcome{};
}

void LogonHandler::without_credentials(const LogonRequest&, const Exchange& exchange, ReplyCallback respond) {
  exchange.record->outcome = Outcome::of(Outcome::Kind::Challenge);
  respond(exchange.connection.auth.challenge());
}

void LogonHandler::with_credentials(const LogonRequest& logon, const Exchange& exchange, ReplyCallback respond) {
  const ClientConnection& connection = exchange.connection;
  exchange.connection.auth.authenticate(
      *exchange.request.authorization, std::move(respond),
      [this, logon, &connection, record = exchange.record](Authentication handshake, ReplyCallback respond) {
        const std::optional<Identity> who = settle_handshake(std::move(handshake), *record, respond);
        if (who) complete(logon, *who, connection, record, std::move(respond));
      });
}

void LogonHandler::complete(const LogonRequest& logon, const Identity& who, const ClientConnection& connection,
                            const std::shared_ptr<RequestRecord>& record, ReplyCallback respond) {
  record->user = who.user;
  record->domain = who.domain;
  record->authenticated = who.authenticated;
  // A logout keeps no groups.
  if (logon.action != LogonAction::Login) return commit(logon, who, connection, record, std::move(respond));
  const auto reply_to = std::make_shared<ReplyCallback>(std::move(respond));
  name_groups(group_names_, who, [this, logon, &connection, record, reply_to](Identity named) {
    commit(logon, named, connection, record, std::move(*reply_to));
  });
}

void LogonHandler::commit(const LogonRequest& logon, const Identity& who, const ClientConnection& connection,
                          const std::shared_ptr<RequestRecord>& record, ReplyCallback respond) {
  std::string cut;
  const LogonRequest kept =
      within_address_limit(logon, connection.peer_address, options_.max_addresses_per_login, &cut);
  Recording recorded = recording(kept, who, connection);
  if (!cut.empty())
    report_limited("recorded in part: too many addresses", "conn " + std::to_string(record->conn) + " from " +
                                                                record->peer + ": " + cut);
  MapChange change = recorded.change;
  const auto reply_to = std::make_shared<ReplyCallback>(std::move(respond));
  users_.submit(std::move(change),
                [this, recorded = std::move(recorded), record, reply_to, cut](const ChangeOutcome& outcome) {
                  Reply reply = after_commit(outcome, recorded, *record);
                  if (reply.status == 200 && !cut.empty()) reply.body += cut + "\n";
                  (*reply_to)(final_reply(std::move(reply)));
                });
}

LogonHandler::Recording LogonHandler::recording(const LogonRequest& logon, const Identity& id,
                                                const ClientConnection& connection) const {
  const std::int64_t now = now_epoch_seconds();
  MapChange change;
  // Windows machines send names in their code page; the map keeps valid UTF-8.
  change.entry.user = id.user;
  change.entry.domain = to_valid_utf8(id.domain);
  change.entry.host = to_valid_utf8(logon.hostname);
  change.entry.ips = logon.ips;
  change.entry.peer = connection.peer_address;
  change.entry.relayed = options_.trusted_relays.contains(connection.peer_address);
  change.entry.persistent = logon.persistent;
  change.entry.authenticated = id.authenticated;
  change.entry.first_seen = change.entry.last_seen = now;
  change.entry.groups = entry_groups(id);
  if (logon.action == LogonAction::Login) {
    change.entry.expires = now + (change.entry.persistent ? 2 * options_.interval : options_.nonpersistent_lifetime);
  } else {
    change.kind = MapChange::Kind::Logout;
  }
  const std::string name = id.authenticated ? qualified_name(id.domain, id.user) : "unauthenticated user";
  return Recording{std::move(change), name};
}

Reply LogonHandler::after_commit(const ChangeOutcome& outcome, const Recording& recorded, RequestRecord& record) {
  if (!outcome.committed()) {
    report_limited("error: the user map cannot be written", outcome.failure.message());
    record.outcome = Outcome::of(Outcome::Kind::Error, outcome.failure.message());
    return outcome.failure.transient()
               ? map_unavailable("the user map cannot be reached; nothing was recorded, try again later")
               : text_reply(500, "the user map cannot be written; nothing was recorded");
  }
  if (!outcome.failure.ok()) {  // committed, but the map's limits refused this login
    const std::string why = recorded.who + " " + outcome.failure.why + " (--max-entries-per-account); log out at one "
                            "of them or wait until one expires";
    record.outcome = Outcome::refusal(Outcome::Kind::Refused, why, RefusalCause::EntriesPerAccount);
    report_limited("refused: live entries per account",
                   "conn " + std::to_string(record.conn) + " from " + record.peer + ", host " +
                       clip(recorded.change.entry.host, kMaxReportedHost) + ": " + outcome_text(record.outcome));
    return text_reply(403, why);
  }
  const bool login = recorded.change.kind == MapChange::Kind::Login;
  ++(login ? counters_.logins : counters_.logouts);
  record.outcome = Outcome::of(login             ? Outcome::Kind::Login
                               : outcome.removed ? Outcome::Kind::Logout
                                                 : Outcome::Kind::LogoutWithoutEntry);
  Reply reply = text_reply(200, outcome_text(record.outcome) + " recorded for " + recorded.who + " at " +
                                    recorded.change.entry.host + "\n");
  if (!outcome.uncredited.empty())
    reply.body += "not credited at " + join_addresses(outcome.uncredited) + ": this login does not come from there\n";
  add_interval_header(&reply);
  report_disputes(outcome, recorded, record);
  return reply;
}

void LogonHandler::report_disputes(const ChangeOutcome& outcome, const Recording& recorded, RequestRecord& record) {
  record.uncredited = outcome.uncredited;
  // A PC's other addresses (a second interface, a VPN) are uncredited at every refresh: only a claim
  // of what another login holds is worth a line.
  if (outcome.disputed.empty()) return;
  report_limited("claim not credited",
                 "conn " + std::to_string(record.conn) + " from " + record.peer + ", host " +
                     clip(recorded.change.entry.host, kMaxReportedHost) + ": " + recorded.who + " claims " +
                     join_addresses(outcome.disputed) + ", where another live login is credited: not credited there");
}

void LogonHandler::add_interval_header(Reply* reply) const {
  reply->headers.push_back("Persistent-Time: " + std::to_string(options_.interval));
}
