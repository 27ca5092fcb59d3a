// `/feed`: the map's change feed, a snapshot of every credited address or the changes after a cursor, waited for.
#pragma once

#include <memory>
#include <thread>

#include "handlers/handler.h"
#include "usermap/user_map.h"

// A consumer waiting for changes holds no thread: its reply waits here, and one watcher asks the
// map once for all consumers at the same cursor, when this service commits a change and twice a
// second (for the changes other services of a shared map make), until there are changes or the
// consumer's wait runs out.
class FeedHandler : public Handler {
 public:
  explicit FeedHandler(UserMap& users);
  // Answers the consumers still waiting with no changes, and from then on each at once: a service
  // that is stopping does not wait for them.
  void stop();
  ~FeedHandler() override;
  FeedHandler(const FeedHandler&) = delete;
  FeedHandler& operator=(const FeedHandler&) = delete;

  void handle(const Exchange& exchange, ReplyCallback respond) override;
  // This service committed a change: the waiting consumers are asked for now.
  void wake();

 private:
  struct State;
  void watch();

  UserMap& users_;
  // Shared with the reads under way, which may end after the handler.
  const std::shared_ptr<State> state_;
  std::thread watcher_;
};
