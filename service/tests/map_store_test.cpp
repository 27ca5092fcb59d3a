// The user map's store contract, run on each store: SQLite in a file of its own, PostgreSQL in the
// tests' cluster (its state file in PELLAMOR_POSTGRES_STATE, as postgres_cluster.py start writes it).
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <future>
#include <memory>
#include <thread>

#include "usermap/move_budget.h"
#include "usermap/postgres_store.h"
#include "usermap/sqlite_store.h"
#include "usermap/user_map.h"

namespace {

const std::int64_t kNow = std::time(nullptr);

// A new, empty database in the tests' cluster, and its URI.
std::string new_postgres_database() {
  static int serial = 0;
  const char* state = getenv("PELLAMOR_POSTGRES_STATE");
  if (state == nullptr) return "";
  std::ifstream lines(state);
  std::string folder, port, uri;
  lines >> folder >> port >> uri;
  const std::string name = "map_" + std::to_string(getpid()) + "_" + std::to_string(++serial);
  PGconn* conn = PQconnectdb(uri.c_str());
  PGresult* result = PQexec(conn, ("CREATE DATABASE " + name + " ENCODING 'UTF8' TEMPLATE template0").c_str());
  const bool made = PQresultStatus(result) == PGRES_COMMAND_OK;
  PQclear(result);
  PQfinish(conn);
  return made ? uri.substr(0, uri.rfind('/') + 1) + name : "";
}

LogonEntry login(const std::string& user, const std::string& host, const std::string& peer,
                 std::vector<std::string> ips, std::int64_t seen = kNow) {
  LogonEntry e;
  e.user = user;
  e.domain = "PELLAMOR";
  e.host = host;
  e.peer = peer;
  e.ips = std::move(ips);
  e.persistent = true;
  e.authenticated = true;
  e.first_seen = e.last_seen = seen;
  e.expires = seen + 3600;
  return e;
}

MapChange change(MapChange::Kind kind, LogonEntry e) { return MapChange{kind, std::move(e)}; }
const MapChange::Kind kLogin = MapChange::Kind::Login;
const MapChange::Kind kLogout = MapChange::Kind::Logout;

std::string names(const std::vector<LogonEntry>& entries) {
  std::string out;
  for (const LogonEntry& e : entries) out += (out.empty() ? "" : " ") + e.user + "@" + e.host;
  return out;
}

class MapStoreContract : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    std::string location;
    if (std::string(GetParam()) == "sqlite") {
      char folder[] = "/tmp/pellamor-map-XXXXXX";
      ASSERT_NE(mkdtemp(folder), nullptr);
      folder_ = folder;
      location = folder_ + "/users.sqlite";
    } else {
      location = new_postgres_database();
      ASSERT_FALSE(location.empty()) << "no database in the cluster that PELLAMOR_POSTGRES_STATE names";
    }
    location_ = location;
    open(location);
  }

  void TearDown() override {
    map_.reset();
    if (!folder_.empty()) {
      EXPECT_EQ(system(("rm -rf " + folder_).c_str()), 0);
    }
  }

  void open(const std::string& location) {
    std::string notice, error;
    MapLimits limits;
    limits.max_entries_per_account = 2;
    limits.history_days = 1;
    std::string ignored;
    limits.credit_claims.add("10.9.0.0/16", &ignored);
    limits.listing_milliseconds = listing_milliseconds_;
    map_ = UserMap::open(location, limits, &notice, &error);
    ASSERT_TRUE(map_) << error;
  }

  ChangeOutcome apply(MapChange c) { return submit(std::move(c)).get(); }
  FeedRead feed(std::optional<FeedPosition> after, std::int64_t now = kNow) {
    std::promise<FeedRead> read;
    map_->read_feed(after, now, [&read](const FeedRead& r, const Failure&) { read.set_value(r); });
    return read.get_future().get();
  }
  // The changes after `after`, read until there are `wanted`: in PostgreSQL a change comes once every
  // transaction begun before it has ended, in the whole cluster, whose other databases the other
  // cases keep busy meanwhile.
  FeedRead changes(FeedPosition after, std::size_t wanted, std::int64_t now = kNow) {
    FeedRead all;
    for (int tries = 0; tries < 200 && all.items.size() < wanted; ++tries) {
      if (tries > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      const FeedRead some = feed(after, now);
      all.items.insert(all.items.end(), some.items.begin(), some.items.end());
      all.map = some.map;
      all.position = after = some.position;
    }
    return all;
  }

  std::future<ChangeOutcome> submit(MapChange c) {
    auto done = std::make_shared<std::promise<ChangeOutcome>>();
    map_->submit(std::move(c), [done](const ChangeOutcome& outcome) { done->set_value(outcome); });
    return done->get_future();
  }

  // Applies `changes` in one batch: the writer waits in the answer to `first` while they are queued.
  std::vector<ChangeOutcome> apply_together(MapChange first, const std::vector<MapChange>& changes) {
    std::promise<void> queued;
    std::shared_future<void> go = queued.get_future().share();
    map_->submit(std::move(first), [go](const ChangeOutcome&) { go.wait(); });
    std::vector<std::future<ChangeOutcome>> answers;
    for (const MapChange& c : changes) answers.push_back(submit(c));
    queued.set_value();
    std::vector<ChangeOutcome> outcomes;
    for (std::future<ChangeOutcome>& f : answers) outcomes.push_back(f.get());
    return outcomes;
  }

  MapPage read(MapQuery q, ViewExtras extras = {}) {
    std::promise<MapPage> page;
    map_->read(std::move(q), kNow, [&page](MapPage p) { page.set_value(std::move(p)); }, extras);
    MapPage out = page.get_future().get();
    EXPECT_TRUE(out.failure.ok()) << out.failure.message();
    return out;
  }

  MapPage at(const std::string& ip) {
    MapQuery q;
    q.ip = ip;
    return read(q);
  }

  // The events as "-SECONDS_BEFORE_NOW kind user@host address", newest first.
  std::string history(HistoryQuery q) {
    std::promise<HistoryPage> page;
    map_->read_history(std::move(q), [&page](HistoryPage p) { page.set_value(std::move(p)); });
    return events_text(page.get_future().get());
  }

  // The holders as "user@host", a claim marked "user@host?".
  std::string holders(const std::string& ip, std::int64_t at) {
    std::promise<HistoryPage> page;
    map_->read_holders(HolderQuery{ip, at}, [&page](HistoryPage p) { page.set_value(std::move(p)); });
    std::string out;
    for (const LogonEvent& e : page.get_future().get().events)
      out += (out.empty() ? "" : " ") + e.user + "@" + e.host + (e.credited ? "" : "?");
    return out;
  }

  static std::string events_text(const HistoryPage& page) {
    EXPECT_TRUE(page.failure.ok()) << page.failure.message();
    std::string out;
    for (const LogonEvent& e : page.events)
      out += std::to_string(e.at - kNow) + " " + e.kind + " " + e.user + "@" + e.host + " " + e.address + ";";
    return out;
  }

  std::string folder_;
  std::string location_;
  std::int64_t listing_milliseconds_ = 5000;
  std::unique_ptr<UserMap> map_;
};

TEST_P(MapStoreContract, RefreshKeepsTheEntryAndLogoutRemovesIt) {
  ASSERT_TRUE(apply(change(kLogin, login("alice", "PC1", "10.0.0.1", {"10.0.0.1"}, kNow - 10))).committed());
  const ChangeOutcome refresh = apply(change(kLogin, login("ALICE", "pc1", "10.0.0.2", {"10.0.0.2", "bad"})));
  ASSERT_TRUE(refresh.committed()) << refresh.failure.message();
  const MapPage all = read(MapQuery());
  ASSERT_EQ(names(all.entries), "alice@PC1");  // the names as first recorded
  EXPECT_EQ(all.entries[0].first_seen, kNow - 10);
  EXPECT_EQ(all.entries[0].last_seen, kNow);
  EXPECT_EQ(all.entries[0].ips, (std::vector<std::string>{"10.0.0.2", "bad"}));
  EXPECT_EQ(all.matches, 1);
  EXPECT_EQ(names(at("10.0.0.2").entries), "alice@PC1");
  EXPECT_EQ(names(at("10.0.0.1").entries), "");
  EXPECT_TRUE(apply(change(kLogout, login("Alice", "Pc1", "", {}))).removed);
  EXPECT_FALSE(apply(change(kLogout, login("alice", "PC1", "", {}))).removed);
  EXPECT_EQ(names(read(MapQuery()).entries), "");
}

LogonEntry in_groups(LogonEntry e, std::vector<EntryGroup> groups) {
  e.groups = std::move(groups);
  return e;
}

LogonEntry relayed(LogonEntry e) {
  e.relayed = true;
  return e;
}

// What a change did to credit: the addresses it is not credited at, and who lost or gained credit where.
std::string credit_of(const ChangeOutcome& o) {
  std::string out = o.uncredited.empty() ? "" : "uncredited " + join_addresses(o.uncredited);
  const auto holders = [](const std::vector<CreditHolder>& list) {
    std::string text;
    for (const CreditHolder& h : list) text += (text.empty() ? "" : ",") + h.user + "@" + h.host;
    return text.empty() ? std::string("nobody") : text;
  };
  for (const CreditChange& c : o.credit)
    out += (out.empty() ? "" : "; ") + c.address + " " + holders(c.before) + " > " + holders(c.after);
  return out;
}

// The address rule, decided as each login is written: the change, what it did to credit, and who a
// lookup of the address then finds. The fixture credits claims in 10.9.0.0/16.
TEST_P(MapStoreContract, CreditGoesToProofAndNeverPassesToAClaim) {
  struct Step {
    MapChange change;
    const char* credit;
    const char* address;
    const char* found;
  };
  const Step steps[] = {
      {change(kLogin, login("alice", "PC1", "10.0.0.1", {"10.0.0.1"})), "10.0.0.1 nobody > alice@PC1", "10.0.0.1",
       "alice@PC1"},
      // heidi at PC2 claims alice's address too: only her own is credited.
      {change(kLogin, login("heidi", "PC2", "10.0.0.2", {"10.0.0.2", "10.0.0.1"})),
       "uncredited 10.0.0.1; 10.0.0.2 nobody > heidi@PC2", "10.0.0.1", "alice@PC1"},
      // alice leaves: nobody inherits her address, not even at heidi's next refresh.
      {change(kLogout, login("alice", "PC1", "", {})), "10.0.0.1 alice@PC1 > nobody", "10.0.0.1", ""},
      {change(kLogin, login("heidi", "PC2", "10.0.0.2", {"10.0.0.2", "10.0.0.1"})), "uncredited 10.0.0.1",
       "10.0.0.1", ""},
      // An idle address outside the networks whose claims are credited.
      {change(kLogin, login("ivan", "PC6", "127.0.0.6", {"10.77.0.5"})), "uncredited 10.77.0.5", "10.77.0.5", ""},
      // Inside them, a claim is credited while nobody proves the address; a proof takes it over.
      {change(kLogin, login("judy", "PC7", "10.0.0.7", {"10.9.0.7"})), "10.9.0.7 nobody > judy@PC7", "10.9.0.7",
       "judy@PC7"},
      {change(kLogin, login("ken", "PC8", "10.9.0.7", {"10.9.0.7"})), "10.9.0.7 judy@PC7 > ken@PC8", "10.9.0.7",
       "ken@PC8"},
      {change(kLogout, login("ken", "PC8", "", {})), "10.9.0.7 ken@PC8 > nobody", "10.9.0.7", ""},
      {change(kLogin, login("judy", "PC7", "10.0.0.7", {"10.9.0.7"})), "uncredited 10.9.0.7", "10.9.0.7", ""},
      // A login through a trusted relay proves what it reports, beside a direct login from there.
      {change(kLogin, login("lena", "PCR", "10.0.0.99", {"10.0.0.2"})), "uncredited 10.0.0.2", "10.0.0.2",
       "heidi@PC2"},
      {change(kLogin, relayed(login("lena", "PCR", "10.0.0.99", {"10.0.0.2"}))),
       "10.0.0.2 heidi@PC2 > heidi@PC2,lena@PCR", "10.0.0.2", "heidi@PC2 lena@PCR"},
  };
  for (const Step& step : steps) {
    const ChangeOutcome outcome = apply(step.change);
    ASSERT_TRUE(outcome.committed()) << outcome.failure.message();
    EXPECT_EQ(credit_of(outcome), step.credit) << step.change.entry.user << "@" << step.change.entry.host;
    EXPECT_EQ(names(at(step.address).entries), step.found) << step.change.entry.user << "@" << step.change.entry.host;
  }
  MapQuery by_user;
  by_user.user = "HEIDI";
  const MapPage heidi = read(by_user);
  ASSERT_EQ(names(heidi.entries), "heidi@PC2");
  EXPECT_EQ(heidi.entries[0].uncredited, std::vector<std::string>{"10.0.0.1"});
}

// Changes queued together are committed together, each as if it came alone after the ones before it.
TEST_P(MapStoreContract, ABatchAppliesItsChangesInOrder) {
  ASSERT_TRUE(apply(change(kLogin, login("dave", "H9", "10.0.1.9", {}))).committed());
  ASSERT_TRUE(apply(change(kLogin, login("frank", "F1", "10.0.2.1", {}))).committed());
  const std::vector<MapChange> batch = {
      change(kLogin, login("erin", "E1", "10.0.4.1", {}, kNow - 5)),
      change(kLogin, login("ERIN", "e1", "10.0.4.2", {})),  // refreshes the entry made just before
      change(kLogout, login("dave", "H9", "", {})),
      change(kLogin, login("dave", "h9", "10.0.1.10", {})),  // a new entry
      change(kLogout, login("nobody", "N1", "", {})),
      change(kLogin, login("frank", "F2", "10.0.2.2", {})),
      change(kLogin, login("frank", "F3", "10.0.2.3", {})),  // refused: F1 and F2 are live
      change(kLogout, login("frank", "F1", "", {})),
      change(kLogin, login("frank", "F4", "10.0.2.4", {})),  // only F2 is
  };
  std::string seen;
  for (const ChangeOutcome& o : apply_together(change(kLogin, login("gina", "G1", "10.0.3.1", {})), batch)) {
    seen += std::string(o.committed() ? "ok" : "failed: " + o.failure.message()) + (o.removed ? " removed" : "") +
            (o.failure.kind == Failure::Kind::refused ? " refused" : "") + ";";
  }
  EXPECT_EQ(seen, "ok;ok;ok removed;ok;ok;ok;ok refused;ok removed;ok;");
  const MapPage all = read(MapQuery());
  EXPECT_EQ(names(all.entries), "erin@E1 frank@F2 frank@F4 gina@G1 dave@h9");
  EXPECT_EQ(all.entries[0].first_seen, kNow - 5);
  EXPECT_EQ(all.entries[0].peer, "10.0.4.2");
  EXPECT_EQ(names(at("10.0.1.10").entries), "dave@h9");
  EXPECT_EQ(names(at("10.0.4.1").entries), "");
}

// Credit decided in one batch: each login sees the addresses and the credit of the changes before it,
// and the history has their events in the order of the changes.
TEST_P(MapStoreContract, ABatchDecidesCreditInOrder) {
  const struct {
    MapChange change;
    const char* credit;
  } steps[] = {
      {change(kLogin, login("nora", "PC5", "10.0.0.5", {})), "10.0.0.5 nobody > nora@PC5"},
      {change(kLogout, login("nora", "PC5", "", {})), "10.0.0.5 nora@PC5 > nobody"},
      {change(kLogin, login("judy", "PC7", "10.0.0.7", {"10.9.0.7"})), "10.9.0.7 nobody > judy@PC7"},
      {change(kLogin, login("mia", "PC9", "10.0.0.9", {"10.9.0.7"})), "10.9.0.7 judy@PC7 > judy@PC7,mia@PC9"},
      {change(kLogin, login("ken", "PC8", "10.9.0.7", {"10.9.0.7"})), "10.9.0.7 judy@PC7,mia@PC9 > ken@PC8"},
      {change(kLogout, login("ken", "PC8", "", {})), "10.9.0.7 ken@PC8 > nobody"},
      {change(kLogin, login("judy", "PC7", "10.0.0.7", {"10.9.0.7"})), "uncredited 10.9.0.7"},
      {change(kLogin, relayed(login("lena", "PCR", "10.0.0.99", {"10.9.0.7"}))), "10.9.0.7 nobody > lena@PCR"},
  };
  std::vector<MapChange> batch;
  for (const auto& step : steps) batch.push_back(step.change);
  const std::vector<ChangeOutcome> outcomes =
      apply_together(change(kLogin, login("gina", "G1", "10.0.3.1", {})), batch);
  for (std::size_t i = 0; i < batch.size(); ++i) {
    ASSERT_TRUE(outcomes[i].failure.ok()) << outcomes[i].failure.message();
    EXPECT_EQ(credit_of(outcomes[i]), steps[i].credit) << batch[i].entry.user << "@" << batch[i].entry.host;
  }
  EXPECT_EQ(names(at("10.9.0.7").entries), "lena@PCR");
  EXPECT_EQ(names(at("10.0.0.5").entries), "");
  HistoryQuery here;
  here.ip = "10.9.0.7";
  EXPECT_EQ(history(here), "0 credited lena@PCR 10.9.0.7;0 login lena@PCR 10.9.0.7;0 uncredited ken@PC8 10.9.0.7;"
                           "0 logout ken@PC8 10.9.0.7;0 credited ken@PC8 10.9.0.7;0 uncredited mia@PC9 10.9.0.7;"
                           "0 uncredited judy@PC7 10.9.0.7;0 login ken@PC8 10.9.0.7;0 credited mia@PC9 10.9.0.7;"
                           "0 login mia@PC9 10.9.0.7;0 credited judy@PC7 10.9.0.7;0 login judy@PC7 10.9.0.7;");
}

// Users who come from one address at one host share it (a terminal server); users who name one host
// and merely claim an address cannot all be there: a conflict, which the host name cannot hide.
TEST_P(MapStoreContract, ClaimsAtOneHostConflictWhereProofsShareIt) {
  for (const char* user : {"tina", "tom"}) {
    ASSERT_TRUE(apply(change(kLogin, login(user, "TS9", "10.0.6.9", {"10.0.6.9"}))).committed());
    ASSERT_TRUE(apply(change(kLogin, login(std::string(user) + "2", "PC6", "10.0.5.1", {"10.0.6.6"}))).committed());
  }
  MapQuery conflicts;
  conflicts.show = MapShow::Conflicts;
  const MapPage page = read(conflicts, ViewExtras{true, false});
  EXPECT_EQ(names(page.entries), "tina2@PC6 tom2@PC6");
  ASSERT_TRUE(page.totals);
  EXPECT_EQ(page.totals->conflicts, 1);
  const AddressUse claimed = page.addresses.at("10.0.6.6");
  EXPECT_EQ((std::vector<bool>{claimed.conflict(), claimed.shared_host()}), (std::vector<bool>{true, false}));
  MapQuery server;
  server.ip = "10.0.6.9";
  const AddressUse shared = read(server).addresses.at("10.0.6.9");
  EXPECT_EQ((std::vector<bool>{shared.conflict(), shared.shared_host()}), (std::vector<bool>{false, true}));
}

TEST_P(MapStoreContract, ListingsFilterAndCount) {
  ASSERT_TRUE(apply(change(kLogin, login("a_b", "X1", "10.0.5.1", {"10.0.9.9"}, kNow - 1000))).committed());
  ASSERT_TRUE(apply(change(kLogin, login("axb", "X2", "10.0.5.2", {"10.0.9.9"}))).committed());
  ASSERT_TRUE(apply(change(kLogin, login("other", "X3", "10.0.5.3", {}))).committed());
  MapQuery search;
  search.prefix = "A_";
  EXPECT_EQ(names(read(search).entries), "a_b@X1");
  MapQuery conflicts;
  conflicts.show = MapShow::Conflicts;
  const MapPage conflicting = read(conflicts, ViewExtras{true, false});
  EXPECT_EQ(names(conflicting.entries), "a_b@X1 axb@X2");
  EXPECT_EQ(conflicting.entries[0].address, "10.0.9.9");
  ASSERT_TRUE(conflicting.totals);
  EXPECT_EQ(conflicting.totals->logged_on, 3);
  EXPECT_EQ(conflicting.totals->conflicts, 1);
  MapQuery stale;
  stale.show = MapShow::Stale;
  stale.stale_before = kNow - 500;
  EXPECT_EQ(names(read(stale).entries), "a_b@X1");
  MapQuery page;
  page.limit = 1;
  page.offset = 1;
  const MapPage second = read(page);
  EXPECT_EQ(names(second.entries), "axb@X2 other@X3");  // one more than asked: another page follows
  EXPECT_EQ(second.matches, 3);
}

// Logins, moves, logouts, expiries and changes of credit are events, one per address; refreshes are not; events
// older than the history's days are forgotten; and who held an address at a moment is answered.
TEST_P(MapStoreContract, TheHistoryTellsWhoWasWhere) {
  const std::int64_t day = 86400;
  const EntryGroup staff{"S-1-5-21-7-7-7-513", ""};
  const EntryGroup marketing{"S-1-5-21-7-7-7-1104", "LAB\\Marketing"};
  const std::vector<MapChange> steps = {
      change(kLogin, login("carol", "PC3", "10.0.7.3", {"10.0.7.3"}, kNow - 7200)),  // expired an hour ago
      change(kLogin, login("dave", "PC4", "10.0.7.4", {}, kNow - 3 * day)),          // forgotten: beyond a day
      change(kLogin, in_groups(login("alice", "PC1", "10.0.7.1", {"10.0.7.1"}, kNow - 600), {staff})),
      change(kLogin, in_groups(login("ALICE", "pc1", "10.0.7.1", {"10.0.7.1"}, kNow - 550), {staff})),  // no event
      // Other groups: an event at no address, which neither puts alice anywhere nor takes her away.
      change(kLogin, in_groups(login("alice", "PC1", "10.0.7.1", {"10.0.7.1"}, kNow - 500), {marketing, staff})),
      // A name the directory gives now is no change of membership.
      change(kLogin, in_groups(login("alice", "PC1", "10.0.7.9", {"10.0.7.2", "10.0.7.3"}, kNow - 400),
                               {marketing, EntryGroup{staff.sid, "LAB\\Domain Users"}})),
      change(kLogin, login("bob", "PC2", "10.0.7.1", {"10.0.7.1"}, kNow - 300)),
      change(kLogout, login("Alice", "PC1", "", {}, kNow - 200)),
      change(kLogin, login("erin", "PC5", "10.0.7.8", {"10.0.7.1"}, kNow - 150)),  // a claim beside bob
  };
  for (const MapChange& c : steps) ASSERT_TRUE(apply(c).committed());
  // Entries that ran out are purged at most once a second: by a later commit, or on the writer's own.
  const auto purged = [this] {
    const std::string all = history(HistoryQuery());
    return all.find("expired") != std::string::npos && all.find("dave") == std::string::npos;
  };
  for (int i = 0; i < 100 && !purged(); ++i) usleep(100000);
  EXPECT_EQ(history(HistoryQuery()),
            "-150 login erin@PC5 10.0.7.1;-200 logout alice@PC1 10.0.7.3;-200 logout alice@PC1 10.0.7.2;"
            "-300 credited bob@PC2 10.0.7.1;"
            "-300 login bob@PC2 10.0.7.1;-400 uncredited alice@PC1 10.0.7.1;-400 moved alice@PC1 10.0.7.3;"
            "-400 moved alice@PC1 10.0.7.2;-500 groups alice@PC1 ;-600 credited alice@PC1 10.0.7.1;"
            "-600 login alice@PC1 10.0.7.1;"
            "-3600 uncredited carol@PC3 10.0.7.3;-3600 expired carol@PC3 10.0.7.3;"
            "-7200 credited carol@PC3 10.0.7.3;-7200 login carol@PC3 10.0.7.3;");
  HistoryQuery page;
  page.user = "ALICE";
  page.until = kNow - 300;
  page.limit = 1;
  page.offset = 1;
  EXPECT_EQ(history(page), "-400 moved alice@PC1 10.0.7.3;-400 moved alice@PC1 10.0.7.2;");
  HistoryQuery by_address;
  by_address.ip = "10.0.7.3";
  by_address.since = kNow - 3600;
  EXPECT_EQ(history(by_address), "-200 logout alice@PC1 10.0.7.3;-400 moved alice@PC1 10.0.7.3;"
                                 "-3600 uncredited carol@PC3 10.0.7.3;-3600 expired carol@PC3 10.0.7.3;");
  const struct {
    const char* ip;
    std::int64_t before_now;
    const char* held_by;
  } moments[] = {
      {"10.0.7.1", 450, "alice@PC1"},  {"10.0.7.1", 350, ""},  {"10.0.7.1", 250, "bob@PC2"},
      {"10.0.7.1", 100, "bob@PC2 erin@PC5?"},  // the credited holder first, above the later claim
      {"10.0.7.2", 350, "alice@PC1?"}, {"10.0.7.2", 100, ""},  {"10.0.7.3", 5000, "carol@PC3"},
      {"10.0.7.3", 350, "alice@PC1?"}, {"10.0.7.4", 3 * day - 10, ""},
  };
  for (const auto& m : moments) EXPECT_EQ(holders(m.ip, kNow - m.before_now), m.held_by) << m.ip << " " << m.before_now;
}

// The change feed gives every change after a position once, in order: credits given and taken (a
// credit whose entry has gone since expires when it was given), and a refresh (told by its entry's
// row, not by the history) with its new expiry.
TEST_P(MapStoreContract, TheFeedTellsEachChangeOnce) {
  const FeedRead start = feed(std::nullopt);
  const std::vector<EntryGroup> staff = {{"S-1-5-21-7-7-7-1105", "LAB\\Staff"}};
  ASSERT_TRUE(apply(change(kLogin, in_groups(login("alice", "PC1", "10.0.0.1", {"10.0.0.1"}), staff))).committed());
  ASSERT_TRUE(apply(change(kLogin, login("bob", "PC2", "10.0.0.2", {"10.0.0.2"}))).committed());
  ASSERT_TRUE(apply(change(kLogout, login("bob", "PC2", "10.0.0.2", {"10.0.0.2"}))).committed());
  ASSERT_TRUE(
      apply(change(kLogin, in_groups(login("alice", "PC1", "10.0.0.1", {"10.0.0.1"}, kNow + 10), staff))).committed());
  const auto text = [](const FeedRead& read) {
    std::string out;
    for (const FeedItem& i : read.items) {
      out += (out.empty() ? "" : ", ") + i.change + " " + i.user + " " + i.address + " " + std::to_string(i.expires - kNow);
      for (const EntryGroup& g : i.groups) out += " " + g.sid + "=" + g.name;
    }
    return out;
  };
  const FeedRead after = changes(start.position, 4, kNow + 60);
  EXPECT_EQ(after.map, start.map);
  EXPECT_EQ(text(after),
            "credited alice 10.0.0.1 3610 S-1-5-21-7-7-7-1105=LAB\\Staff, credited bob 10.0.0.2 0, uncredited bob "
            "10.0.0.2 0, refreshed alice 10.0.0.1 3610 S-1-5-21-7-7-7-1105=LAB\\Staff");
  EXPECT_EQ(text(feed(std::nullopt, kNow + 60)), " alice 10.0.0.1 3610 S-1-5-21-7-7-7-1105=LAB\\Staff");
  EXPECT_EQ(text(feed(after.position, kNow + 120)), "");
  // A position from before the history's horizon (a day here) may have missed forgotten events.
  EXPECT_TRUE(feed(FeedPosition{after.position.mark, kNow - 2 * 86400}).lost);
}

// An entry whose logins report ever other addresses adds a few moves, then one every five minutes:
// the history keeps it where it was last recorded, and catches up once the budget allows.
TEST_P(MapStoreContract, MovesOfOneEntryGrowTheHistoryBoundedly) {
  const std::int64_t start = kNow - 1000;
  ASSERT_TRUE(apply(change(kLogin, login("flip", "PC9", "10.0.8.1", {"10.0.8.1"}, start))).committed());
  const auto flip = [this](int i, std::int64_t at) {
    return apply(change(kLogin, login("flip", "PC9", "10.0.8.1", {"10.0.8.1", i % 2 ? "10.0.8.2" : "10.0.8.3"}, at)));
  };
  for (int i = 1; i <= 19; ++i) ASSERT_TRUE(flip(i, start + i).committed());
  HistoryQuery of_entry;
  of_entry.host = "PC9";
  of_entry.since = start;
  const auto moves = [&] {
    const std::string all = history(of_entry);
    std::size_t n = 0;
    for (std::size_t at = all.find(" moved "); at != std::string::npos; at = all.find(" moved ", at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(moves(), 8u);  // four moves of two addresses each; the fourth put it at .3
  EXPECT_EQ(holders("10.0.8.3", start + 19), "flip@PC9?");
  ASSERT_TRUE(flip(19, start + 19 + MoveBudget::kSeconds).committed());  // a refresh where it is
  EXPECT_EQ(moves(), 10u);
  EXPECT_EQ(holders("10.0.8.2", start + 19 + MoveBudget::kSeconds), "flip@PC9?");
  EXPECT_EQ(holders("10.0.8.3", start + 19 + MoveBudget::kSeconds), "");
}

// Runs `sql` on the map, closed: true when it ran.
bool run_on_map(const std::string& location, const std::string& sql) {
  if (location.rfind("postgresql://", 0) == 0) {
    PGconn* conn = PQconnectdb(location.c_str());
    PGresult* result = PQexec(conn, sql.c_str());
    const bool ran = PQresultStatus(result) == PGRES_COMMAND_OK;
    PQclear(result);
    PQfinish(conn);
    return ran;
  }
  sqlite3* db = nullptr;
  const bool ran = sqlite3_open(location.c_str(), &db) == SQLITE_OK &&
                   sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  return ran;
}

// Each store's oldest numbered format (SQLite's 1, without the relay flag; PostgreSQL's 1, which is
// SQLite's 2) lacks the credit of each address, the groups and the events' transactions: opened
// again, the map is brought up to date, what its entries prove is credited to them, their groups are
// kept from the next logon, and the change feed reads on.
TEST_P(MapStoreContract, AnOlderMapIsBroughtUpToDate) {
  ASSERT_TRUE(apply(change(kLogin, login("alice", "PC1", "10.0.0.1", {"10.0.0.1"}))).committed());
  map_.reset();
  const std::string older = std::string(GetParam()) == "sqlite"
                                ? "ALTER TABLE logons DROP COLUMN relayed; PRAGMA user_version = 1;"
                                : "UPDATE logon_map_format SET format = 1;";
  ASSERT_TRUE(run_on_map(location_, "DROP INDEX logon_addresses_credited; ALTER TABLE logon_addresses DROP COLUMN "
                                    "credited; ALTER TABLE logons DROP COLUMN groups; ALTER TABLE logon_events DROP COLUMN tx;" +
                                    older));
  open(location_);
  EXPECT_EQ(names(at("10.0.0.1").entries), "alice@PC1");
  EXPECT_TRUE(at("10.0.0.1").entries[0].groups.empty());
  const FeedRead snapshot = feed(std::nullopt);
  const std::vector<EntryGroup> groups = {{"S-1-5-21-7-7-7-1104", "LAB\\Marketing"}, {"S-1-18-1", ""}};
  EXPECT_TRUE(apply(change(kLogin, in_groups(relayed(login("bob", "PC2", "10.0.0.2", {"10.0.0.2"})), groups)))
                  .committed());
  const FeedRead bob = changes(snapshot.position, 1);
  ASSERT_EQ(bob.items.size(), 1u);
  EXPECT_EQ(bob.items[0].change + " " + bob.items[0].user + " " + bob.items[0].address, "credited bob 10.0.0.2");
  EXPECT_EQ(bob.items[0].groups, groups);
  map_.reset();
  open(location_);  // stamped with this service's format, which it opens as it is
  EXPECT_EQ(at("10.0.0.2").entries[0].groups, groups);
}

// A listing of an SQLite map that reads past its deadline (here at once) is stopped and says why;
// the health check's count, read on the reader of lookups, still answers.
TEST_P(MapStoreContract, ALongListingIsStoppedAndTheHealthCountStillAnswers) {
  if (std::string(GetParam()) != "sqlite") GTEST_SKIP() << "PostgreSQL's listings have no deadline of their own";
  map_.reset();
  listing_milliseconds_ = 0;
  open(location_);
  std::vector<std::string> addresses;
  for (int i = 1; i <= 16; ++i) addresses.push_back("10.0.9." + std::to_string(i));
  for (int i = 0; i < 20; ++i)
    ASSERT_TRUE(apply(change(kLogin, login("u" + std::to_string(i), "PC" + std::to_string(i), "10.0.9.1", addresses)))
                    .committed());
  std::promise<HistoryPage> page;
  map_->read_history(HistoryQuery(), [&page](HistoryPage p) { page.set_value(std::move(p)); });
  EXPECT_NE(page.get_future().get().failure.message().find("ms and was stopped"), std::string::npos);
  std::promise<std::int64_t> count;
  map_->count_current(kNow, [&count](std::int64_t n, const Failure& f) { count.set_value(f.ok() ? n : -1); });
  EXPECT_EQ(count.get_future().get(), 20);
}

INSTANTIATE_TEST_SUITE_P(Stores, MapStoreContract, ::testing::Values("sqlite", "postgresql"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
