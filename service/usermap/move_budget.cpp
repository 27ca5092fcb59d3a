// How often the history records the moves of one entry.
#include "usermap/move_budget.h"

#include <algorithm>

MoveBudget::Moves& MoveBudget::start(const std::string& entry, const std::vector<std::string>& recorded,
                                     std::int64_t now) {
  // Full: the budget of an entry that no longer moves is forgotten first; any will do.
  if (entries_.size() >= kCapacity && entries_.find(entry) == entries_.end()) entries_.erase(entries_.begin());
  Moves& m = entries_[entry];
  m = Moves{kBurst, now, recorded};
  return m;
}

void MoveBudget::arrived(const std::string& entry, const std::vector<std::string>& addresses, std::int64_t now) {
  start(entry, addresses, now);
}

bool MoveBudget::record_move(const std::string& entry, const std::vector<std::string>& had,
                             const std::vector<std::string>& addresses, std::int64_t now) {
  auto it = entries_.find(entry);
  if (it == entries_.end() && had == addresses) return false;
  Moves& m = it != entries_.end() ? it->second : start(entry, had, now);
  if (m.recorded == addresses) return false;
  const std::int64_t earned = std::max<std::int64_t>(0, now - m.refilled) / kSeconds;
  m.allowed = static_cast<int>(std::min<std::int64_t>(kBurst, m.allowed + earned));
  m.refilled = m.allowed == kBurst ? now : m.refilled + earned * kSeconds;
  if (m.allowed == 0) return false;
  --m.allowed;
  m.recorded = addresses;
  return true;
}
