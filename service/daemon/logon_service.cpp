// What the service answers: the logon endpoint with its NTLM and Kerberos handshakes, the status pages, and errors.
#include "daemon/logon_service.h"

#include <algorithm>

#include "pages/console_page.h"
#include "common/text.h"
#include "verify/file_access.h"

namespace {

constexpr std::size_t kMaxTarget = 8192;
// A host name on stderr is cut to this many bytes, so that the reason after it stays on the line.
constexpr std::size_t kMaxReportedHost = 256;
// The longest host name recorded, in characters: longer than any DNS name (253) can be.
constexpr std::size_t kMaxHostName = 255;
constexpr const char* kLogonPath = "/tarnwise";
// Verifications waiting for winbind or a domain controller run on these threads;
// a busy domain answers them one by one, so a few more than the cores is enough.
constexpr unsigned kCheckThreads = 16;
// What a client that got 503 because the domain could not be reached is told to wait.
constexpr const char* kDomainRetryAfter = "Retry-After: 30";
// The longest a health check may take before /healthz answers that the map does not answer.
constexpr std::chrono::milliseconds kHealthDeadline{3000};

bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const char x = (a[i] >= 'A' && a[i] <= 'Z') ? static_cast<char>(a[i] + 32) : a[i];
    const char y = (b[i] >= 'A' && b[i] <= 'Z') ? static_cast<char>(b[i] + 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

// The base64 of an NTLM message's signature: Windows sends a raw NTLM message
// under "Negotiate" when it gets no Kerberos ticket.
bool is_ntlm_token(const std::string& token) { return token.rfind("TlRMTVNTUA", 0) == 0; }

// The user map's store cannot be reached for now (a database server that is down or too busy).
Reply unavailable_reply(ServiceMetrics& metrics, const std::string& why) {
  metrics.count_unavailable(UnavailableReason::Map);
  Reply reply = text_reply(503, why);
  reply.headers.push_back("Retry-After: 10");
  return reply;
}

std::string credentials_after(const std::string& header, std::size_t space) {
  if (space == std::string::npos) return "";
  const std::size_t start = header.find_first_not_of(' ', space);
  return start == std::string::npos ? "" : header.substr(start);
}

std::string qualified_name(const std::string& domain, const std::string& user) {
  return domain.empty() ? user : domain + "\\" + user;
}

double seconds_since(std::chrono::steady_clock::time_point started) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

std::size_t characters(const std::string& utf8) {
  std::size_t count = 0;
  for (unsigned char c : utf8) count += (c & 0xC0) != 0x80;
  return count;
}

}  // namespace

LogonService::LogonService(const Options& options, NtlmVerifier& verifier, const KerberosAcceptor* kerberos,
                           UserMap& users, RequestLog* log)
    : options_(options),
      verifier_(verifier),
      kerberos_(kerberos),
      service_names_(options.service_names.empty() ? default_service_names() : options.service_names),
      access_(options.status_allow, options.admin_group_sid, options.admin_group),
      throttle_(options.failed_logon_limit, options.failed_logon_account_limit, options.failed_logon_seconds),
      users_(users),
      log_(log),
      checks_(kCheckThreads),
      health_(users, kHealthDeadline, [this] { return directory_problem(); }) {
  users_.observe_commits([this](double seconds) { metrics_.commit_seconds.observe(seconds); });
  users_.observe_expiries([](const std::vector<LogonEntry>& expired) {
    for (const LogonEntry& e : expired)
      report_limited("expired", "expired: " + qualified_name(e.domain, e.user) + " at " +
                                    clip(e.host, kMaxReportedHost) + ", last seen " + iso8601_utc(e.last_seen) +
                                    ", ran out " + iso8601_utc(e.expires));
  });
}

LogonService::~LogonService() {
  users_.observe_commits(nullptr);
  users_.observe_expiries(nullptr);
}

namespace {

// One connection's requests, handed to the service with the connection's state.
class ServiceConnection : public HttpConnection {
 public:
  ServiceConnection(LogonService& service, std::unique_ptr<ConnectionState> state)
      : service_(service), state_(std::move(state)) {}
  void handle(const HttpRequest& request, ReplyHandler done) override {
    service_.handle(request, *state_, std::move(done));
  }
  Reply refuse_unreadable(int status, const std::string& reason) override {
    return service_.refuse_unreadable(*state_, status, reason);
  }

 private:
  LogonService& service_;
  const std::unique_ptr<ConnectionState> state_;
};

}  // namespace

std::unique_ptr<HttpConnection> LogonService::open_connection(std::string peer, std::string peer_address) {
  const std::uint64_t id = ++counters_.connections;
  NtlmGuard guard{&service_names_, &throttle_, peer_address};
  return std::make_unique<ServiceConnection>(
      *this, std::make_unique<ConnectionState>(id, std::move(peer), std::move(peer_address), verifier_,
                                               default_ntlm_target(verifier_), std::move(guard)));
}

void LogonService::stop_checks() { checks_.stop(); }

void LogonService::handle(const HttpRequest& request, ConnectionState& connection, ReplyHandler done) {
  ++counters_.requests;
  auto record = std::make_shared<RequestRecord>();
  record->conn = connection.id;
  record->seq = ++connection.requests;
  record->peer = connection.peer;
  record->method = request.method;
  record->target = request.target;
  Reply reply = route(request, connection, record.get());
  if (connection.pending_check) {
    // The connection reads nothing more until this request is answered, so the check has it to itself.
    checks_.post([this, &connection, check = std::move(connection.pending_check), keep_alive = request.keep_alive,
                  record = std::move(record), done = std::move(done)]() mutable {
      Reply checked = check(connection, record.get());
      deliver(std::move(checked), keep_alive, connection, std::move(record), std::move(done));
    });
    connection.pending_check = nullptr;
    return;
  }
  deliver(std::move(reply), request.keep_alive, connection, std::move(record), std::move(done));
}

void LogonService::deliver(Reply reply, bool keep_alive, ConnectionState& connection,
                           std::shared_ptr<RequestRecord> record, ReplyHandler done) {
  if (!keep_alive) reply.close = true;
  if (connection.pending_view) {
    const auto view = std::move(connection.pending_view);
    connection.pending_view = nullptr;
    const bool close = reply.close;
    // What the handshake added (Kerberos' mutual authentication) goes with the page.
    return view([this, close, headers = std::move(reply.headers), record = std::move(record),
                 done = std::move(done)](Reply rendered) {
      rendered.headers.insert(rendered.headers.end(), headers.begin(), headers.end());
      rendered.close = close;
      finish(std::move(rendered), record.get(), done);
    });
  }
  if (!connection.pending_change) return finish(std::move(reply), record.get(), done);
  ConnectionState::PendingChange pending = std::move(*connection.pending_change);
  connection.pending_change.reset();
  MapChange change = pending.change;
  users_.submit(std::move(change), [this, pending = std::move(pending), reply = std::move(reply),
                                    record = std::move(record), done = std::move(done)](const ChangeOutcome& outcome) {
    finish(after_commit(outcome, pending, reply, record.get()), record.get(), done);
  });
}

void LogonService::finish(Reply reply, RequestRecord* record, const ReplyHandler& done) {
  record->status = reply.status;
  if (record->target.compare(0, std::string(kLogonPath).size() + 1, std::string(kLogonPath) + "?") == 0) {
    const auto action = std::find_if(record->params.begin(), record->params.end(),
                                     [](const QueryParam& param) { return param.name == "action"; });
    if (action != record->params.end()) metrics_.count_logon(action->value, record->result);
  }
  if (log_ != nullptr) log_->append(*record, now_epoch_seconds());
  done(std::move(reply));
}

Reply LogonService::refuse_unreadable(ConnectionState& connection, int status, const std::string& reason) {
  ++counters_.requests;
  RequestRecord record;
  record.conn = connection.id;
  record.seq = ++connection.requests;
  record.peer = connection.peer;
  record.status = status;
  record.result = "bad request: " + reason;
  if (log_ != nullptr) log_->append(record, now_epoch_seconds());
  report_limited("bad request: " + reason_kind(reason),
                 "conn " + std::to_string(connection.id) + " from " + connection.peer + ": " + record.result);
  Reply reply = text_reply(status, reason);
  reply.close = true;
  return reply;
}

Reply LogonService::route(const HttpRequest& request, ConnectionState& connection, RequestRecord* record) {
  if (request.target.size() > kMaxTarget) {
    record->result = "bad request: target longer than " + std::to_string(kMaxTarget) + " bytes";
    Reply reply = text_reply(414, record->result);
    reply.close = true;
    return reply;
  }
  const std::string path = request.target.substr(0, request.target.find('?'));
  if (path != kLogonPath && path != "/" && path != "/status.json" && path != "/metrics" && path != "/healthz") {
    record->result = "not found";
    return text_reply(404, "not found: " + path);
  }
  if (request.method != "GET") {
    record->result = "method not allowed";
    Reply reply = text_reply(405, "only GET is served here");
    reply.headers.push_back("Allow: GET");
    return reply;
  }
  std::string unused_path;
  std::string error;
  if (!split_target(request.target, &unused_path, &record->params, &error)) {
    record->result = "bad request: " + error;
    return text_reply(400, error);
  }
  // The balancer's health check reads /healthz from wherever it runs; it tells nothing of the users.
  if (path == "/healthz") return health_page(connection, record);
  if (path != kLogonPath) {
    if (access_.open_to(connection.peer_address)) return view(path, connection, record);
    return status_for_members(request, path, connection, record);
  }

  LogonRequest logon_request;
  if (!read_logon_request(record->params, &logon_request, &error)) {
    record->result = "bad request: " + error;
    return text_reply(400, error);
  }
  const std::string over = over_claim(logon_request);
  if (!over.empty()) {
    record->result = "refused: " + over;
    report_limited("refused: " + reason_kind(over),
                   "conn " + std::to_string(connection.id) + " from " + connection.peer + ": " + record->result);
    return text_reply(400, over);
  }
  return logon(request, logon_request, connection, record);
}

std::string LogonService::over_claim(const LogonRequest& logon_request) const {
  // A logout claims nothing, and must still remove an entry recorded under looser limits.
  if (logon_request.action != LogonAction::Login) return "";
  const std::size_t host = characters(to_valid_utf8(logon_request.hostname));
  if (host > kMaxHostName)
    return "hostname has " + std::to_string(host) + " characters; at most " + std::to_string(kMaxHostName) +
           " are recorded";
  const auto most = static_cast<std::size_t>(options_.max_addresses_per_login);
  if (logon_request.ips.size() > most)
    return "ip lists " + std::to_string(logon_request.ips.size()) + " addresses; at most " + std::to_string(most) +
           " are recorded per login (--max-addresses-per-login)";
  return "";
}

Reply LogonService::status_page(bool json, ConnectionState& connection, RequestRecord* record) {
  StatusQuery query;
  std::string error;
  if (!read_status_query(record->params, &query, &error)) {
    record->result = "bad request: " + error;
    return text_reply(400, error);
  }
  const std::int64_t now = now_epoch_seconds();
  query.map.stale_before = now - stale_after(options_.interval);
  // The console always shows the totals and the last day; so does any JSON view but a lookup by
  // address (what the Squid helper asks), which a reader of its own answers at once.
  ViewExtras extras;
  extras.totals = !json || query.map.ip.empty() || !query.search.empty();
  extras.history = !json;
  connection.pending_view = [this, json, query, now, extras, record](std::function<void(Reply)> reply) {
    users_.read(query.map, now, [this, json, query, now, record, reply](const MapPage& page) {
      reply(render_status_page(json, query, now, page, record));
    }, extras);
  };
  return text_reply(200, "");  // completed by render_status_page
}

Reply LogonService::status_for_members(const HttpRequest& request, const std::string& path,
                                       ConnectionState& connection,
                                       RequestRecord* record) {
  const std::string open = "loopback" + (options_.status_allow.empty() ? "" : " and " + options_.status_allow.text());
  if (!access_.admits_logons()) {
    record->result = "refused: the status pages answer " + open + " only (--status-allow), not " +
                     connection.peer_address;
    report_result(connection, *record, "refused: status pages");
    return text_reply(403, "the status pages answer " + open + " only\n");
  }
  if (!request.authorization) {
    record->result = "challenge";
    Reply reply = challenge({});
    reply.body = "the status pages answer members of " + access_.group_name() + " and " + open + "\n";
    return reply;
  }
  const Accepted reader = [this, path](const Identity& who, ConnectionState& c, RequestRecord* r) {
    return admit_reader(path, who, c, r);
  };
  return authenticate(*request.authorization, reader, connection, record);
}

Reply LogonService::admit_reader(const std::string& path, const Identity& who, ConnectionState& connection,
                                 RequestRecord* record) {
  record->user = who.user;
  record->domain = who.domain;
  record->authenticated = true;
  if (access_.admits(who.groups)) return view(path, connection, record);
  const std::string name = qualified_name(who.domain, who.user);
  record->result = "refused: " + name + " is not a member of " + access_.group_name() + ", who may read the status pages";
  report_result(connection, *record, "refused: status pages");
  return text_reply(403, name + " may not read the status pages: they answer members of " + access_.group_name() +
                             "\n");
}

Reply LogonService::view(const std::string& path, ConnectionState& connection, RequestRecord* record) {
  if (path == "/metrics") return metrics_page(connection, record);
  return status_page(path == "/status.json", connection, record);
}

Reply LogonService::render_status_page(bool json, const StatusQuery& query, std::int64_t now, const MapPage& page,
                                       RequestRecord* record) {
  if (!page.ok) {
    report_limited("error: the user map cannot be read", page.error);
    record->result = "error: " + page.error;
    return page.unavailable ? unavailable_reply(metrics_, "the user map cannot be reached; try again later")
                            : text_reply(500, "the user map cannot be read");
  }
  record->result = "status";
  Reply reply;
  reply.headers.push_back("Cache-Control: no-store");
  if (json) {
    reply.content_type = "application/json";
    reply.body = status_json(page, query, options_.interval, counters_, now);
  } else {
    reply.content_type = "text/html; charset=utf-8";
    reply.body = console_html(page, query, ConsoleContext{now, options_.interval, &counters_});
  }
  return reply;
}

Reply LogonService::metrics_page(ConnectionState& connection, RequestRecord* record) {
  if (!record->params.empty()) {
    record->result = "bad request: /metrics takes no parameters";
    return text_reply(400, "/metrics takes no parameters");
  }
  connection.pending_view = [this, record](std::function<void(Reply)> reply) {
    users_.count_current(now_epoch_seconds(), [this, record, reply](bool ok, std::int64_t count, const std::string&) {
      MetricsGauges gauges;
      if (ok) gauges.map_entries = count;
      const auto steady = std::chrono::steady_clock::now().time_since_epoch();
      const LogonThrottle::Refusing refusing =
          throttle_.refusing(std::chrono::duration_cast<std::chrono::seconds>(steady).count());
      gauges.throttled_pairs = refusing.pairs;
      gauges.throttled_accounts = refusing.accounts;
      gauges.directory = directory_parts();
      record->result = "metrics";
      Reply metrics = text_reply(200, metrics_text(metrics_, counters_, gauges));
      metrics.content_type = "text/plain; version=0.0.4; charset=utf-8";
      metrics.headers.push_back("Cache-Control: no-store");
      reply(std::move(metrics));
    });
  };
  return text_reply(200, "");
}

std::vector<std::pair<std::string, bool>> LogonService::directory_parts() {
  std::vector<std::pair<std::string, bool>> parts;
  std::string why;
  if (options_.verify == Options::Verification::Winbind) parts.emplace_back("winbind", verifier_.ready(&why));
  if (!options_.keytab_path.empty())
    parts.emplace_back("keytab", unreadable_reason("keytab", options_.keytab_path, "").empty());
  return parts;
}

std::string LogonService::directory_problem() {
  std::vector<std::string> problems;
  std::string why;
  if (!verifier_.ready(&why)) problems.push_back(why);
  if (!options_.keytab_path.empty()) {
    const std::string keytab = unreadable_reason("keytab", options_.keytab_path, "its rights changed");
    if (!keytab.empty()) problems.push_back(keytab);
  }
  std::string text;
  for (const std::string& problem : problems) text += (text.empty() ? "" : "; ") + problem;
  return text;
}

LogonMethod LogonService::ntlm_method() const {
  return options_.verify == Options::Verification::Winbind ? LogonMethod::NtlmWinbind : LogonMethod::Accounts;
}

Reply LogonService::health_page(ConnectionState& connection, RequestRecord* record) {
  if (!record->params.empty()) {
    record->result = "bad request: /healthz takes no parameters";
    return text_reply(400, "/healthz takes no parameters");
  }
  connection.pending_view = [this, record](std::function<void(Reply)> reply) {
    health_.ask([record, reply](const HealthResult& result) {
      record->result = "health: " + result.text;
      // One kind of line for each way the check fails, without the times in it.
      const std::string kind = result.text.substr(0, std::min<std::size_t>(result.text.find(" begun"), 80));
      if (!result.healthy) report_limited("health check failed: " + kind, "health check failed: " + result.text);
      Reply answer = text_reply(result.healthy ? 200 : 503, result.text + "\n");
      answer.headers.push_back("Cache-Control: no-store");
      reply(std::move(answer));
    });
  };
  return text_reply(200, "");
}

Reply LogonService::logon(const HttpRequest& request, const LogonRequest& logon_request, ConnectionState& connection,
                          RequestRecord* record) {
  if (!request.authorization) return without_credentials(logon_request, connection, record);
  connection.challenged_without_credentials = false;
  const Accepted login = [this, logon_request](const Identity& who, ConnectionState& c, RequestRecord* r) {
    return complete(logon_request, who, c, r);
  };
  return authenticate(*request.authorization, login, connection, record);
}

Reply LogonService::authenticate(const std::string& header, const Accepted& accepted, ConnectionState& connection,
                                 RequestRecord* record) {
  const std::size_t space = header.find(' ');
  const std::string scheme = header.substr(0, space);
  const std::string token = credentials_after(header, space);
  if (ascii_iequals(scheme, "NTLM")) return with_ntlm_token(token, "NTLM", accepted, connection, record);
  if (ascii_iequals(scheme, "Negotiate")) {
    if (is_ntlm_token(token)) return with_ntlm_token(token, "Negotiate", accepted, connection, record);
    return with_kerberos_token(token, accepted, connection, record);
  }
  record->authorization = "other";
  return rejected("unsupported authorization scheme \"" + scheme + "\"", connection, record,
                  "rejected: unsupported authorization scheme");
}

Reply LogonService::without_credentials(const LogonRequest& logon_request, ConnectionState& connection,
                                        RequestRecord* record) {
  record->authorization = "none";
  if (options_.accept_unauthenticated_retry && connection.challenged_without_credentials) {
    connection.challenged_without_credentials = false;
    const std::string domain = logon_request.domains.empty() ? "" : logon_request.domains.back();
    return complete(logon_request, Identity{"", domain, false, {}}, connection, record);
  }
  if (options_.test_first_status && *options_.test_first_status != 401) {
    record->result = "test: first status " + std::to_string(*options_.test_first_status);
    return text_reply(*options_.test_first_status, "status chosen by --test-first-status");
  }
  connection.challenged_without_credentials = true;
  record->result = "challenge";
  return challenge({});
}

Reply LogonService::challenge(std::vector<std::string> offers) const {
  if (offers.empty()) {
    if (kerberos_ != nullptr) offers.push_back("Negotiate");
    offers.push_back("NTLM");
  }
  Reply reply = text_reply(401, "authentication required");
  for (const std::string& offer : offers) reply.headers.push_back("WWW-Authenticate: " + offer);
  return reply;
}

Reply LogonService::with_ntlm_token(const std::string& token, const std::string& scheme, const Accepted& accepted,
                                    ConnectionState& connection, RequestRecord* record) {
  std::string not_ready;
  if (!verifier_.ready(&not_ready)) {
    record->authorization = "NTLM";
    return unavailable(not_ready, connection, record);
  }
  const NtlmResult result = connection.ntlm.process(token);
  if (result.step == NtlmStep::Challenge) {
    record->authorization = result.token_kind;
    record->result = "challenge";
    return challenge({scheme + " " + result.reply_token});
  }
  if (result.step != NtlmStep::Verify) return after_ntlm_check(result, accepted, connection, record);
  record->authorization = result.token_kind;
  connection.pending_check = [this, accepted](ConnectionState& c, RequestRecord* r) {
    const auto started = std::chrono::steady_clock::now();
    const NtlmResult checked = c.ntlm.verify();
    const ProofResult proof = checked.step == NtlmStep::Accepted      ? ProofResult::Accepted
                              : checked.step == NtlmStep::Unavailable ? ProofResult::Unavailable
                                                                      : ProofResult::Rejected;
    metrics_.count_proof(ntlm_method(), proof, seconds_since(started));
    return after_ntlm_check(checked, accepted, c, r);
  };
  return Reply{};  // the check's reply replaces it
}

Reply LogonService::after_ntlm_check(const NtlmResult& result, const Accepted& accepted, ConnectionState& connection,
                                     RequestRecord* record) {
  record->authorization = result.token_kind;
  if (!result.user.empty() || !result.domain.empty()) {
    record->user = result.user;
    record->domain = result.domain;
  }
  switch (result.step) {
    case NtlmStep::Accepted:
      return accepted(Identity{result.user, result.domain, true, result.groups}, connection, record);
    case NtlmStep::Unavailable:
      return unavailable(result.reason, connection, record);
    case NtlmStep::Challenge:  // answered before any check
    case NtlmStep::Verify:
    case NtlmStep::Rejected:
      break;
  }
  const std::string kind = result.throttled           ? ""
                           : result.throttle_started ? "failed-logon limit reached"
                                                     : "rejected: " + reason_kind(result.reason);
  return rejected(result.reason, connection, record, kind);
}

Reply LogonService::with_kerberos_token(const std::string& token, const Accepted& accepted,
                                        ConnectionState& connection, RequestRecord* record) {
  record->authorization = "Kerberos";
  if (kerberos_ == nullptr)
    return rejected("a Negotiate token that is not NTLM, and Kerberos is not set up (--keytab)", connection, record,
                    "rejected: Kerberos not set up");
  const std::optional<Bytes> decoded = base64_decode(token);
  if (!decoded || decoded->empty())
    return rejected("Negotiate token is not valid base64", connection, record, "rejected: Negotiate token");
  connection.pending_check = [this, ticket = *decoded, accepted](ConnectionState& c, RequestRecord* r) {
    const auto started = std::chrono::steady_clock::now();
    const KerberosStep step = c.kerberos.accept(*kerberos_, ticket);
    if (step.kind != KerberosStep::Kind::Continue)
      metrics_.count_proof(LogonMethod::Kerberos,
                           step.kind == KerberosStep::Kind::Accepted ? ProofResult::Accepted : ProofResult::Rejected,
                           seconds_since(started));
    return after_kerberos_step(step, accepted, c, r);
  };
  return Reply{};  // the check's reply replaces it
}

Reply LogonService::after_kerberos_step(const KerberosStep& step, const Accepted& accepted,
                                        ConnectionState& connection, RequestRecord* record) {
  const std::string token = step.reply_token.empty() ? "" : " " + base64_encode(step.reply_token);
  switch (step.kind) {
    case KerberosStep::Kind::Continue:
      record->result = "challenge";
      return challenge({"Negotiate" + token});
    case KerberosStep::Kind::Accepted: {
      Reply reply = accepted(Identity{step.who.user, step.who.domain, true, step.who.groups}, connection, record);
      // Mutual authentication: the client checks that it reached the service it meant.
      if (!token.empty()) reply.headers.push_back("WWW-Authenticate: Negotiate" + token);
      return reply;
    }
    case KerberosStep::Kind::Refused:
      break;
  }
  return rejected(step.reason, connection, record, "rejected: " + reason_kind(step.reason));
}

Reply LogonService::unavailable(const std::string& reason, ConnectionState& connection, RequestRecord* record) {
  metrics_.count_unavailable(directory_unavailable_reason(reason));
  record->result = "unavailable: " + reason;
  report_result(connection, *record, "unavailable: " + reason_kind(reason));
  Reply reply = text_reply(503, "the logon cannot be verified now; try again later");
  reply.headers.push_back(kDomainRetryAfter);
  return reply;
}

Reply LogonService::rejected(const std::string& reason, ConnectionState& connection, RequestRecord* record,
                             const std::string& stderr_kind) {
  ++counters_.rejected;
  record->result = "rejected: " + reason;
  if (stderr_kind.empty()) return challenge({});
  report_result(connection, *record, stderr_kind);
  return challenge({});
}

void LogonService::report_result(const ConnectionState& connection, const RequestRecord& record,
                                 const std::string& stderr_kind) {
  std::string host;
  for (const QueryParam& param : record.params) {
    if (param.name == "hostname") host = ", host " + clip(param.value, kMaxReportedHost);
  }
  report_limited(stderr_kind,
                 "conn " + std::to_string(connection.id) + " from " + connection.peer + host + ": " + record.result);
}

Reply LogonService::complete(const LogonRequest& logon_request, const Identity& who, ConnectionState& connection,
                             RequestRecord* record) {
  record->user = who.user;
  record->domain = who.domain;
  record->authenticated = who.authenticated;
  Reply reply;
  if (options_.test_final_status && *options_.test_final_status != 200) {
    record->result = "test: final status " + std::to_string(*options_.test_final_status);
    reply = text_reply(*options_.test_final_status, "status chosen by --test-final-status");
  } else {
    reply = record_in_map(logon_request, who, connection, record);
    if (reply.status == 200) add_interval_header(&reply);
  }
  if (options_.test_final_version) {
    reply.version = *options_.test_final_version;
    reply.close = reply.version != "1.1";
  }
  return reply;
}

Reply LogonService::record_in_map(const LogonRequest& logon_request, const Identity& id, ConnectionState& connection,
                                  RequestRecord*) {
  const std::int64_t now = now_epoch_seconds();
  MapChange change;
  // Windows machines send names in their code page; the map keeps valid UTF-8.
  change.entry.user = id.user;
  change.entry.domain = to_valid_utf8(id.domain);
  change.entry.host = to_valid_utf8(logon_request.hostname);
  change.entry.ips = logon_request.ips;
  change.entry.peer = connection.peer_address;
  change.entry.relayed = options_.trusted_relays.contains(connection.peer_address);
  change.entry.persistent = logon_request.persistent;
  change.entry.authenticated = id.authenticated;
  change.entry.first_seen = change.entry.last_seen = now;
  if (logon_request.action == LogonAction::Login) {
    change.entry.expires = now + (change.entry.persistent ? 2 * options_.interval : options_.nonpersistent_lifetime);
  } else {
    change.kind = MapChange::Kind::Logout;
  }
  const std::string name = id.authenticated ? qualified_name(id.domain, id.user) : "unauthenticated user";
  connection.pending_change = ConnectionState::PendingChange{std::move(change), name, connection.id};
  return text_reply(200, "");  // completed by after_commit
}

Reply LogonService::after_commit(const ChangeOutcome& outcome, const ConnectionState::PendingChange& pending,
                                 Reply reply, RequestRecord* record) {
  if (!outcome.ok || !outcome.refused.empty()) {
    Reply failed;
    if (!outcome.ok) {
      report_limited("error: the user map cannot be written", outcome.error);
      record->result = "error: " + outcome.error;
      failed = outcome.unavailable
                   ? unavailable_reply(metrics_, "the user map cannot be reached; nothing was recorded, try again later")
                   : text_reply(500, "the user map cannot be written; nothing was recorded");
    } else {
      const std::string why = pending.who + " " + outcome.refused + " (--max-entries-per-account); log out at one "
                              "of them or wait until one expires";
      record->result = "refused: " + why;
      report_limited("refused: live entries per account",
                     "conn " + std::to_string(pending.connection) + " from " + record->peer + ", host " +
                         clip(pending.change.entry.host, kMaxReportedHost) + ": " + record->result);
      failed = text_reply(403, why);
    }
    failed.version = reply.version;
    failed.close = reply.close;
    return failed;
  }
  const bool login = pending.change.kind == MapChange::Kind::Login;
  ++(login ? counters_.logins : counters_.logouts);
  record->result = login ? "login" : outcome.removed ? "logout" : "logout (no entry)";
  reply.body = record->result + " recorded for " + pending.who + " at " + pending.change.entry.host + "\n";
  if (!outcome.uncredited.empty())
    reply.body += "not credited at " + join_addresses(outcome.uncredited) + ": another live login comes from there\n";
  report_disputes(outcome, pending, record);
  return reply;
}

void LogonService::report_disputes(const ChangeOutcome& outcome, const ConnectionState::PendingChange& pending,
                                   RequestRecord* record) {
  const std::string where = "conn " + std::to_string(pending.connection) + " from " + record->peer + ", host " +
                            clip(pending.change.entry.host, kMaxReportedHost) + ": ";
  record->uncredited = outcome.uncredited;
  if (!outcome.uncredited.empty())
    report_limited("claim not credited", where + pending.who + " claims " + join_addresses(outcome.uncredited) +
                                             ", where another live login comes from: not credited there while it lives");
  for (const OutrankedClaim& claim : outcome.outranked) {
    report_limited("claim not credited",
                   where + pending.who + (pending.change.entry.relayed ? " reports, through a trusted relay, "
                                                                        : " comes from ") +
                       claim.address + ": the claim of it by " +
                       qualified_name(claim.domain, claim.user) + " at " + clip(claim.host, kMaxReportedHost) +
                       " is no longer credited");
  }
}

void LogonService::add_interval_header(Reply* reply) const {
  if (options_.test_no_interval_header) return;
  if (options_.test_interval_header) {
    reply->headers.push_back(*options_.test_interval_header);
  } else {
    reply->headers.push_back("Persistent-Time: " + std::to_string(options_.interval));
  }
}
