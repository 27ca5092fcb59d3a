// What SIGHUP reloads: the accounts file, swapped whole by its verifier, and the request log, reopened for rotation.
#include "daemon/reload.h"

#include "daemon/logon_service.h"

namespace {

std::string count_of(const Accounts& accounts) {
  const std::size_t n = accounts.all().size();
  return std::to_string(n) + (n == 1 ? " account" : " accounts");
}

}  // namespace

void reload(const Options& options, AccountsVerifier* accounts, RequestLog* log) {
  std::string error;
  if (log != nullptr && !log->reopen(&error)) report(error + "; the request log stays where it was");
  if (accounts == nullptr || options.accounts_path.empty()) return;
  Accounts fresh;
  if (!Accounts::load(options.accounts_path, &fresh, &error, options.allow_empty_password)) {
    report("accounts not reloaded, the " + count_of(*accounts->current()) + " in use stay: " + error);
    return;
  }
  report("reloaded " + count_of(fresh) + " from " + options.accounts_path);
  accounts->replace(std::move(fresh));
}
