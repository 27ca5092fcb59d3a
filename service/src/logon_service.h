// What the service answers: the logon endpoint with its NTLM handshake, the status pages, and errors.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "accounts.h"
#include "diagnostics.h"
#include "health_check.h"
#include "metrics.h"
#include "ntlm_server.h"
#include "options.h"
#include "query.h"
#include "reload.h"
#include "reply.h"
#include "request_log.h"
#include "status_pages.h"
#include "user_map.h"

// The parts of a parsed HTTP request the service looks at.
struct HttpRequest {
  std::string method;
  std::string target;
  std::optional<std::string> authorization;
  bool keep_alive = true;
};

// Everything that lives as long as one TCP connection.
struct ConnectionState {
  ConnectionState(std::uint64_t id, std::string peer, std::string peer_address,
                  std::shared_ptr<const Accounts> accounts_in_use, const NtlmTarget& target, NtlmGuard guard)
      : id(id),
        peer(std::move(peer)),
        peer_address(std::move(peer_address)),
        accounts(std::move(accounts_in_use)),
        ntlm(*accounts, target, std::move(guard)) {}

  const std::uint64_t id;
  const std::string peer;          // "ip:port"
  const std::string peer_address;  // "ip"
  // The accounts when the connection opened; a reload does not change them under a handshake.
  const std::shared_ptr<const Accounts> accounts;
  std::uint64_t requests = 0;
  NtlmServerSession ntlm;
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
  // A view whose reply waits for the user map (one of its readers, or a check of it): started once
  // the request is routed, it answers through the function it is given, exactly once.
  std::function<void(std::function<void(Reply)>)> pending_view;
};

class LogonService {
 public:
  LogonService(const Options& options, const AccountsHolder& accounts, UserMap& users, RequestLog* log);
  ~LogonService();
  LogonService(const LogonService&) = delete;
  LogonService& operator=(const LogonService&) = delete;

  using ReplyHandler = std::function<void(Reply)>;

  std::unique_ptr<ConnectionState> open_connection(std::string peer, std::string peer_address);
  // Answers through `done`, exactly once: at once, or, when the request changes
  // the user map, on the map's writer thread once the change is committed, or,
  // when it reads the map, on the map's reader thread that read it.
  void handle(const HttpRequest& request, ConnectionState& connection, ReplyHandler done);
  // A request that could not be parsed: it is logged and answered with
  // `status`, and the connection is closed.
  Reply refuse_unreadable(ConnectionState& connection, int status, const std::string& reason);
  // Counted by the network side: connections open, and those refused beyond the limits.
  ServiceMetrics& metrics() { return metrics_; }

 private:
  struct Identity {
    std::string user;
    std::string domain;
    bool authenticated = false;
  };

  Reply route(const HttpRequest& request, ConnectionState& connection, RequestRecord* record);
  Reply status_page(bool json, ConnectionState& connection, RequestRecord* record);
  Reply render_status_page(bool json, const StatusQuery& query, std::int64_t now, const MapPage& page,
                           RequestRecord* record);
  Reply metrics_page(ConnectionState& connection, RequestRecord* record);
  Reply health_page(ConnectionState& connection, RequestRecord* record);
  // Why the login claims more than one login may (a host name or address list too long), or "".
  std::string over_claim(const LogonRequest& logon) const;
  Reply logon(const HttpRequest& request, const LogonRequest& logon, ConnectionState& connection,
              RequestRecord* record);
  Reply without_credentials(const LogonRequest& logon, ConnectionState& connection, RequestRecord* record);
  Reply with_ntlm_token(const std::string& token, const LogonRequest& logon, ConnectionState& connection,
                        RequestRecord* record);
  // Every refusal is counted and logged; its line on stderr is limited with others of
  // `stderr_kind`, and an empty kind keeps it off stderr (a throttled guess, whose
  // refusal was reported when it started).
  Reply rejected(const std::string& reason, ConnectionState& connection, RequestRecord* record,
                 const std::string& stderr_kind);
  Reply complete(const LogonRequest& logon, const Identity& who, ConnectionState& connection, RequestRecord* record);
  Reply record_in_map(const LogonRequest& logon, const Identity& who, ConnectionState& connection,
                      RequestRecord* record);
  Reply after_commit(const ChangeOutcome& outcome, const ConnectionState::PendingChange& pending, Reply reply,
                     RequestRecord* record);
  void finish(Reply reply, RequestRecord* record, const ReplyHandler& done);
  void add_interval_header(Reply* reply) const;

  const Options& options_;
  const AccountsHolder& accounts_;
  const NtlmTarget target_;  // named after the accounts at start; a reload keeps it
  const std::vector<std::string> service_names_;
  LogonThrottle throttle_;
  UserMap& users_;
  RequestLog* log_;
  ServiceCounters counters_;
  ServiceMetrics metrics_;
  HealthCheck health_;
};
