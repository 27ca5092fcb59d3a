// Bookkeeping of failed logons per account and peer, and per account, to slow down password guessing.
#pragma once

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

// Two limits on failed logons within `seconds`:
// - of one account from one peer (an IPv4 address or an IPv6 /64): after `pair_limit`
//   failures that pair is refused unchecked for `seconds`; other peers go on as usual;
// - of one account from all peers together: after `account_limit` failures the account is
//   refused unchecked for `seconds` from every peer it has not logged on from within a day,
//   so that guessing from many addresses is slowed too while its own machines still log on.
// A success is never delayed and forgets the pair's failures. A limit of 0 turns that limit off.
class LogonThrottle {
 public:
  LogonThrottle(unsigned pair_limit, unsigned account_limit, std::int64_t seconds);

  enum class Scope { None, Pair, Account };
  struct Refusal {
    Scope scope = Scope::None;
    std::int64_t seconds = 0;  // still to go
  };

  Refusal refused(const std::string& account, const std::string& peer, std::int64_t now);
  // Which refusals a failure starts.
  struct Started {
    bool pair = false;
    bool account = false;
  };
  Started failed(const std::string& account, const std::string& peer, std::int64_t now);
  void succeeded(const std::string& account, const std::string& peer, std::int64_t now);
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
  const unsigned pair_limit_;
  const unsigned account_limit_;
  const std::int64_t seconds_;
  std::mutex mutex_;
  FailureWindows pairs_;
  FailureWindows accounts_;
  RecentKeys logged_on_from_;  // pairs with a recent success
};
