// What the service answers: the logon endpoint with its NTLM and Kerberos handshakes, the status pages, and errors.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/diagnostics.h"
#include "verify/kerberos.h"
#include "handlers/health_check.h"
#include "pages/metrics.h"
#include "ntlm/ntlm_server.h"
#include "config/options.h"
#include "http/query.h"
#include "daemon/reload.h"
#include "http/http_server.h"
#include "http/reply.h"
#include "http/request.h"
#include "http/request_log.h"
#include "auth/status_access.h"
#include "pages/status_pages.h"
#include "usermap/user_map.h"
#include "verify/verifier.h"
#include "verify/worker_pool.h"

// Everything that lives as long as one TCP connection.
struct ConnectionState {
  ConnectionState(std::uint64_t id, std::string peer, std::string peer_address, NtlmVerifier& verifier,
                  NtlmTarget target, NtlmGuard guard)
      : id(id),
        peer(std::move(peer)),
        peer_address(std::move(peer_address)),
        target(std::move(target)),
        ntlm(verifier, this->target, std::move(guard)) {}

  const std::uint64_t id;
  const std::string peer;          // "ip:port"
  const std::string peer_address;  // "ip"
  // How this connection's challenges name the service: the directory's names when it opened
  // (winbind's come with its first answer, which may follow the start).
  const NtlmTarget target;
  std::uint64_t requests = 0;
  NtlmServerSession ntlm;
  KerberosExchange kerberos;
  // A request without credentials was answered with 401; in test mode the
  // next request without credentials is then accepted.
  bool challenged_without_credentials = false;
  // The user map change the request being handled makes; its reply waits for the commit.
  struct PendingChange {
    MapChange change;
    std::string who;  // the user as the reply names them
    std::uint64_t connection = 0;
  };
  std::optional<PendingChange> pending_change;
  // A verification that may block, set while the request is routed: it runs on
  // the worker threads and gives the request's reply.
  std::function<Reply(ConnectionState&, RequestRecord*)> pending_check;
  // A view whose reply waits for the user map (one of its readers, or a check of it): started once
  // the request is routed, it answers through the function it is given, exactly once.
  std::function<void(std::function<void(Reply)>)> pending_view;
};

class LogonService : public HttpApplication {
 public:
  // `kerberos` may be null: no Kerberos, NTLM only.
  LogonService(const Options& options, NtlmVerifier& verifier, const KerberosAcceptor* kerberos, UserMap& users,
               RequestLog* log);
  ~LogonService();
  LogonService(const LogonService&) = delete;
  LogonService& operator=(const LogonService&) = delete;

  using ReplyHandler = std::function<void(Reply)>;

  std::unique_ptr<HttpConnection> open_connection(std::string peer, std::string peer_address) override;
  ConnectionCounts& connection_counts() override { return metrics_.connections; }
  // Answers through `done`, exactly once: at once, or, when the request changes
  // the user map, on the map's writer thread once the change is committed, or,
  // when it reads the map, on the map's reader thread that read it.
  void handle(const HttpRequest& request, ConnectionState& connection, ReplyHandler done);
  // A request that could not be parsed: it is logged and answered with
  // `status`, and the connection is closed.
  Reply refuse_unreadable(ConnectionState& connection, int status, const std::string& reason);
  // Lets the verifications under way finish (their replies go to the network
  // loop, which must still exist) and stops the worker threads.
  void stop_checks();

 private:
  struct Identity {
    std::string user;
    std::string domain;
    bool authenticated = false;
    std::vector<std::string> groups;  // SIDs, from the directory
  };
  // What a request does once its user is proven: record the login, or show a status page.
  using Accepted = std::function<Reply(const Identity&, ConnectionState&, RequestRecord*)>;

  Reply route(const HttpRequest& request, ConnectionState& connection, RequestRecord* record);
  Reply status_page(bool json, ConnectionState& connection, RequestRecord* record);
  // The status pages for a peer outside loopback and --status-allow: for members of the
  // administrators' group, who log on as agents do.
  Reply status_for_members(const HttpRequest& request, const std::string& path, ConnectionState& connection,
                           RequestRecord* record);
  Reply admit_reader(const std::string& path, const Identity& who, ConnectionState& connection,
                     RequestRecord* record);
  // The console, /status.json or /metrics, for a reader that may see them.
  Reply view(const std::string& path, ConnectionState& connection, RequestRecord* record);
  Reply render_status_page(bool json, const StatusQuery& query, std::int64_t now, const MapPage& page,
                           RequestRecord* record);
  Reply metrics_page(ConnectionState& connection, RequestRecord* record);
  Reply health_page(ConnectionState& connection, RequestRecord* record);
  // What is wrong with the directory's parts in use (winbind and its DC, the keytab), or "".
  std::string directory_problem();
  // Those parts, each answering or not, for /metrics.
  std::vector<std::pair<std::string, bool>> directory_parts();
  LogonMethod ntlm_method() const;
  // Why the login claims more than one login may (a host name or address list too long), or "".
  std::string over_claim(const LogonRequest& logon) const;
  Reply logon(const HttpRequest& request, const LogonRequest& logon, ConnectionState& connection,
              RequestRecord* record);
  Reply without_credentials(const LogonRequest& logon, ConnectionState& connection, RequestRecord* record);
  // The handshake of an Authorization header, NTLM or Kerberos; `accepted` gives the reply once the user is proven.
  Reply authenticate(const std::string& header, const Accepted& accepted, ConnectionState& connection,
                     RequestRecord* record);
  // `scheme` is the one the client used ("NTLM" or "Negotiate"); the challenge goes back under it.
  Reply with_ntlm_token(const std::string& token, const std::string& scheme, const Accepted& accepted,
                        ConnectionState& connection, RequestRecord* record);
  Reply after_ntlm_check(const NtlmResult& result, const Accepted& accepted, ConnectionState& connection,
                         RequestRecord* record);
  Reply with_kerberos_token(const std::string& token, const Accepted& accepted, ConnectionState& connection,
                            RequestRecord* record);
  Reply after_kerberos_step(const KerberosStep& step, const Accepted& accepted, ConnectionState& connection,
                            RequestRecord* record);
  // 401 with the schemes this service offers.
  Reply challenge(std::vector<std::string> offers) const;
  // 503: nobody could verify the logon now.
  Reply unavailable(const std::string& reason, ConnectionState& connection, RequestRecord* record);
  // Every refusal is counted and logged; its line on stderr is limited with others of
  // `stderr_kind`, and an empty kind keeps it off stderr (a throttled guess, whose
  // refusal was reported when it started).
  Reply rejected(const std::string& reason, ConnectionState& connection, RequestRecord* record,
                 const std::string& stderr_kind);
  static void report_result(const ConnectionState& connection, const RequestRecord& record,
                            const std::string& stderr_kind);
  Reply complete(const LogonRequest& logon, const Identity& who, ConnectionState& connection, RequestRecord* record);
  Reply record_in_map(const LogonRequest& logon, const Identity& who, ConnectionState& connection,
                      RequestRecord* record);
  Reply after_commit(const ChangeOutcome& outcome, const ConnectionState::PendingChange& pending, Reply reply,
                     RequestRecord* record);
  // Tells on stderr, and in the request log, which claims of addresses the address rule does not credit.
  static void report_disputes(const ChangeOutcome& outcome, const ConnectionState::PendingChange& pending,
                              RequestRecord* record);
  void deliver(Reply reply, bool keep_alive, ConnectionState& connection, std::shared_ptr<RequestRecord> record,
               ReplyHandler done);
  void finish(Reply reply, RequestRecord* record, const ReplyHandler& done);
  void add_interval_header(Reply* reply) const;

  const Options& options_;
  NtlmVerifier& verifier_;
  const KerberosAcceptor* const kerberos_;
  const std::vector<std::string> service_names_;
  const StatusAccess access_;
  LogonThrottle throttle_;
  UserMap& users_;
  RequestLog* log_;
  ServiceCounters counters_;
  WorkerPool checks_;
  ServiceMetrics metrics_;
  HealthCheck health_;
};
