// The agents' endpoint, /tarnwise: a login or logout, proven by its handshake and recorded in the user map.
#pragma once

#include <memory>
#include <string>

#include "common/service_counters.h"
#include "config/options.h"
#include "handlers/handler.h"
#include "requests/logon_request.h"
#include "usermap/user_map.h"
#include "verify/group_names.h"

class LogonHandler : public Handler {
 public:
  LogonHandler(const Options& options, UserMap& users, ServiceCounters& counters, GroupNames& group_names);
  void handle(const Exchange& exchange, ReplyCallback respond) override;

 protected:
  // The steps the test options reshape (TestLogonHandler); each answers through `respond`.
  virtual void without_credentials(const LogonRequest& logon, const Exchange& exchange, ReplyCallback respond);
  virtual void with_credentials(const LogonRequest& logon, const Exchange& exchange, ReplyCallback respond);
  // The login or logout of a user the record names now, answered once it is committed.
  virtual void commit(const LogonRequest& logon, const Identity& who, const ClientConnection& connection,
                      const std::shared_ptr<RequestRecord>& record, ReplyCallback respond);
  // The reply to a login or logout that reached the map.
  virtual Reply final_reply(Reply reply) const { return reply; }
  // Tells the agent how often to refresh a persistent login.
  virtual void add_interval_header(Reply* reply) const;
  // The proven (or, in test mode, accepted) user's login or logout.
  void complete(const LogonRequest& logon, const Identity& who, const ClientConnection& connection,
                const std::shared_ptr<RequestRecord>& record, ReplyCallback respond);

  const Options& options_;

 private:
  // A change for the map and the user as the reply names them.
  struct Recording {
    MapChange change;
    std::string who;
  };

  // The refusal of a login that claims more than one login may (a host name too long); unset when
  // it claims no more.
  Outcome over_claim(const LogonRequest& logon) const;
  Recording recording(const LogonRequest& logon, const Identity& who, const ClientConnection& connection) const;
  Reply after_commit(const ChangeOutcome& outcome, const Recording& recorded, RequestRecord& record);
  // Tells on stderr, and in the request log, which claims of addresses the address rule does not credit.
  static void report_disputes(const ChangeOutcome& outcome, const Recording& recorded, RequestRecord& record);

  UserMap& users_;
  ServiceCounters& counters_;
  GroupNames& group_names_;
};
