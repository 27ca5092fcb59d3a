// `/history.json`: the map's events, or who held an address at a moment.
#pragma once

#include "handlers/handler.h"
#include "usermap/user_map.h"

class HistoryHandler : public Handler {
 public:
  explicit HistoryHandler(UserMap& users);
  void handle(const Exchange& exchange, Responder respond) override;

 private:
  UserMap& users_;
};
