// Bookkeeping of failed logons per account and peer, and per account, to slow down password guessing.
#include "ntlm/throttle.h"

#include <utility>

namespace {

// Enough for every account of a large site failing from many machines at once. Keeping
// 100,000 refused pairs takes 1,000,000 checked failures within one window.
constexpr std::size_t kMaxPairs = 100000;
constexpr std::size_t kMaxAccounts = 100000;
// A machine an account logged on from stays exempt from that account's refusal this long.
constexpr std::int64_t kLoggedOnMemory = 86400;

std::string pair_key(const std::string& account, const std::string& peer) { return account + '\n' + peer; }

}  // namespace

FailureWindows::FailureWindows(unsigned limit, std::int64_t seconds, std::size_t capacity)
    : limit_(limit), seconds_(seconds), capacity_(capacity) {}

std::int64_t FailureWindows::refused_for(const std::string& key, std::int64_t now) const {
  const auto it = entries_.find(key);
  if (it == entries_.end() || it->second.refused_until <= now) return 0;
  return it->second.refused_until - now;
}

bool FailureWindows::filled_by(const std::string& key, unsigned pending, std::int64_t now) const {
  return limit_ != 0 && pending != 0 && failures_counting(key, now) + pending >= limit_;
}

// The failures that the key's next failure would count on from.
unsigned FailureWindows::failures_counting(const std::string& key, std::int64_t now) const {
  const auto it = entries_.find(key);
  if (it == entries_.end() || it->second.refused_until != 0 || now - it->second.window_start >= seconds_) return 0;
  return it->second.failures;
}

bool FailureWindows::failed(const std::string& key, std::int64_t now) {
  if (limit_ == 0) return false;
  drop_expired(now);
  auto it = entries_.find(key);
  if (it == entries_.end()) {
    if (!make_room()) return false;
    it = entries_.emplace(key, Entry{}).first;
    it->second.window_start = now;
    it->second.place = counting_.insert(counting_.end(), &it->first);
  }
  Entry& entry = it->second;
  if (entry.refused_until > now) return false;  // checked before its refusal began
  if (entry.refused_until != 0 || now - entry.window_start >= seconds_) {
    // A refusal that has ended, or a window that has: counting starts afresh.
    (entry.refused_until != 0 ? refused_ : counting_).erase(entry.place);
    entry = Entry{now, 0, 0, counting_.insert(counting_.end(), &it->first)};
  }
  if (++entry.failures < limit_) return false;
  counting_.erase(entry.place);
  entry.refused_until = now + seconds_;
  entry.place = refused_.insert(refused_.end(), &it->first);
  return true;
}

void FailureWindows::forget(const std::string& key) {
  const auto it = entries_.find(key);
  if (it != entries_.end()) erase(it);
}

std::size_t FailureWindows::refused(std::int64_t now) {
  drop_expired(now);
  return refused_.size();
}

void FailureWindows::drop_expired(std::int64_t now) {
  while (!counting_.empty() && now - entries_.at(*counting_.front()).window_start >= seconds_)
    erase(entries_.find(*counting_.front()));
  while (!refused_.empty() && entries_.at(*refused_.front()).refused_until <= now)
    erase(entries_.find(*refused_.front()));
}

// A full table gives up the key whose window began longest ago: it has the least left to
// count, and forgetting it lifts no refusal. Full of refusals, it has no room.
bool FailureWindows::make_room() {
  if (entries_.size() < capacity_) return true;
  if (counting_.empty()) return false;
  erase(entries_.find(*counting_.front()));
  return true;
}

void FailureWindows::erase(std::unordered_map<std::string, Entry>::iterator it) {
  (it->second.refused_until != 0 ? refused_ : counting_).erase(it->second.place);
  entries_.erase(it);
}

RecentKeys::RecentKeys(std::int64_t seconds, std::size_t capacity) : seconds_(seconds), capacity_(capacity) {}

void RecentKeys::add(const std::string& key, std::int64_t now) {
  while (!order_.empty() && (entries_.size() >= capacity_ || now - entries_.at(*order_.front()).seen >= seconds_)) {
    const auto oldest = entries_.find(*order_.front());
    order_.pop_front();
    entries_.erase(oldest);
  }
  auto it = entries_.find(key);
  if (it == entries_.end()) {
    it = entries_.emplace(key, Entry{}).first;
  } else {
    order_.erase(it->second.place);
  }
  it->second.seen = now;
  it->second.place = order_.insert(order_.end(), &it->first);
}

bool RecentKeys::contains(const std::string& key, std::int64_t now) const {
  const auto it = entries_.find(key);
  return it != entries_.end() && now - it->second.seen < seconds_;
}

void PendingAnswers::remove(const std::string& key) {
  const auto it = counts_.find(key);
  if (it != counts_.end() && --it->second == 0) counts_.erase(it);
}

unsigned PendingAnswers::of(const std::string& key) const {
  const auto it = counts_.find(key);
  return it == counts_.end() ? 0 : it->second;
}

LogonThrottle::LogonThrottle(unsigned pair_limit, unsigned account_limit, std::int64_t seconds)
    : pair_limit_(pair_limit),
      account_limit_(account_limit),
      seconds_(seconds),
      pairs_(pair_limit, seconds, kMaxPairs),
      accounts_(account_limit, seconds, kMaxAccounts),
      logged_on_from_(kLoggedOnMemory, kMaxPairs) {}

LogonThrottle::Refusal LogonThrottle::refused(const std::string& account, const std::string& peer, std::int64_t now) {
  std::lock_guard<std::mutex> lock(mutex_);
  return check(account, pair_key(account, peer), now);
}

// Answers being checked that leave this one no place end as failures, which start the refusal it
// then gets, or make room for it.
LogonThrottle::Refusal LogonThrottle::reserve(const std::string& account, const std::string& peer, std::int64_t now) {
  std::unique_lock<std::mutex> lock(mutex_);
  const std::string pair = pair_key(account, peer);
  reservation_ended_.wait(lock, [&] {
    return check(account, pair, now).scope != Scope::None || !taken_by_pending(account, pair, now);
  });
  const Refusal refusal = check(account, pair, now);
  if (refusal.scope == Scope::None) {
    pending_pairs_.add(pair);
    pending_accounts_.add(account);
  }
  return refusal;
}

LogonThrottle::Refusal LogonThrottle::check(const std::string& account, const std::string& pair, std::int64_t now) {
  if (const std::int64_t wait = pairs_.refused_for(pair, now)) return Refusal{Scope::Pair, wait};
  const std::int64_t wait = accounts_.refused_for(account, now);
  if (wait > 0 && !logged_on_from_.contains(pair, now)) return Refusal{Scope::Account, wait};
  return Refusal{};
}

// The account's limit, like its refusal, leaves out the machines it has logged on from.
bool LogonThrottle::taken_by_pending(const std::string& account, const std::string& pair, std::int64_t now) const {
  if (pairs_.filled_by(pair, pending_pairs_.of(pair), now)) return true;
  return accounts_.filled_by(account, pending_accounts_.of(account), now) && !logged_on_from_.contains(pair, now);
}

LogonThrottle::Started LogonThrottle::failed(const std::string& account, const std::string& peer, std::int64_t now) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string pair = pair_key(account, peer);
  end_reservation(account, pair);
  Started started;
  started.pair = pairs_.failed(pair, now);
  started.account = accounts_.failed(account, now);
  return started;
}

void LogonThrottle::succeeded(const std::string& account, const std::string& peer, std::int64_t now) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string pair = pair_key(account, peer);
  end_reservation(account, pair);
  pairs_.forget(pair);
  if (account_limit_ != 0) logged_on_from_.add(pair, now);
}

void LogonThrottle::logged_on(const std::string& account, const std::string& peer, std::int64_t at) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (account_limit_ != 0) logged_on_from_.add(pair_key(account, peer), at);
}

void LogonThrottle::released(const std::string& account, const std::string& peer) {
  std::lock_guard<std::mutex> lock(mutex_);
  end_reservation(account, pair_key(account, peer));
}

void LogonThrottle::end_reservation(const std::string& account, const std::string& pair) {
  pending_pairs_.remove(pair);
  pending_accounts_.remove(account);
  reservation_ended_.notify_all();
}

LogonThrottle::Refusing LogonThrottle::refusing(std::int64_t now) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Refusing{pairs_.refused(now), accounts_.refused(now)};
}

ThrottleReservation::ThrottleReservation(LogonThrottle* throttle, std::string account, std::string peer,
                                         std::int64_t now)
    : throttle_(throttle), account_(std::move(account)), peer_(std::move(peer)), now_(now) {
  if (throttle_ == nullptr) return;
  refusal_ = throttle_->reserve(account_, peer_, now_);
  held_ = refusal_.scope == LogonThrottle::Scope::None;
}

ThrottleReservation::~ThrottleReservation() {
  if (held_) throttle_->released(account_, peer_);
}

LogonThrottle::Started ThrottleReservation::failed() {
  if (!held_) return LogonThrottle::Started{};
  held_ = false;
  return throttle_->failed(account_, peer_, now_);
}

void ThrottleReservation::succeeded() {
  if (!held_) return;
  held_ = false;
  throttle_->succeeded(account_, peer_, now_);
}
