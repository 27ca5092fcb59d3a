// Entry point of pellamor-service: reads the command line, opens the verifiers, user map and log, and serves.
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <exception>
#include <thread>

#include "accounts.h"
#include "http_server.h"
#include "kerberos.h"
#include "logon_service.h"
#include "options.h"
#include "request_log.h"
#include "user_map.h"
#include "winbind.h"

namespace {

// The agent never repeats faster than this, whatever the interval header says.
constexpr std::int64_t kAgentMinimumInterval = 60;

int fail(const std::string& message, int code) {
  report(message);
  return code;
}

void warn_about_settings(const Options& options, bool no_accounts) {
  if (options.verify == Options::Verification::Accounts && no_accounts && !options.accept_unauthenticated_retry)
    report("warning: no accounts, so every NTLM login will be refused (see --accounts)");
  if (options.interval < kAgentMinimumInterval)
    report("warning: an interval below 60 s makes persistent logins of real agents expire between their refreshes");
  if (uses_test_features(options)) report("warning: test features are on; this service is for testing only");
}

// The network threads never wait for the disk (the user map's writer thread does), so one per core is enough.
unsigned worker_threads() { return std::max(1u, std::thread::hardware_concurrency()); }

ServerLimits server_limits(const Options& options) {
  ServerLimits limits;
  limits.max_connections_per_peer = static_cast<std::size_t>(options.max_connections_per_peer);
  limits.request_timeout = std::chrono::seconds(options.request_timeout);
  limits.idle_timeout = std::chrono::seconds(options.idle_timeout);
  return limits;
}

// Every connection holds a descriptor; the common default of 1024 is too close to the connection limit.
void raise_descriptor_limit(rlim_t wanted) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted) return;
  limit.rlim_cur = std::min(wanted, limit.rlim_max);
  setrlimit(RLIMIT_NOFILE, &limit);
}

int serve(int argc, char** argv) {
  Options options;
  std::string error;
  switch (parse_options(argc, argv, &options, &error)) {
    case ParseOutcome::Help:
      std::fputs(usage_text().c_str(), stdout);
      return 0;
    case ParseOutcome::Error:
      return fail(error, 2);
    case ParseOutcome::Run:
      break;
  }
  Accounts accounts;
  if (!options.accounts_path.empty() &&
      !Accounts::load(options.accounts_path, &accounts, &error, options.allow_empty_password))
    return fail(error, 1);
  const bool no_accounts = accounts.all().empty();
  std::unique_ptr<NtlmVerifier> verifier;
  if (options.verify == Options::Verification::Winbind) {
    if (!(verifier = WinbindVerifier::open(&error))) return fail(error, 1);
  } else {
    verifier = std::make_unique<AccountsVerifier>(std::move(accounts));
  }
  std::unique_ptr<KerberosAcceptor> kerberos;
  if (!options.keytab_path.empty() && !(kerberos = KerberosAcceptor::open(options.keytab_path, &error)))
    return fail(error, 1);
  std::unique_ptr<RequestLog> log;
  if (!options.request_log_path.empty() && !(log = RequestLog::open(options.request_log_path, &error)))
    return fail(error, 1);
  const std::unique_ptr<UserMap> users = UserMap::open(options.db_path, &error);
  if (!users) return fail(error, 1);

  LogonService service(options, *verifier, kerberos.get(), *users, log.get());
  const ServerLimits limits = server_limits(options);
  raise_descriptor_limit(limits.max_connections + 256);
  HttpServer server(service, limits);
  std::string bound;
  if (!server.listen(options.address, options.port, &bound, &error)) return fail(error, 1);
  warn_about_settings(options, no_accounts);
  std::printf("listening on %s\n", bound.c_str());
  std::fflush(stdout);
  server.run(worker_threads());
  service.stop_checks();
  // Commits what is queued while the network loop, which its replies would go to, still exists.
  users->stop_writer();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Whoever reads standard error may go away; a failed log write must not end the service.
  std::signal(SIGPIPE, SIG_IGN);
  // Boost.Asio reports some failures (threads, memory) by throwing; they end
  // the service with a message instead of an abort.
  try {
    return serve(argc, argv);
  } catch (const std::exception& e) {
    return fail(std::string("fatal: ") + e.what(), 1);
  }
}
