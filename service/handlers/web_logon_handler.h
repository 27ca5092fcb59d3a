// The logon page, /logon: a browser's user logs on or off at the browser's own address, proven by
// the same handshake as the agents', each change a POST of the page's own form.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/service_counters.h"
#include "config/options.h"
#include "handlers/handler.h"
#include "handlers/page_token.h"
#include "usermap/user_map.h"

// The logon page's form as a POST brings it.
struct LogonForm {
  std::string action;  // "login" or "logout"
  std::string token;
  std::string back_to;  // a returnable URL, or empty
};

class WebLogonHandler : public Handler {
 public:
  WebLogonHandler(const Options& options, UserMap& users, ServiceCounters& counters, GroupNames& group_names);
  void handle(const Exchange& exchange, ReplyCallback respond) override;

 private:
  // GET: the page, with who is recorded at the browser's address now.
  void show(const Exchange& exchange, ReplyCallback respond);
  // POST: a logon or logoff, once the form is the page's own and the handshake proves the user.
  void take(const Exchange& exchange, ReplyCallback respond);
  // Why the request may not reach the page at all (through a proxy, for another site); unset when it may.
  Outcome misplaced(const Exchange& exchange) const;
  // Why the request comes from another site's page (its Origin, its Sec-Fetch-Site); unset when it does not.
  Outcome cross_site(const HttpRequest& request) const;
  // Why the form cannot be taken (a bad or old token, no action, an address not to return to); unset when it can.
  Outcome unfit(const LogonForm& form, const std::string& peer) const;
  void commit(const LogonForm& form, const Identity& who, const ClientConnection& connection,
              const std::shared_ptr<RequestRecord>& record, ReplyCallback respond);
  Reply after_commit(const ChangeOutcome& outcome, const MapChange& change, const LogonForm& form,
                     RequestRecord& record);

  const Options& options_;
  UserMap& users_;
  ServiceCounters& counters_;
  GroupNames& group_names_;
  const std::vector<std::string> names_;  // the names the service goes by (--service-name)
  const PageTokens tokens_;
};
