// What SIGHUP reloads: the accounts file, swapped whole by its verifier, and the service's logs, reopened for rotation.
#pragma once

#include "verify/accounts.h"
#include "config/options.h"
#include "requests/request_log.h"

// Reopens the service log, then the request log (after logrotate renamed them), and, when the accounts file verifies
// logons (`accounts` not null), reads it again: the verifications that start after it use the
// new accounts. A file that cannot be used leaves what is in use as it was. Says on stderr what it did.
void reload(const Options& options, AccountsVerifier* accounts, RequestLog* log);
