// The service put together: each request passes the route table to the one handler of its
// endpoint, which answers once; the service logs and counts every answer.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "auth/authenticator.h"
#include "auth/status_access.h"
#include "config/options.h"
#include "handlers/feed_handler.h"
#include "handlers/handler.h"
#include "handlers/history_handler.h"
#include "handlers/logon_handler.h"
#include "handlers/status_readers.h"
#include "handlers/test_logon_handler.h"
#include "handlers/web_logon_handler.h"
#include "handlers/view_handlers.h"
#include "http/http_server.h"
#include "requests/request_log.h"
#include "pages/metrics.h"
#include "pages/status_pages.h"
#include "usermap/user_map.h"
#include "verify/kerberos.h"
#include "verify/verifier.h"

class LogonService : public HttpApplication {
 public:
  // `kerberos` may be null: no Kerberos, NTLM only.
  LogonService(const Options& options, NtlmVerifier& verifier, const KerberosAcceptor* kerberos, UserMap& users,
               RequestLog* log);
  ~LogonService() override;
  LogonService(const LogonService&) = delete;
  LogonService& operator=(const LogonService&) = delete;

  std::unique_ptr<HttpConnection> open_connection(std::string peer, std::string peer_address) override;
  ConnectionCounts& connection_counts() override { return metrics_.connections; }
  // Answers through `done`, exactly once: at once, or on the thread where its handler's work ends
  // (a verification, the user map's writer once a change is committed, a reader of the map).
  void handle(const HttpRequest& request, ClientConnection& connection, ReplyCallback done);
  // A request that could not be parsed: it is logged and answered with `status`, and the
  // connection is closed.
  Reply refuse_unreadable(ClientConnection& connection, int status, const std::string& reason);
  // A token too large even for the agents' endpoint: logged as unreadable, answered with 401 and
  // the NTLM offer alone, whose messages are small; the connection closes.
  Reply refuse_large_authorization(ClientConnection& connection, const std::string& reason);
  // Lets the verifications under way finish (their replies go to the network loop, which must
  // still exist) and stops the threads they run on; answers the change feed's waiting consumers.
  void stop_checks() {
    verification_.stop();
    group_names_.stop();
    feed_.stop();
  }

 private:
  // The handler of the request's endpoint, or null with the reply that refuses the request
  // (a target too long, no such endpoint, a method other than GET (or POST to the logon page), an
  // unreadable query).
  Handler* route(const HttpRequest& request, RequestRecord& record, Reply* refusal) const;
  void finish(Reply reply, RequestRecord& record, ReplyCallback& done);
  // The ways this service proves users, and what is wrong with each (winbind and its DC, the keytab).
  std::vector<ProofMethod> proof_methods();
  std::vector<std::pair<std::string, bool>> directory_parts();

  const Options& options_;
  NtlmVerifier& verifier_;
  RequestLog* log_;
  UserMap& users_;
  ServiceCounters counters_;
  ServiceMetrics metrics_;
  Verification verification_;
  GroupNames group_names_;
  const StatusAccess access_;
  const StatusAccess lookup_access_;  // also the proxies and gateways that only ask who is at an address
  // The test options, when given, have the agents' endpoint served by a handler of their own.
  const std::unique_ptr<LogonHandler> logon_;
  StatusHandler console_;
  StatusHandler document_;
  LookupHandler lookup_;
  HistoryHandler history_;
  HistoryHandler changes_;
  FeedHandler feed_;
  MetricsHandler metrics_view_;
  HealthHandler health_;
  WebLogonHandler web_logon_;
  ReadersOnly console_readers_;
  ReadersOnly document_readers_;
  ReadersOnly lookup_readers_;
  ReadersOnly history_readers_;
  ReadersOnly changes_readers_;
  ReadersOnly feed_readers_;
  ReadersOnly metrics_readers_;
  // The endpoints by path; the health check answers everyone, as a balancer's check reads it from
  // wherever it runs, and tells nothing of the users.
  std::map<std::string, Handler*> routes_;
};
