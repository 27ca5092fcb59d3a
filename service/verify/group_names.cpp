// Names of the directory's groups for the map and its readers: SID to DOMAIN\Name and back, remembered a while.
#include "verify/group_names.h"

#include <cctype>
#include <iterator>

namespace {

// Long enough that a user's groups are named from memory at nearly every refresh, short enough
// that a rename shows the same hour.
constexpr auto kRemembered = std::chrono::minutes(10);
constexpr auto kNotNamed = std::chrono::minutes(1);
// More than a large domain's groups: past this, what has run out is forgotten (and, failing that,
// everything), so that questions about ever new names cannot fill the memory.
constexpr std::size_t kMostRemembered = 100000;
// Two threads: a slow answer about one group does not hold up every logon.
constexpr unsigned kLookupThreads = 2;

// Names and SIDs compare in capitals (ASCII letters, as the directory compares names).
std::string capitals(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

bool is_sid(const std::string& text) { return capitals(text).compare(0, 4, "S-1-") == 0; }

}  // namespace

GroupNames::GroupNames(NtlmVerifier& directory) : directory_(directory), lookups_(kLookupThreads) {}

GroupNames::~GroupNames() { lookups_.stop(); }

void GroupNames::forget_old(std::unordered_map<std::string, Remembered>& known) {
  const Clock::time_point now = Clock::now();
  for (auto it = known.begin(); it != known.end();) it = it->second.until < now ? known.erase(it) : std::next(it);
  if (known.size() >= kMostRemembered) known.clear();
}

bool GroupNames::recall(std::unordered_map<std::string, Remembered>& known, const std::string& key, std::string* value) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = known.find(key);
  if (found == known.end() || found->second.until < Clock::now()) return false;
  *value = found->second.value;
  return true;
}

void GroupNames::remember(std::unordered_map<std::string, Remembered>& known, const std::string& key,
                          const std::string& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (known.size() >= kMostRemembered) forget_old(known);
  // No name is an answer too, until the directory gives one: a directory that did not answer is
  // asked again soon.
  known[key] = Remembered{value, Clock::now() + (value.empty() ? kNotNamed : kRemembered)};
}

std::vector<std::string> GroupNames::names_now(const std::vector<std::string>& sids) {
  std::vector<std::string> names(sids.size());
  std::vector<std::string> unknown;
  std::vector<std::size_t> places;
  for (std::size_t i = 0; i < sids.size(); ++i) {
    if (recall(names_, sids[i], &names[i])) continue;
    unknown.push_back(sids[i]);
    places.push_back(i);
  }
  if (unknown.empty()) return names;
  const std::vector<std::string> found = directory_.group_names(unknown);  // one question for them all
  for (std::size_t i = 0; i < unknown.size() && i < found.size(); ++i) {
    names[places[i]] = found[i];
    remember(names_, unknown[i], found[i]);
  }
  return names;
}

Failure GroupNames::sid_now(const std::string& asked, std::string* sid) {
  const std::string key = capitals(asked);
  if (is_sid(asked)) {
    *sid = key;
    return Failure();
  }
  if (recall(sids_, key, sid)) return Failure();
  const Failure failure = directory_.group_sid(asked, sid);
  if (failure.transient()) return failure;
  if (!failure.ok()) sid->clear();
  remember(sids_, key, *sid);
  return Failure();
}

void GroupNames::name(const std::vector<std::string>& sids, Named done) {
  std::vector<std::string> names(sids.size());
  bool all_known = true;
  for (std::size_t i = 0; i < sids.size() && all_known; ++i) all_known = recall(names_, sids[i], &names[i]);
  if (all_known) return done(std::move(names));
  lookups_.post([this, sids, done = std::move(done)] { done(names_now(sids)); });
}

void GroupNames::find(const std::vector<std::string>& asked, Found done) {
  std::vector<std::string> sids(asked.size());
  bool all_known = true;
  for (std::size_t i = 0; i < asked.size() && all_known; ++i) {
    sids[i] = capitals(asked[i]);
    all_known = is_sid(asked[i]) || recall(sids_, capitals(asked[i]), &sids[i]);
  }
  if (all_known) return done(Failure(), std::move(sids));
  lookups_.post([this, asked, done = std::move(done)] {
    std::vector<std::string> sids(asked.size());
    for (std::size_t i = 0; i < asked.size(); ++i) {
      const Failure failure = sid_now(asked[i], &sids[i]);
      if (!failure.ok()) return done(failure, {});
    }
    done(Failure(), std::move(sids));
  });
}
