// How often the history records the moves of one entry, so that no account can grow it without bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

// Each entry may have a few moves recorded at once, then one every kSeconds: an entry whose
// logins report ever other addresses adds a bounded number of events, while the occasional move
// of a laptop is recorded as it happens. A move beyond that is held back; the history keeps the
// entry at the addresses last recorded, and the first refresh once the budget allows records where
// the entry is then (the entry's last login or move before a moment still gives all its
// addresses, only up to kSeconds late). Kept by the writer, for the entries that moved lately;
// a restart forgets what was held back until the entry moves again. Not locked: the writer's own.
class MoveBudget {
 public:
  static constexpr std::int64_t kSeconds = 300;
  static constexpr int kBurst = 4;

  // Whether a refresh of `entry` (its folded names) found at `addresses` at `now`, where the map
  // had `had`, is recorded as a move; when it is, `addresses` is the entry's last recorded set.
  bool record_move(const std::string& entry, const std::vector<std::string>& had,
                   const std::vector<std::string>& addresses, std::int64_t now);
  // The entry logged in (recorded at once) or out.
  void arrived(const std::string& entry, const std::vector<std::string>& addresses, std::int64_t now);
  void left(const std::string& entry) { entries_.erase(entry); }
  // A transaction that failed may have recorded none of what the budget counted: each entry's
  // next move is then weighed against what the map has, as a first one.
  void forget() { entries_.clear(); }

 private:
  static constexpr std::size_t kCapacity = 100000;
  struct Moves {
    int allowed = kBurst;
    std::int64_t refilled = 0;  // when `allowed` last grew, or was last full
    std::vector<std::string> recorded;
  };
  Moves& start(const std::string& entry, const std::vector<std::string>& recorded, std::int64_t now);

  std::unordered_map<std::string, Moves> entries_;
};
