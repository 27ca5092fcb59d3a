// The change feed's JSON (`/feed`): its cursors, the snapshot of every credited address, a batch of changes.
#include "pages/feed_document.h"

#include <cstdlib>

#include "common/json.h"

namespace {

std::string item_json(const FeedItem& item, bool with_change) {
  JsonObject o;
  if (with_change) o.add_string("change", item.change);
  o.add_string("address", item.address)
      .add_string("user", item.user)
      .add_string("domain", item.domain)
      .add_string("host", item.host)
      .add_raw("groups", "[]")
      .add_number("expires", item.expires);
  return o.str();
}

std::string document(const std::string& cursor, const char* list, const FeedRead& read, bool with_change) {
  std::vector<std::string> items;
  items.reserve(read.items.size());
  for (const FeedItem& item : read.items) items.push_back(item_json(item, with_change));
  return JsonObject().add_string("cursor", cursor).add_raw(list, json_array(items)).str();
}

bool read_number(const std::string& text, std::int64_t* out) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *out = std::strtoll(text.c_str(), nullptr, 10);
  return true;
}

}  // namespace

std::string feed_cursor(const std::string& map, const FeedPosition& position) {
  return map + "-" + std::to_string(position.mark) + "-" + std::to_string(position.since);
}

bool read_feed_cursor(const std::string& text, std::string* map, FeedPosition* position) {
  const std::size_t first = text.find('-');
  const std::size_t second = first == std::string::npos ? first : text.find('-', first + 1);
  if (first == 0 || second == std::string::npos) return false;
  *map = text.substr(0, first);
  return read_number(text.substr(first + 1, second - first - 1), &position->mark) &&
         read_number(text.substr(second + 1), &position->since);
}

std::string feed_snapshot_json(const std::string& cursor, const FeedRead& read) {
  return document(cursor, "snapshot", read, false);
}

std::string feed_changes_json(const std::string& cursor, const FeedRead& read) {
  return document(cursor, "changes", read, true);
}
