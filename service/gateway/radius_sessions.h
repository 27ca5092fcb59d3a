// The accounting sessions the RADIUS feed has opened: which records each change of the user map calls for.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Who is credited at an address, as the accounting records carry it.
struct RadiusIdentity {
  std::string address;
  std::string user_name;    // DOMAIN\user
  std::string group_class;  // the user's groups, joined for the Class attribute
};

enum class RecordKind { start, interim_update, stop };

// Why a session ended: the credit was withdrawn (a logout), ran out (no heartbeat), or was
// found gone from the map when it was read afresh.
enum class StopCause { user_request, idle_timeout, lost_service };

struct AccountingRecord {
  RecordKind kind = RecordKind::start;
  std::string session_id;
  RadiusIdentity identity;
  std::int64_t when = 0;             // epoch seconds of the change
  std::int64_t session_seconds = 0;  // since the Start, for Interim-Update and Stop
  StopCause cause = StopCause::user_request;
};

// The sessions live in memory only: after a restart the program does not know which it opened
// before, and opens new ones for every credit it finds.
class AccountingSessions {
 public:
  // `id_prefix` makes the session IDs of one run differ from those of any other.
  explicit AccountingSessions(std::string id_prefix);

  // Records for a new credit or a heartbeat: a Start for an address without a session, an
  // Interim-Update for the same user's session, a Stop and a Start when the user changed.
  std::vector<AccountingRecord> credited(const RadiusIdentity& identity, std::int64_t now);
  // A Stop when the address has a session.
  std::vector<AccountingRecord> ended(const std::string& address, StopCause cause, std::int64_t now);
  // After reading the whole map: Starts for credits without a session, Stops for sessions whose
  // credit is gone, nothing for those already open.
  std::vector<AccountingRecord> reconcile(const std::vector<RadiusIdentity>& credits, std::int64_t now);

  // Takes note of a record a server acknowledged: a Start opens its session, a Stop closes it.
  void sent(const AccountingRecord& record);
  std::size_t open_sessions() const { return sessions_.size(); }

 private:
  struct Session {
    std::string id;
    RadiusIdentity identity;
    std::int64_t started = 0;
  };
  AccountingRecord start(const RadiusIdentity& identity, std::int64_t now);
  static AccountingRecord follow_up(RecordKind kind, const Session& session, std::int64_t now);

  std::string id_prefix_;
  std::uint64_t next_id_ = 1;
  std::map<std::string, Session> sessions_;  // by address
};

// "name,name,..." of the groups, as many whole ones as fit one attribute.
std::string group_class(const std::vector<std::string>& groups);
