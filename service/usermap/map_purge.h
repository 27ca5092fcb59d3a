// The writer's purge: the entries that ran out are removed with the credit they held, and the old history forgotten.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/failure.h"
#include "usermap/map_store.h"

// When the writer purges: with a commit at most once a second, and on its own every few seconds
// when no commit brought one.
class PurgeSchedule {
 public:
  bool due_with_commit(std::int64_t now) const { return now > last_; }
  bool due_alone(std::int64_t now) const { return now >= last_ + kAloneEvery; }
  void purged(std::int64_t now) { last_ = now; }
  // Seconds between purges when no commit brings one.
  static constexpr std::int64_t kAloneEvery = 5;

 private:
  std::int64_t last_ = 0;  // epoch second of the last purge
};

// What one purge did in the transaction under way: told once that transaction is committed.
struct Purged {
  std::vector<LogonEntry> removed;    // the entries that ran out
  std::vector<CreditChange> credit;   // the credit they took with them
};

// Removes the entries expired at `now`, records their expiries and the credit they took as
// events, and forgets the history older than `history_days`. False, with the store's error,
// when any of it failed.
bool purge_expired(MapConnection& db, std::int64_t now, std::int64_t history_days, Purged* out, std::string* error);

// Purges are tried again later, and no caller waits for them: stderr is where their failures are seen.
void report_purge_failure(const Failure& failure);
