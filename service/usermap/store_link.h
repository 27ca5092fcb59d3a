// One thread's connection to the user map's store, made again when it is lost.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "usermap/map_store.h"

// The writer and each reader keep one. When a call fails and the store says the connection is
// lost, the link drops it and connects again at the next use; while the store cannot be reached,
// it tries at most once a second, and every use in between fails at once instead of waiting.
class StoreLink {
 public:
  StoreLink(MapStore& store, std::unique_ptr<MapConnection> connection);

  // The connection, or null (the reason in *error) while the store cannot be reached.
  MapConnection* get(std::string* error);
  // After a call that returned false: whether it may succeed later; a connection that is no longer
  // open is dropped.
  bool transient_after_failure();

 private:
  using Clock = std::chrono::steady_clock;

  MapStore& store_;
  std::unique_ptr<MapConnection> connection_;
  Clock::time_point next_attempt_{};
  std::string last_error_;
};
