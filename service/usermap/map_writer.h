// The user map's one writing thread: its queue of changes and checks, and the group commit that answers them.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "usermap/map_changes.h"
#include "usermap/map_limits.h"
#include "usermap/map_purge.h"
#include "usermap/map_samples.h"
#include "usermap/store_link.h"
#include "usermap/user_map.h"

// The one thread that writes, on a connection of its own. See UserMap for what each call promises.
class MapWriter {
 public:
  MapWriter(MapStore& store, std::unique_ptr<MapConnection> connection, const MapLimits& limits);
  MapWriter(const MapWriter&) = delete;
  MapWriter& operator=(const MapWriter&) = delete;

  void start();
  void submit(MapChange change, UserMap::ChangeDone done);
  void check(UserMap::CheckDone done);
  void observe_commits(UserMap::CommitObserver observer);
  void observe_expiries(UserMap::ExpiryObserver observer);
  void observe_credit(UserMap::CreditObserver observer);
  // Commits what is queued, then ends the thread; later changes and checks fail at once.
  void stop();

 private:
  struct Pending {
    MapChange change;
    UserMap::ChangeDone done;
  };

  void run();
  std::vector<LogonEntry> commit(std::vector<Pending>& batch, const UserMap::CommitObserver& observe);
  bool write_batch(MapConnection& db, const std::vector<Pending>& batch, std::vector<ChangeOutcome>* outcomes,
                   std::vector<AppliedChange>* applied, Purged* purged, std::string* error);
  void answer_checks(std::vector<UserMap::CheckDone>& probes);
  std::vector<LogonEntry> purge_alone();
  Purged purge_if_due(MapConnection& db);
  void sample_if_due();
  void tell_expired(const std::vector<LogonEntry>& expired);
  void tell_credit(const std::vector<CreditChange>& changes);

  StoreLink link_;
  const MapLimits limits_;
  MoveBudget moves_;  // the writer's own
  PurgeSchedule purges_;
  SampleSchedule samples_;
  std::thread thread_;

  std::mutex mutex_;  // guards everything below
  std::condition_variable queued_;
  std::vector<Pending> queue_;
  std::vector<UserMap::CheckDone> checks_;
  UserMap::CommitObserver commit_observer_;
  UserMap::ExpiryObserver expiry_observer_;
  UserMap::CreditObserver credit_observer_;
  bool stopping_ = false;
};
