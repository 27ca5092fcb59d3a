// Entry point of pellamor-radius: follows the user map's changes and sends them as RADIUS accounting records.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gateway/feed_client.h"
#include "gateway/radius_client.h"
#include "gateway/radius_options.h"
#include "gateway/radius_sessions.h"

namespace {

// After a failure the peer is asked again this long after it, so that one that is down is not
// asked in a tight loop.
constexpr std::chrono::seconds kPauseAfterFailure{5};

void say(const std::string& line) {
  std::fprintf(stderr, "pellamor-radius: %s\n", line.c_str());
  std::fflush(stderr);
}

std::int64_t now() { return static_cast<std::int64_t>(std::time(nullptr)); }

RadiusIdentity identity_of(const FeedEntry& entry) {
  std::vector<std::string> groups;
  for (const FeedGroup& group : entry.groups) groups.push_back(group.name.empty() ? group.sid : group.name);
  const std::string user_name = entry.domain.empty() ? entry.user : entry.domain + "\\" + entry.user;
  return RadiusIdentity{entry.address, user_name, group_class(groups)};
}

const char* kind_name(RecordKind kind) {
  switch (kind) {
    case RecordKind::start: return "Start";
    case RecordKind::interim_update: return "Interim-Update";
    case RecordKind::stop: return "Stop";
  }
  return "record";
}

// Sends the records in order, noting each acknowledged one; false at the first that no server
// acknowledged, the rest unsent.
bool deliver(const std::vector<AccountingRecord>& records, RadiusClient* radius, AccountingSessions* sessions) {
  for (const AccountingRecord& record : records) {
    const std::string what = std::string(kind_name(record.kind)) + " for " + record.identity.user_name + " at " +
                             record.identity.address + " (session " + record.session_id + ")";
    const Failure failed = radius->send(record);
    if (!failed.ok()) {
      say(what + " not sent: " + failed.message() + "; the map will be read afresh");
      return false;
    }
    sessions->sent(record);
    if (record.kind != RecordKind::interim_update) say(what);
  }
  return true;
}

std::vector<AccountingRecord> records_for(const FeedEvent& event, AccountingSessions* sessions) {
  switch (event.change) {
    case FeedChange::Credited:
    case FeedChange::Refreshed: return sessions->credited(identity_of(event.entry), now());
    case FeedChange::Uncredited: return sessions->ended(event.entry.address, StopCause::user_request, now());
    case FeedChange::Expired: return sessions->ended(event.entry.address, StopCause::idle_timeout, now());
  }
  return {};
}

// How long a service may hold a request for changes open before it answers none.
constexpr int kFeedWait = 25;

// Reconciles the sessions with a snapshot of the whole map.
bool reconcile(const std::vector<FeedEntry>& entries, RadiusClient* radius, AccountingSessions* sessions) {
  std::vector<RadiusIdentity> credits;
  for (const FeedEntry& entry : entries) credits.push_back(identity_of(entry));
  if (!deliver(sessions->reconcile(credits, now()), radius, sessions)) return false;
  say("map read: " + std::to_string(credits.size()) + " credited addresses, " +
      std::to_string(sessions->open_sessions()) + " sessions open");
  return true;
}

// Sends what one answer of the feed calls for; false when a record was not acknowledged.
bool account(const FeedUpdate& update, RadiusClient* radius, AccountingSessions* sessions) {
  if (update.snapshot) return reconcile(update.entries, radius, sessions);
  for (const FeedEvent& event : update.events)
    if (!deliver(records_for(event, sessions), radius, sessions)) return false;
  return true;
}

// Unique to this run: the start time and process, so that no two runs share a session ID.
std::string session_prefix() {
  char text[32];
  std::snprintf(text, sizeof text, "%llx-%x", static_cast<unsigned long long>(now()),
                static_cast<unsigned>(getpid()));
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  RadiusOptions options;
  const int parsed = parse_radius_command_line(argc, argv, &options);
  if (parsed != 0) return parsed == 1 ? 0 : 2;
  const Failure no_secret = read_secret_file(options.secret_file, &options.radius.secret);
  if (!no_secret.ok()) {
    say("--secret-file " + no_secret.message());
    return 1;
  }
  std::string error;
  const std::unique_ptr<RadiusClient> radius = RadiusClient::open(options.radius, &error);
  if (radius == nullptr) {
    say(error);
    return 1;
  }
  FeedClient feed(options.services);
  AccountingSessions sessions(session_prefix());
  for (;;) {
    FeedUpdate update;
    std::vector<std::string> notes;
    const Failure unread = feed.next(kFeedWait, &update, &notes);
    for (const std::string& note : notes) say(note);
    if (!unread.ok()) say("cannot follow the map: " + unread.message());
    if (unread.ok() && account(update, radius.get(), &sessions)) continue;
    // What was not acknowledged is made good by reconciling with the whole map once more.
    if (unread.ok()) feed.restart();
    std::this_thread::sleep_for(kPauseAfterFailure);
  }
}
