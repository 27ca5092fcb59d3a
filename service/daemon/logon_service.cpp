// The service put together: each request passes the route table to the one handler of its
// endpoint, which answers once; the service logs and counts every answer.
#include "daemon/logon_service.h"

#include <algorithm>
#include <ctime>
#include <future>

#include "common/diagnostics.h"
#include "common/text.h"
#include "verify/file_access.h"
#include "http/query.h"

namespace {

constexpr std::size_t kMaxTarget = 8192;
constexpr const char* kLogonPath = "/tarnwise";
// The logon page, the one endpoint that takes a POST: its form's.
constexpr const char* kWebLogonPath = "/logon";
// The longest a health check may take before /healthz answers that the map does not answer.
constexpr std::chrono::milliseconds kHealthDeadline{3000};
// As many of the live entries as the throttle remembers pairs of an account and a machine.
constexpr std::size_t kMaxRememberedLogons = 100000;

// Who is credited at an address, as the credit lines name them.
std::string holders_text(const std::vector<CreditHolder>& holders) {
  if (holders.empty()) return "nobody";
  std::string out;
  for (const CreditHolder& h : holders) {
    out += (out.empty() ? "" : ", ") + (h.user.empty() ? std::string("an unauthenticated user")
                                                       : qualified_name(h.domain, h.user)) +
           " at " + clip(h.host, kMaxReportedHost);
  }
  return out;
}

// One line per change of who is credited at an address: the record of whom the helper named for
// it when. Only logins, logouts and expiries change credit, each at the few addresses it names,
// so these lines are not limited.
void report_credit(const std::vector<CreditChange>& changes) {
  for (const CreditChange& c : changes)
    report("credit at " + c.address + ": " + holders_text(c.before) + " -> " + holders_text(c.after));
}

// One connection's requests, handed to the service with what lives as long as the connection.
class ServiceConnection : public HttpConnection {
 public:
  ServiceConnection(LogonService& service, std::uint64_t id, std::string peer, std::string peer_address,
                    Verification& verification)
      : service_(service), connection_(id, std::move(peer), std::move(peer_address), verification) {}
  void handle(const HttpRequest& request, ReplyCallback done) override {
    service_.handle(request, connection_, std::move(done));
  }
  Reply refuse_unreadable(int status, const std::string& reason) override {
    return service_.refuse_unreadable(connection_, status, reason);
  }
  bool takes_large_authorization(std::string_view target) const override {
    const std::string_view path = target.substr(0, target.find('?'));
    return path == kLogonPath || path == kWebLogonPath;
  }
  Reply refuse_large_authorization(const std::string& reason) override {
    return service_.refuse_large_authorization(connection_, reason);
  }

 private:
  LogonService& service_;
  ClientConnection connection_;
};

// The throttle's memory of where each account logged on from is lost with the process; the map's
// live entries hold it still, so that after a restart a few wrong guesses at an account do not
// shut out the machines it is logged on at. Read once at start, oldest first, as the throttle
// keeps them.
void remember_live_logons(UserMap& users, LogonThrottle& throttle) {
  MapQuery live;
  live.limit = kMaxRememberedLogons;
  const std::int64_t now = std::time(nullptr);
  std::promise<MapPage> read;
  users.read(live, now, [&read](MapPage page) { read.set_value(std::move(page)); });
  MapPage page = read.get_future().get();
  std::sort(page.entries.begin(), page.entries.end(),
            [](const LogonEntry& a, const LogonEntry& b) { return a.last_seen < b.last_seen; });
  for (const LogonEntry& e : page.entries)
    remember_logon(throttle, e.user, e.peer, std::max<std::int64_t>(0, now - e.last_seen));
}

}  // namespace

LogonService::LogonService(const Options& options, NtlmVerifier& verifier, const KerberosAcceptor* kerberos,
                           UserMap& users, RequestLog* log)
    : options_(options),
      verifier_(verifier),
      log_(log),
      users_(users),
      verification_(options, verifier, kerberos, counters_.rejected),
      group_names_(verifier),
      access_(options.status_allow, options.admin_group_sid, options.admin_group),
      lookup_access_(options.status_allow, options.admin_group_sid, options.admin_group, options.lookup_allow),
      logon_(uses_test_features(options) ? std::make_unique<TestLogonHandler>(options, users, counters_, group_names_)
                                         : std::make_unique<LogonHandler>(options, users, counters_, group_names_)),
      console_(false, options, users, counters_),
      document_(true, options, users, counters_),
      lookup_(options, users, counters_, group_names_),
      history_(false, users),
      changes_(true, users),
      feed_(users),
      metrics_view_(metrics_, counters_, users, verification_.throttle(), [this] { return directory_parts(); },
                    options.interval),
      health_(users, kHealthDeadline, [this] { return proof_methods(); }),
      web_logon_(options, users, counters_, group_names_),
      console_readers_(access_, options, console_),
      document_readers_(access_, options, document_),
      lookup_readers_(lookup_access_, options, lookup_),
      history_readers_(access_, options, history_),
      changes_readers_(access_, options, changes_),
      feed_readers_(access_, options, feed_),
      metrics_readers_(access_, options, metrics_view_),
      routes_{{kLogonPath, logon_.get()},
              {"/", &console_readers_},
              {"/status.json", &document_readers_},
              {"/lookup", &lookup_readers_},
              {"/history.json", &history_readers_},
              {"/changes", &changes_readers_},
              {"/feed", &feed_readers_},
              {"/metrics", &metrics_readers_},
              {"/healthz", &health_},
              {kWebLogonPath, &web_logon_}} {
  users_.observe_commits([this](double seconds) {
    metrics_.commit_seconds.observe(seconds);
    feed_.wake();
  });
  users_.observe_credit(report_credit);
  users_.observe_expiries([this](const std::vector<LogonEntry>& expired) {
    feed_.wake();
    for (const LogonEntry& e : expired)
      report_limited("expired", "expired: " + (e.domain.empty() ? e.user : e.domain + "\\" + e.user) + " at " +
                                    clip(e.host, kMaxReportedHost) + ", last seen " + iso8601_utc(e.last_seen) +
                                    ", ran out " + iso8601_utc(e.expires));
  });
  const LogonMethod ntlm = options.verify == Options::Verification::Winbind ? LogonMethod::NtlmWinbind
                                                                             : LogonMethod::Accounts;
  verification_.observe(
      [this, ntlm](bool kerberos, Verification::Proof proof, double seconds) {
        metrics_.count_proof(kerberos ? LogonMethod::Kerberos : ntlm,
                             proof == Verification::Proof::Accepted   ? ProofResult::Accepted
                             : proof == Verification::Proof::Rejected ? ProofResult::Rejected
                                                                      : ProofResult::Unavailable,
                             seconds);
      },
      [this](const std::string& reason) { metrics_.count_unavailable(directory_unavailable_reason(reason)); });
  if (options.failed_logon_account_limit != 0) remember_live_logons(users_, verification_.throttle());
}

LogonService::~LogonService() {
  users_.observe_commits(nullptr);
  users_.observe_expiries(nullptr);
  users_.observe_credit(nullptr);
}

std::vector<std::pair<std::string, bool>> LogonService::directory_parts() {
  std::vector<std::pair<std::string, bool>> parts;
  if (options_.verify == Options::Verification::Winbind) parts.emplace_back("winbind", verifier_.ready().ok());
  if (!options_.keytab_path.empty())
    parts.emplace_back("keytab", unreadable_reason("keytab", options_.keytab_path, "").empty());
  return parts;
}

std::vector<ProofMethod> LogonService::proof_methods() {
  std::vector<ProofMethod> methods;
  if (options_.verify == Options::Verification::Winbind)
    methods.push_back(ProofMethod{"NTLM through winbind", verifier_.ready().why});
  else if (!options_.accounts_path.empty())
    methods.push_back(ProofMethod{"NTLM by the accounts file", verifier_.ready().why});
  if (!options_.keytab_path.empty())
    methods.push_back(
        ProofMethod{"Kerberos", unreadable_reason("keytab", options_.keytab_path, "its rights changed")});
  return methods;
}

std::unique_ptr<HttpConnection> LogonService::open_connection(std::string peer, std::string peer_address) {
  const std::uint64_t id = ++counters_.connections;
  return std::make_unique<ServiceConnection>(*this, id, std::move(peer), std::move(peer_address), verification_);
}

void LogonService::handle(const HttpRequest& request, ClientConnection& connection, ReplyCallback done) {
  ++counters_.requests;
  auto record = std::make_shared<RequestRecord>();
  record->conn = connection.id;
  record->seq = ++connection.requests;
  record->peer = connection.peer;
  record->method = request.method;
  record->target = request.target;
  Reply refusal;
  Handler* const handler = route(request, *record, &refusal);
  if (handler == nullptr) return finish(std::move(refusal), *record, done);
  ReplyCallback respond = [this, record, done = std::move(done)](Reply reply) mutable {
    finish(std::move(reply), *record, done);
  };
  handler->handle(Exchange{request, connection, record}, std::move(respond));
}

Handler* LogonService::route(const HttpRequest& request, RequestRecord& record, Reply* refusal) const {
  if (request.target.size() > kMaxTarget) {
    record.outcome =
        Outcome::of(Outcome::Kind::BadRequest, "target longer than " + std::to_string(kMaxTarget) + " bytes");
    *refusal = text_reply(414, outcome_text(record.outcome));
    refusal->close = true;
    return nullptr;
  }
  const std::string path = request.target.substr(0, request.target.find('?'));
  const auto route = routes_.find(path);
  if (route == routes_.end()) {
    record.outcome = Outcome::of(Outcome::Kind::NotFound);
    *refusal = text_reply(404, "not found: " + path);
    return nullptr;
  }
  const bool form = path == kWebLogonPath;
  if (request.method != "GET" && !(form && request.method == "POST")) {
    record.outcome = Outcome::of(Outcome::Kind::MethodNotAllowed);
    *refusal = text_reply(405, form ? "only GET and POST are served here" : "only GET is served here");
    refusal->headers.push_back(form ? "Allow: GET, POST" : "Allow: GET");
    return nullptr;
  }
  std::string unused_path;
  std::string error;
  if (!split_target(request.target, &unused_path, &record.params, &error)) {
    record.outcome = Outcome::of(Outcome::Kind::BadRequest, error);
    *refusal = text_reply(400, error);
    return nullptr;
  }
  return route->second;
}

void LogonService::finish(Reply reply, RequestRecord& record, ReplyCallback& done) {
  record.status = reply.status;
  if (record.target.compare(0, std::string(kLogonPath).size() + 1, std::string(kLogonPath) + "?") == 0) {
    const auto action = std::find_if(record.params.begin(), record.params.end(),
                                     [](const QueryParam& param) { return param.name == "action"; });
    if (action != record.params.end()) metrics_.count_logon(action->value, record.outcome);
  }
  if (log_ != nullptr) log_->append(record, now_epoch_seconds());
  done(std::move(reply));
}

Reply LogonService::refuse_large_authorization(ClientConnection& connection, const std::string& reason) {
  refuse_unreadable(connection, 401, reason);
  Reply reply = verification_.challenge({"NTLM"});
  reply.close = true;
  return reply;
}

Reply LogonService::refuse_unreadable(ClientConnection& connection, int status, const std::string& reason) {
  ++counters_.requests;
  RequestRecord record;
  record.conn = connection.id;
  record.seq = ++connection.requests;
  record.peer = connection.peer;
  record.status = status;
  record.outcome = Outcome::of(Outcome::Kind::BadRequest, reason);
  if (log_ != nullptr) log_->append(record, now_epoch_seconds());
  report_limited("bad request: " + reason_kind(reason),
                 "conn " + std::to_string(connection.id) + " from " + connection.peer + ": " +
                     outcome_text(record.outcome));
  Reply reply = text_reply(status, reason);
  reply.close = true;
  return reply;
}
