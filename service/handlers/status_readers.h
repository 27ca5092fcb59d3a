// Who may read the status views, which tell who is logged on where: loopback and --status-allow at
// once, members of the administrators' group once they log on as agents do, nobody else.
#pragma once

#include <string>
#include <vector>

#include "auth/status_access.h"
#include "config/options.h"
#include "handlers/handler.h"

// Hands the requests of those who may read the map to the view's handler, and answers the others.
class ReadersOnly : public Handler {
 public:
  ReadersOnly(const StatusAccess& access, const Options& options, Handler& view);
  void handle(const Exchange& exchange, ReplyCallback respond) override;

 private:
  void admit(const Identity& who, const Exchange& exchange, ReplyCallback respond);
  // Why the request comes to the wrong place; an unset outcome when it does not.
  Outcome misdirected(const Exchange& exchange) const;

  const StatusAccess& access_;
  const Options& options_;
  Handler& view_;
  const std::vector<std::string> names_;  // the names the service goes by (--service-name)
};

// The refusal of a request that names another site than the service (--service-name, an address
// or localhost); unset when it names none.
Outcome other_site(const HttpRequest& request, const std::vector<std::string>& names);
