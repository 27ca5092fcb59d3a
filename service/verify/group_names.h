// Names of the directory's groups for the map and its readers: SID to DOMAIN\Name and back, remembered a while.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/failure.h"
#include "common/job_queue.h"
#include "verify/verifier.h"

// The directory answers on a thread of its own, never on the caller's: a logon waits for the names
// of its groups only when they are not remembered, and never fails for a name: a group the
// directory does not name (or does not answer for) is kept by its SID alone. Answers are
// remembered for a few minutes, so that a renamed group or a changed accounts file shows soon.
class GroupNames {
 public:
  explicit GroupNames(NtlmVerifier& directory);
  ~GroupNames();

  // The names of `sids`, in their order (empty: unnamed). `done` is called once, at once when
  // every name is remembered, otherwise on the directory's thread.
  using Named = std::function<void(std::vector<std::string> names)>;
  void name(const std::vector<std::string>& sids, Named done);

  // The SIDs of the groups `asked` (DOMAIN\Name, Name of the directory's own domain, or a SID,
  // which stands for itself), in their order; empty for a group the directory does not know.
  // Unavailable when the directory could not tell for one of them. Called like name().
  using Found = std::function<void(Failure failure, std::vector<std::string> sids)>;
  void find(const std::vector<std::string>& asked, Found done);

  // Lets the lookups under way finish (their callers' replies go to the network loop, which must
  // still exist) and stops the thread.
  void stop() { lookups_.stop(); }

 private:
  using Clock = std::chrono::steady_clock;
  struct Remembered {
    std::string value;
    Clock::time_point until;
  };
  bool recall(std::unordered_map<std::string, Remembered>& known, const std::string& key, std::string* value);
  void remember(std::unordered_map<std::string, Remembered>& known, const std::string& key, const std::string& value);
  // Called with the mutex held.
  static void forget_old(std::unordered_map<std::string, Remembered>& known);
  std::vector<std::string> names_now(const std::vector<std::string>& sids);
  Failure sid_now(const std::string& name, std::string* sid);

  NtlmVerifier& directory_;
  std::mutex mutex_;
  std::unordered_map<std::string, Remembered> names_;  // by SID
  std::unordered_map<std::string, Remembered> sids_;   // by the name as asked, in capitals
  JobQueue lookups_;
};
