// One thread's connection to the user map's store, made again when it is lost.
#include "usermap/store_link.h"

namespace {

constexpr std::chrono::seconds kReconnectPause{1};

}  // namespace

StoreLink::StoreLink(MapStore& store, std::unique_ptr<MapConnection> connection)
    : store_(store), connection_(std::move(connection)) {}

MapConnection* StoreLink::get(std::string* error) {
  if (connection_ && connection_->open()) return connection_.get();
  connection_.reset();
  if (Clock::now() < next_attempt_) {
    *error = last_error_;
    return nullptr;
  }
  connection_ = store_.connect(&last_error_);
  if (!connection_) {
    next_attempt_ = Clock::now() + kReconnectPause;
    *error = last_error_;
  }
  return connection_.get();
}

bool StoreLink::transient_after_failure() {
  if (!connection_) return true;
  const bool transient = connection_->last_failure().transient();
  if (!connection_->open()) connection_.reset();
  return transient;
}
