// A consumer's side of the logon services' change feed (`/feed`): snapshots and batches of changes, failing over between services.
#include "gateway/feed_client.h"

#include "common/text.h"
#include "gateway/json_reader.h"

namespace {

// A snapshot of a large site (200,000 addresses) is some tens of megabytes.
constexpr std::size_t kMaxFeedReply = std::size_t{256} << 20;
// Beyond the wait the service was given: for the reply to cross the network.
constexpr int kReplyMarginMs = 10000;
// A snapshot of a large site takes the service seconds to read and write.
constexpr int kSnapshotMs = 120000;

bool read_group(JsonReader* json, FeedGroup* out) {
  return json->members([&](const std::string& key) {
    if (key == "sid") return json->string(&out->sid);
    if (key == "name") return json->string(&out->name);
    return json->skip_value();
  });
}

bool read_change(const std::string& text, FeedChange* out) {
  static const char* const kNames[] = {"credited", "uncredited", "refreshed", "expired"};
  for (int i = 0; i < 4; ++i) {
    if (text == kNames[i]) {
      *out = static_cast<FeedChange>(i);
      return true;
    }
  }
  return false;
}

// One item of a snapshot or of the changes; `change` is read only in the changes.
bool read_item(JsonReader* json, FeedEntry* entry, FeedChange* change) {
  bool known = change == nullptr;
  const bool ok = json->members([&](const std::string& key) {
    std::string text;
    if (key == "change" && change != nullptr) return json->string(&text) && (known = read_change(text, change));
    if (key == "address") return json->string(&entry->address);
    if (key == "user") return json->string(&entry->user);
    if (key == "domain") return json->string(&entry->domain);
    if (key == "host") return json->string(&entry->host);
    if (key == "expires") return json->number(&entry->expires);
    if (key == "groups") {
      return json->elements([&] {
        entry->groups.emplace_back();
        return read_group(json, &entry->groups.back());
      });
    }
    return json->skip_value();
  });
  return ok && known && !entry->address.empty();
}

}  // namespace

bool read_feed_document(const std::string& text, FeedUpdate* out, std::string* cursor) {
  JsonReader json(text);
  *out = FeedUpdate();
  bool listed = false;
  const bool ok = json.members([&](const std::string& key) {
    if (key == "cursor") return json.string(cursor);
    if (key == "snapshot" || key == "changes") {
      listed = true;
      out->snapshot = key == "snapshot";
      return json.elements([&] {
        if (out->snapshot) {
          out->entries.emplace_back();
          return read_item(&json, &out->entries.back(), nullptr);
        }
        out->events.push_back(FeedEvent{FeedChange::Credited, {}});
        return read_item(&json, &out->events.back().entry, &out->events.back().change);
      });
    }
    return json.skip_value();
  });
  return ok && listed && !cursor->empty();
}

FeedClient::FeedClient(std::vector<ServiceAddress> services) : services_(std::move(services)) {}

Failure FeedClient::next(int wait_seconds, FeedUpdate* out, std::vector<std::string>* notes) {
  const bool snapshot = cursor_.empty();
  const std::string target =
      snapshot ? "/feed" : "/feed?after=" + cursor_ + "&wait=" + std::to_string(wait_seconds);
  LookupClient::Answer answer;
  const int timeout_ms = snapshot ? kSnapshotMs : wait_seconds * 1000 + kReplyMarginMs;
  const Failure failure = services_.ask(target, timeout_ms, LookupClient::Asking{kMaxFeedReply, 410, false}, &answer, notes);
  if (!failure.ok()) return failure;
  if (answer.status == 410) {
    // A service of another map, or a cursor older than the map keeps: start again from a snapshot.
    notes->push_back("the service could not resume the feed (" + clip(answer.body, 200) + "); taking a new snapshot");
    cursor_.clear();
    return next(wait_seconds, out, notes);
  }
  std::string cursor;
  if (!read_feed_document(answer.body, out, &cursor) || out->snapshot != snapshot)
    return Failure::unavailable("the service's /feed answer cannot be read", "logon service");
  cursor_ = cursor;
  return Failure();
}
