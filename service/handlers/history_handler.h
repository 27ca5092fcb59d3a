// `/history.json` and the console's `/changes`: the map's events, or who held an address at a moment.
#pragma once

#include "handlers/handler.h"
#include "usermap/user_map.h"

class HistoryHandler : public Handler {
 public:
  // `html`: the console's page, whose events go back an hour unless a time is asked for.
  HistoryHandler(bool html, UserMap& users);
  void handle(const Exchange& exchange, ReplyCallback respond) override;

 private:
  const bool html_;
  UserMap& users_;
};
