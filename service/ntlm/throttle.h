// Bookkeeping of failed logons per account and peer, and per account, to slow down password guessing.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

// Failures per key within a window of `seconds`; the failure that reaches `limit` starts a
// refusal of that key for `seconds`. At most `capacity` keys are kept: a new key then takes
// the place of the one whose window began longest ago, never of a refused one, so that no
// flood of new keys can lift a refusal. Not locked: its owner locks.
class FailureWindows {
 public:
  FailureWindows(unsigned limit, std::int64_t seconds, std::size_t capacity);

  // Seconds the key is still refused; 0 when it may try.
  std::int64_t refused_for(const std::string& key, std::int64_t now) const;
  // Whether `pending` answers still being checked, were they all wrong, would start a refusal.
  bool filled_by(const std::string& key, unsigned pending, std::int64_t now) const;
  // Counts a failure; true when it is the one that starts a refusal. A failure of a new key
  // goes uncounted only when every kept key is refused.
  bool failed(const std::string& key, std::int64_t now);
  void forget(const std::string& key);
  std::size_t size() const { return entries_.size(); }
  // Keys refused at `now`.
  std::size_t refused(std::int64_t now);

 private:
  using Order = std::list<const std::string*>;
  struct Entry {
    std::int64_t window_start = 0;
    unsigned failures = 0;
    std::int64_t refused_until = 0;  // 0: counting, not refused
    Order::iterator place;           // in counting_ or refused_
  };

  unsigned failures_counting(const std::string& key, std::int64_t now) const;
  void drop_expired(std::int64_t now);
  bool make_room();
  void erase(std::unordered_map<std::string, Entry>::iterator it);

  const unsigned limit_;
  const std::int64_t seconds_;
  const std::size_t capacity_;
  std::unordered_map<std::string, Entry> entries_;
  // Both lists are in the order their entries expire, since every window and every
  // refusal has the same length: counting_ by window start, refused_ by refusal end.
  Order counting_;
  Order refused_;
};

// Keys with the time they were last seen, forgotten after `seconds` or, beyond `capacity`,
// oldest first. Not locked: its owner locks.
class RecentKeys {
 public:
  RecentKeys(std::int64_t seconds, std::size_t capacity);
  void add(const std::string& key, std::int64_t now);
  bool contains(const std::string& key, std::int64_t now) const;

 private:
  using Order = std::list<const std::string*>;
  struct Entry {
    std::int64_t seen = 0;
    Order::iterator place;
  };
  const std::int64_t seconds_;
  const std::size_t capacity_;
  std::unordered_map<std::string, Entry> entries_;
  Order order_;  // least recently seen first
};

// How many answers of each key are being checked. Not locked: its owner locks.
class PendingAnswers {
 public:
  void add(const std::string& key) { ++counts_[key]; }
  void remove(const std::string& key);
  unsigned of(const std::string& key) const;

 private:
  std::unordered_map<std::string, unsigned> counts_;  // only keys with answers being checked
};

// Two limits on failed logons within `seconds`:
// - of one account from one peer (an IPv4 address, an IPv6 /64, or the link-local addresses of
//   one interface: see peer_group): after `pair_limit` failures that pair is refused unchecked
//   for `seconds`; other peers go on as usual;
// - of one account from all peers together: after `account_limit` failures the account is
//   refused unchecked for `seconds` from every peer it has not logged on from within a day,
//   so that guessing from many addresses is slowed too while its own machines still log on.
// A success is never delayed and forgets the pair's failures. A limit of 0 turns that limit off.
// An answer takes its place under both limits before it is checked (reserve) and holds it as a
// failure until its outcome is known; one that finds the places left all taken waits for those
// outcomes. So answers arriving together, which would all be checked before the first of them
// failed, cannot pass a limit either. Each reservation ends in failed, succeeded or released.
class LogonThrottle {
 public:
  LogonThrottle(unsigned pair_limit, unsigned account_limit, std::int64_t seconds);

  enum class Scope { None, Pair, Account };
  struct Refusal {
    Scope scope = Scope::None;
    std::int64_t seconds = 0;  // still to go
  };

  Refusal refused(const std::string& account, const std::string& peer, std::int64_t now);
  // The same check, and when nothing is refused, the answer's reservation. Waits while answers
  // being checked hold the places left, so it may block as long as their checks do.
  Refusal reserve(const std::string& account, const std::string& peer, std::int64_t now);
  // Which refusals a failure starts.
  struct Started {
    bool pair = false;
    bool account = false;
  };
  // Each of these ends the pair's reservation, if it holds one.
  Started failed(const std::string& account, const std::string& peer, std::int64_t now);
  void succeeded(const std::string& account, const std::string& peer, std::int64_t now);
  // That the account logged on from the peer `at` (of the steady clock), as a success tells: what
  // the map remembers of each live entry, so that after a restart the account's refusal still
  // passes the machines it logs on from.
  void logged_on(const std::string& account, const std::string& peer, std::int64_t at);
  // An answer that could not be checked, or whose refusal says nothing about the password.
  void released(const std::string& account, const std::string& peer);
  // Pairs and accounts refused at `now`, a time of the steady clock as the checks use it.
  struct Refusing {
    std::size_t pairs = 0;
    std::size_t accounts = 0;
  };
  Refusing refusing(std::int64_t now);

  unsigned pair_limit() const { return pair_limit_; }
  unsigned account_limit() const { return account_limit_; }
  std::int64_t seconds() const { return seconds_; }

 private:
  Refusal check(const std::string& account, const std::string& pair, std::int64_t now);
  bool taken_by_pending(const std::string& account, const std::string& pair, std::int64_t now) const;
  void end_reservation(const std::string& account, const std::string& pair);

  const unsigned pair_limit_;
  const unsigned account_limit_;
  const std::int64_t seconds_;
  std::mutex mutex_;
  std::condition_variable reservation_ended_;
  FailureWindows pairs_;
  FailureWindows accounts_;
  RecentKeys logged_on_from_;  // pairs with a recent success
  PendingAnswers pending_pairs_;
  PendingAnswers pending_accounts_;
};

// One answer's reservation under a throttle (null: none), released unless it ends in a failure or a
// success: every way out of a check without an outcome gives its place back.
class ThrottleReservation {
 public:
  ThrottleReservation(LogonThrottle* throttle, std::string account, std::string peer, std::int64_t now);
  ~ThrottleReservation();
  ThrottleReservation(const ThrottleReservation&) = delete;
  ThrottleReservation& operator=(const ThrottleReservation&) = delete;

  // Why the answer may not be checked; Scope::None when it holds its reservation.
  const LogonThrottle::Refusal& refusal() const { return refusal_; }
  LogonThrottle::Started failed();
  void succeeded();

 private:
  LogonThrottle* throttle_;
  const std::string account_;
  const std::string peer_;
  const std::int64_t now_;
  LogonThrottle::Refusal refusal_;
  bool held_ = false;
};
