// What SIGHUP reloads: the accounts file, swapped whole by its verifier, and the service's logs, reopened for rotation.
#include "daemon/reload.h"

#include "common/diagnostics.h"
#include "daemon/service_log.h"

namespace {

std::string count_of(const Accounts& accounts) {
  const std::size_t n = accounts.all().size();
  return std::to_string(n) + (n == 1 ? " account" : " accounts");
}

}  // namespace

void reload(const Options& options, AccountsVerifier* accounts, RequestLog* log) {
  std::string error;
  // Every reload says what it did, so that whoever asked for it (logrotate, through the init
  // script) can tell that it was done; the service log first, so that these lines go to the new one.
  if (!options.service_log_path.empty())
    report(open_service_log(options.service_log_path, &error) ? "reopened the service log " + options.service_log_path
                                                              : error + "; the service log stays where it was");
  if (log != nullptr)
    report(log->reopen(&error) ? "reopened the request log " + options.request_log_path
                               : error + "; the request log stays where it was");
  if (accounts == nullptr || options.accounts_path.empty()) {
    if (log == nullptr && options.service_log_path.empty())
      report("reloaded: neither an accounts file nor a log to read again or reopen");
    return;
  }
  Accounts fresh;
  const Failure unloaded = Accounts::load(options.accounts_path, &fresh, options.allow_empty_password);
  if (!unloaded.ok()) {
    report("accounts not reloaded, the " + count_of(*accounts->current()) + " in use stay: " + unloaded.message());
    return;
  }
  report("reloaded " + count_of(fresh) + " from " + options.accounts_path);
  accounts->replace(std::move(fresh));
}
