// What a storage backend of the user map provides: its statements, on connections of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/failure.h"
#include "usermap/history.h"
#include "usermap/map_feed.h"
#include "usermap/map_types.h"

// What the writer needs to know of an entry already stored.
struct StoredEntry {
  bool found = false;
  std::int64_t id = 0;
  std::vector<std::string> ips;
  std::string peer;
  bool relayed = false;
  EntryNames names;                   // as first recorded
  std::vector<std::string> credited;  // the addresses it is credited at
};

// An address and an entry credited there.
struct CreditedAddress {
  std::string address;
  CreditHolder holder;
};

// One of the addresses an entry is found at, and whether it is credited there.
struct AddressCredit {
  std::string address;
  bool credited = false;
  bool operator==(const AddressCredit& o) const { return address == o.address && credited == o.credited; }
  bool operator!=(const AddressCredit& o) const { return !(*this == o); }
};

// What the writer reads before a change: the stored entry of the change's names, and who is
// credited at the addresses a login has and proves.
struct EntryLookup {
  const LogonEntry* entry = nullptr;
  std::vector<std::string> addresses;
  StoredEntry stored;
  std::vector<std::vector<CreditHolder>> credited;  // at each of the addresses, in no particular order
};

// One connection to the store, used by one thread at a time. UserMap keeps everything else:
// the writer thread and its group commit, when to purge, the limits on what a login may claim,
// which addresses an entry is found at, and the reader threads.
//
// Every entry is found at a set of canonical addresses, kept indexed apart from the entry (one
// row per entry and address), so that a lookup by address reads only the entries there without
// reading the whole map. A refresh that keeps the addresses leaves those rows alone.
//
// Where the user is: a live entry proves the address its request came from (its peer, indexed),
// and an entry that came through a trusted relay proves the addresses it is found at. Each of an
// entry's address rows says whether it is credited there; UserMap decides that when it writes the
// entry (see MapLimits::credit_claims), and the reads only read it: lookups by address leave out
// the rows without credit, and reads list them as uncredited. So a claim is never credited later
// because the entry that proved its address has gone.
class MapConnection {
 public:
  virtual ~MapConnection() = default;

  // The writer's side: begin(), any of the changes below, then commit() or rollback().
  virtual bool begin(std::string* error) = 0;
  // Returns only once everything since begin() is durable: it survives a kill -9 or a power cut.
  virtual bool commit(std::string* error) = 0;
  virtual void rollback() = 0;
  // Called once after begin() with the entries whose account the transaction may change. A store
  // that several services share locks those accounts here, all at once, to the end of the
  // transaction, so that each account is changed by one service at a time: a login that finds no
  // entry inserts it without another doing the same meanwhile, and an account's count of entries
  // holds until its login is committed.
  virtual bool lock_accounts(const std::vector<const LogonEntry*>& entries, std::string* error) {
    (void)entries;
    (void)error;
    return true;
  }
  // Waits for the answers to the changes made since begin(): a store may send changes without
  // waiting for each answer, and reports here the first of them that failed.
  virtual bool sent(std::string* error) {
    (void)error;
    return true;
  }
  // False when a failure (disk full, I/O) has already ended the transaction and undone its changes.
  virtual bool in_transaction() = 0;
  // False when the connection is known to be closed (a database server closes its connections
  // when it restarts), so that a new one is made before this one fails a call.
  virtual bool open() { return true; }
  // How the last call that returned false failed (its kind; the call's error says why). A store on
  // this machine fails for good (a full disk) and keeps its connections; a database server may be
  // out of reach for a while (unavailable), and a connection it closed is no longer open().
  virtual Failure last_failure() const { return Failure::internal(""); }

  // The stored entry for the entry's user, domain and host (letter case ignored), expired or
  // not, with the addresses it is credited at: found false when there is none.
  virtual bool find_entry(const LogonEntry& e, StoredEntry* out, std::string* error) = 0;
  // find_entry() for each lookup, and who is credited at each of its addresses at its entry's
  // last_seen, read together.
  virtual bool find_entries_and_credit(std::vector<EntryLookup>* lookups, std::string* error) {
    for (EntryLookup& l : *lookups) {
      l.credited.assign(l.addresses.size(), {});
      if (!find_entry(*l.entry, &l.stored, error)) return false;
      for (std::size_t i = 0; i < l.addresses.size(); ++i) {
        if (!credited_at(l.addresses[i], l.entry->last_seen, &l.credited[i], error)) return false;
      }
    }
    return true;
  }
  // While `apart` is true, the changes and record_change() calls given concern entries and
  // addresses apart from each other's (a run of logins that touch neither each other's entries nor
  // each other's addresses), so that a store may send those of one kind together, as long as each
  // change's own statements keep their order and every other statement sees them all.
  virtual void run_apart(bool apart) { (void)apart; }
  // Entries of the entry's user and domain at other hosts that are live at `now`, counted up to `limit`.
  virtual bool count_other_hosts(const LogonEntry& e, std::int64_t now, std::size_t limit, std::size_t* count,
                                 std::string* error) = 0;
  // A new entry, without addresses yet; `id` receives its key.
  virtual bool insert_entry(const LogonEntry& e, std::int64_t* id, std::string* error) = 0;
  // Refreshes entry `id` with everything of `e` but its names and first_seen.
  virtual bool update_entry(std::int64_t id, const LogonEntry& e, std::string* error) = 0;
  // Makes `addresses` the ones entry `id` is found at, each with its credit.
  virtual bool set_addresses(std::int64_t id, const std::vector<AddressCredit>& addresses, std::string* error) = 0;
  // Removes the entry for the entry's user, domain and host, with its addresses.
  virtual bool remove(const LogonEntry& e, bool* removed, std::string* error) = 0;
  // Whether an entry live at `now` proves `address` (see above).
  virtual bool proven(const std::string& address, std::int64_t now, bool* out, std::string* error) = 0;
  // Takes the credit at `address` from the entries other than `id` that merely claim it.
  virtual bool withdraw_claims(const std::string& address, std::int64_t id, std::string* error) = 0;
  // The entries live at `now` credited at `address`, in no particular order.
  virtual bool credited_at(const std::string& address, std::int64_t now, std::vector<CreditHolder>* out,
                           std::string* error) = 0;
  // Records the events of the change just made: `events`, then those of the changes of credit at
  // each address of `credit` (credit_events()), each `before` sorted and each `after` filled with
  // who is credited there at `at` after the change. A store may decide the credit events itself
  // and fill `after` only with the next call that waits for an answer, or commit(), so that the
  // change's events need no answer of their own.
  virtual bool record_change(const std::vector<LogonEvent>& events, std::vector<CreditChange>* credit,
                             std::string* error);
  // The addresses that entries expired at `now` are credited at: whom their purge takes credit from.
  virtual bool expiring_credit(std::int64_t now, std::vector<CreditedAddress>* out, std::string* error) = 0;
  // Removes the entries expired at `now` (expires <= now), with their addresses, through an index on the expiry;
  // adds to `expired` who they were (user, domain, host, ips, peer, last_seen and expires).
  virtual bool purge(std::int64_t now, std::vector<LogonEntry>* expired, std::string* error) = 0;
  // Adds events to the history, in the transaction of the change they record.
  virtual bool record_events(const std::vector<LogonEvent>& events, std::string* error) = 0;
  // Forgets the events from before `before`, through the index on their time; a store that several
  // services share forgets a bounded number at a time and passes those another writer holds.
  virtual bool prune_events(std::int64_t before, std::string* error) = 0;
  // Records how many entries were current in one sampling period, unless a sample of that period
  // is there already (two services may share the map), and forgets samples older than `keep_since`.
  virtual bool add_sample(const MapSample& sample, std::int64_t keep_since, std::string* error) = 0;
  // A small real write, for the health check: fails when the map cannot be written (locked by
  // another program, a full disk, a map file that was moved or deleted under the service).
  virtual bool note_check(std::int64_t now, std::string* error) = 0;

  // The readers' side, outside any transaction: entries not expired at `now` that match, at most
  // limit + 1 of them (the extra one tells that another page follows), from offset on. A lookup
  // by address or user lists the most recently seen first, then by host, domain and user; a
  // listing of the entries at addresses in conflict lists each entry once for each such address
  // (LogonEntry::address), by address, then host, user and domain; one of the stale entries
  // lists the longest unseen first; any other listing goes by host, user and domain, so that
  // the entries of one host follow each other.
  virtual bool find(const MapQuery& q, std::int64_t now, std::vector<LogonEntry>* out, std::string* error) = 0;
  // How many entries find() would list on all pages together.
  virtual bool count(const MapQuery& q, std::int64_t now, std::int64_t* out, std::string* error) = 0;
  // The whole map at `now`, stale meaning last seen before `stale_before`.
  virtual bool totals(std::int64_t now, std::int64_t stale_before, MapTotals* out, std::string* error) = 0;
  // How the entries current at `now` share one address.
  virtual bool address_use(const std::string& address, std::int64_t now, AddressUse* out, std::string* error) = 0;
  // The samples from `since` on, oldest first.
  virtual bool samples(std::int64_t since, std::vector<MapSample>* out, std::string* error) = 0;
  // A page of the history (see history_statement), newest first, at most limit + 1 events.
  virtual bool history(const HistoryQuery& q, std::vector<LogonEvent>* out, std::string* error) = 0;
  // The entries that held an address at a moment, each with the event that put or kept it there.
  virtual bool holders(const HolderQuery& q, std::vector<LogonEvent>* out, std::string* error) = 0;
  // The change feed (see map_feed.h): every address credited at `now`, with the map's name and the
  // position to follow it from; and the changes after `after`, with the position they reach.
  virtual bool feed_snapshot(std::int64_t now, FeedRead* out, std::string* error) = 0;
  virtual bool feed_since(const FeedPosition& after, std::int64_t now, FeedRead* out, std::string* error) = 0;
};

// Where the map is kept: the writer and each reader thread get a connection of their own, and a
// new one when theirs is lost (see StoreLink).
class MapStore {
 public:
  virtual ~MapStore() = default;
  // A new connection; null, with the reason in *error, when the store cannot be reached.
  virtual std::unique_ptr<MapConnection> connect(std::string* error) = 0;
};

// The addresses an entry is found at, each once: those it reported, or, when it reported none,
// the address its request came from.
std::vector<std::string> lookup_addresses(const std::vector<std::string>& ips, const std::string& peer);
// Reported addresses not in canonical form (kept by maps written before logins were checked for
// them): shown, but never matched.
std::vector<std::string> unmatched_addresses(const std::vector<std::string>& ips);

// The entry's user, domain and host as the map compares them (ASCII letters folded), in one text:
// two entries with the same text are one entry.
std::string folded_names(const LogonEntry& e);

// A LIKE pattern, with a backslash as its escape character, that matches the text that begins with `prefix`.
std::string like_prefix_pattern(const std::string& prefix);

// The reported addresses as the stores keep them, comma-separated, and back.
std::string join_addresses(const std::vector<std::string>& ips);
std::vector<std::string> split_addresses(const std::string& text);
