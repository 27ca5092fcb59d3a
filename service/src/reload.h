// What SIGHUP reloads: the accounts file, swapped whole under a lock, and the request log, reopened for rotation.
#pragma once

#include <memory>
#include <mutex>

#include "accounts.h"
#include "options.h"
#include "request_log.h"

// The accounts in use. A connection takes the current ones when it opens and keeps them
// until it closes; a reload replaces them for the connections opened after it.
class AccountsHolder {
 public:
  explicit AccountsHolder(std::shared_ptr<const Accounts> accounts) : accounts_(std::move(accounts)) {}

  std::shared_ptr<const Accounts> current() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return accounts_;
  }
  void replace(std::shared_ptr<const Accounts> accounts) {
    std::lock_guard<std::mutex> lock(mutex_);
    accounts_ = std::move(accounts);
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const Accounts> accounts_;
};

// Reopens the request log (after logrotate renamed it) and reads the accounts file again.
// A file that cannot be used leaves what is in use as it was. Says on stderr what it did.
void reload(const Options& options, AccountsHolder* accounts, RequestLog* log);
