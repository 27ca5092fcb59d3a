// Entry point of pellamor-service: reads the command line, listens, opens the verifiers, log and user map, and serves.
#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <exception>
#include <thread>

#include "common/diagnostics.h"
#include "verify/accounts.h"
#include "verify/file_access.h"
#include "http/http_server.h"
#include "verify/kerberos.h"
#include "daemon/logon_service.h"
#include "ntlm/ntlm_server.h"
#include "config/options.h"
#include "usermap/postgres_store.h"
#include "daemon/reload.h"
#include "daemon/service_log.h"
#include "usermap/map_copy.h"
#include "requests/request_log.h"
#include "usermap/user_map.h"
#include "verify/winbind.h"

namespace {

// The administrators' group as the directory names it in logons: its SID, given or found through winbind.
bool resolve_admin_group(Options* options, WinbindVerifier* winbind, std::string* error) {
  if (options->admin_group.empty() || read_sid(options->admin_group, &options->admin_group_sid)) return true;
  const Failure unknown =
      winbind != nullptr ? winbind->group_sid(options->admin_group, &options->admin_group_sid)
                         : Failure::refused("a group name needs winbind (--verify winbind) to find its SID; give the "
                                            "SID (S-1-5-21-...)");
  if (unknown.ok()) return true;
  *error = "--admin-group " + options->admin_group + ": " + unknown.why;
  return false;
}

// Memory freed by one request stays with the service for the next instead of going back to the
// system: giving it back (madvise, munmap) makes the kernel interrupt every processor that runs
// one of the service's threads to flush its address translations, and under load that cost more
// than the requests themselves (the Squid helper's lookups ran at a quarter of the rate). What is
// kept is what the busiest moment needed: at most 16 MiB above it per thread arena.
void keep_freed_memory() {
  mallopt(M_TRIM_THRESHOLD, 16 << 20);
  mallopt(M_MMAP_THRESHOLD, 4 << 20);
}

// Where the service keeps its own files beside the map: the SQLite map's folder, or, with a map in
// PostgreSQL, the folder it was started in (the init script starts it in /var/lib/pellamor; the
// systemd unit sets KRB5RCACHEDIR).
std::string state_folder(const std::string& db_path) {
  if (is_postgres_uri(db_path)) return ".";
  const std::size_t slash = db_path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : db_path.substr(0, slash);
}

// What a keytab needs so that the packaged service reads it, and nobody else.
constexpr const char* kKeytabAccess = "the packaged service reads it as owner root, group pellamor, mode 0640";

// Each line of `text`, if any, as a line of its own.
void report_each_line(const std::string& before, const std::string& text) {
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    report(before + text.substr(start, end - start));
    start = end + 1;
  }
}

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
  limits.max_connections = static_cast<std::size_t>(options.max_connections);
  limits.max_connections_per_peer = static_cast<std::size_t>(options.max_connections_per_peer);
  limits.first_byte_timeout = std::chrono::seconds(std::min(options.first_byte_timeout, options.idle_timeout));
  limits.request_timeout = std::chrono::seconds(options.request_timeout);
  limits.idle_timeout = std::chrono::seconds(options.idle_timeout);
  limits.proxy_peers = options.proxy_protocol;
  return limits;
}

// Every connection holds a descriptor; the common default of 1024 is too close to the connection limit.
void raise_descriptor_limit(rlim_t wanted) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted) return;
  limit.rlim_cur = std::min(wanted, limit.rlim_max);
  setrlimit(RLIMIT_NOFILE, &limit);
}

int copy_the_map(const Options& options) {
  std::string said;
  std::string error;
  if (!copy_map(options.copy_from, options.copy_to, &said, &error)) return fail("--copy-map: " + error, 1);
  std::printf("%s\n", said.c_str());
  return 0;
}

// Beside the map's other files of the service's, where a restore of the map leaves it.
RestoreMark restore_mark(const Options& options) {
  return RestoreMark{state_folder(options.db_path) + "/pellamor-map.last-change", map_display_name(options.db_path),
                     options.interval};
}

int serve(int argc, char** argv) {
  Options options;
  std::string error;
  switch (parse_options(argc, argv, &options, &error)) {
    case ParseOutcome::Help:
      std::fputs(usage_text().c_str(), stdout);
      return 0;
    case ParseOutcome::Version:
      std::fputs(version_text().c_str(), stdout);
      return 0;
    case ParseOutcome::Error:
      return fail(error, 2);
    case ParseOutcome::CopyMap:
      return copy_the_map(options);
    case ParseOutcome::Run:
      break;
  }
  if (!options.service_log_path.empty() && !open_service_log(options.service_log_path, &error)) return fail(error, 1);
  Accounts accounts;
  if (!options.accounts_path.empty()) {
    const Failure unloaded = Accounts::load(options.accounts_path, &accounts, options.allow_empty_password);
    if (!unloaded.ok()) return fail(unloaded.message(), 1);
  }
  const bool no_accounts = accounts.all().empty();
  // The port first: a start that fails on a port in use leaves no files behind.
  const ServerLimits limits = server_limits(options);
  raise_descriptor_limit(limits.max_connections + 256);
  HttpServer server(limits);
  std::string bound;
  if (!server.listen(options.address, options.port, &bound, &error)) return fail(error, 1);
  std::unique_ptr<NtlmVerifier> verifier;
  AccountsVerifier* reloadable_accounts = nullptr;  // what SIGHUP reads again, when the accounts file verifies
  WinbindVerifier* winbind = nullptr;
  if (options.verify == Options::Verification::Winbind) {
    std::string notice;
    std::unique_ptr<WinbindVerifier> domain = WinbindVerifier::open(&notice, &error);
    if (!(winbind = domain.get())) return fail(error, 1);
    if (!notice.empty()) report(notice);
    verifier = std::move(domain);
  } else {
    auto from_file = std::make_unique<AccountsVerifier>(std::move(accounts));
    reloadable_accounts = from_file.get();
    verifier = std::move(from_file);
  }
  if (!resolve_admin_group(&options, winbind, &error)) return fail(error, 1);
  std::unique_ptr<KerberosAcceptor> kerberos;
  if (!options.keytab_path.empty()) {
    // GSSAPI calls a keytab it may not read "nonexistent or empty"; the start names the real problem.
    const std::string unreadable = unreadable_reason("keytab", options.keytab_path, kKeytabAccess);
    if (!unreadable.empty()) return fail("cannot use " + unreadable, 1);
    keep_replay_cache_in(state_folder(options.db_path));
    const std::vector<std::string> service_names =
        options.service_names.empty() ? default_service_names() : options.service_names;
    if (!(kerberos = KerberosAcceptor::open(options.keytab_path, service_names, &error))) return fail(error, 1);
  }
  std::unique_ptr<RequestLog> log;
  if (!options.request_log_path.empty() && !(log = RequestLog::open(options.request_log_path, &error)))
    return fail(error, 1);
  MapLimits map_limits;
  map_limits.max_entries_per_account = static_cast<std::size_t>(options.max_entries_per_account);
  map_limits.history_days = options.history_days;
  map_limits.credit_claims = options.credit_claims;
  std::string notice;
  const std::unique_ptr<UserMap> users =
      UserMap::open(options.db_path, map_limits, &notice, &error, restore_mark(options));
  if (!users) return fail(error, 1);
  report_each_line("user map " + map_display_name(options.db_path) + ": ", notice);

  LogonService service(options, *verifier, kerberos.get(), *users, log.get());
  warn_about_settings(options, no_accounts);
  std::printf("listening on %s\n", bound.c_str());
  std::fflush(stdout);
  SignalHooks hooks;
  hooks.reload = [&] { reload(options, reloadable_accounts, log.get()); };
  // Finishes the verifications under way, then commits and reads what is queued, while the
  // network loop, which the replies go to, still runs.
  hooks.finish = [&] {
    service.stop_checks();
    users->stop();
  };
  server.run(service, worker_threads(), hooks);
  service.stop_checks();
  users->stop();
  report_left_out(true);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Whoever reads standard error may go away; a failed log write must not end the service.
  std::signal(SIGPIPE, SIG_IGN);
  // A reload asked for while the service starts finds nothing to reload yet; it must not end it.
  std::signal(SIGHUP, SIG_IGN);
  keep_freed_memory();
  // Boost.Asio reports some failures (threads, memory) by throwing; they end
  // the service with a message instead of an abort.
  try {
    return serve(argc, argv);
  } catch (const std::exception& e) {
    return fail(std::string("fatal: ") + e.what(), 1);
  }
}
