// The accounting sessions the RADIUS feed has opened: which records each change of the user map calls for.
#include "gateway/radius_sessions.h"

#include <set>
#include <utility>

namespace {

// One attribute's value holds at most 253 bytes.
constexpr std::size_t kMaxAttribute = 253;

}  // namespace

AccountingSessions::AccountingSessions(std::string id_prefix) : id_prefix_(std::move(id_prefix)) {}

AccountingRecord AccountingSessions::start(const RadiusIdentity& identity, std::int64_t now) {
  AccountingRecord record;
  record.kind = RecordKind::start;
  record.session_id = id_prefix_ + "-" + std::to_string(next_id_++);
  record.identity = identity;
  record.when = now;
  return record;
}

AccountingRecord AccountingSessions::follow_up(RecordKind kind, const Session& session, std::int64_t now) {
  AccountingRecord record;
  record.kind = kind;
  record.session_id = session.id;
  record.identity = session.identity;
  record.when = now;
  record.session_seconds = now > session.started ? now - session.started : 0;
  return record;
}

std::vector<AccountingRecord> AccountingSessions::credited(const RadiusIdentity& identity, std::int64_t now) {
  const auto open = sessions_.find(identity.address);
  if (open == sessions_.end()) return {start(identity, now)};
  if (open->second.identity.user_name == identity.user_name) {
    AccountingRecord update = follow_up(RecordKind::interim_update, open->second, now);
    update.identity.group_class = identity.group_class;  // the groups may have changed since the Start
    return {update};
  }
  AccountingRecord stop = follow_up(RecordKind::stop, open->second, now);
  stop.cause = StopCause::user_request;
  return {stop, start(identity, now)};
}

std::vector<AccountingRecord> AccountingSessions::ended(const std::string& address, StopCause cause,
                                                        std::int64_t now) {
  const auto open = sessions_.find(address);
  if (open == sessions_.end()) return {};
  AccountingRecord stop = follow_up(RecordKind::stop, open->second, now);
  stop.cause = cause;
  return {stop};
}

std::vector<AccountingRecord> AccountingSessions::reconcile(const std::vector<RadiusIdentity>& credits,
                                                            std::int64_t now) {
  std::vector<AccountingRecord> records;
  std::set<std::string> credited_addresses;
  for (const RadiusIdentity& credit : credits) credited_addresses.insert(credit.address);
  for (const auto& [address, session] : sessions_) {
    if (credited_addresses.count(address) != 0) continue;
    AccountingRecord stop = follow_up(RecordKind::stop, session, now);
    stop.cause = StopCause::lost_service;
    records.push_back(stop);
  }
  for (const RadiusIdentity& credit : credits) {
    const auto open = sessions_.find(credit.address);
    if (open != sessions_.end() && open->second.identity.user_name == credit.user_name) continue;
    for (AccountingRecord& record : credited(credit, now)) records.push_back(std::move(record));
  }
  return records;
}

void AccountingSessions::sent(const AccountingRecord& record) {
  const std::string& address = record.identity.address;
  if (record.kind == RecordKind::stop) {
    const auto open = sessions_.find(address);
    if (open != sessions_.end() && open->second.id == record.session_id) sessions_.erase(open);
  } else if (record.kind == RecordKind::start) {
    sessions_[address] = Session{record.session_id, record.identity, record.when};
  } else {
    const auto open = sessions_.find(address);
    if (open != sessions_.end()) open->second.identity.group_class = record.identity.group_class;
  }
}

std::string group_class(const std::vector<std::string>& groups) {
  std::string joined;
  for (const std::string& group : groups) {
    const std::size_t needed = joined.size() + (joined.empty() ? 0 : 1) + group.size();
    if (group.empty() || needed > kMaxAttribute) continue;
    if (!joined.empty()) joined += ',';
    joined += group;
  }
  return joined;
}
