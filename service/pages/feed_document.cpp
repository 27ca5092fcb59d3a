// The change feed's JSON (`/feed`): its cursors, the snapshot of every credited address, a batch of changes.
#include "pages/feed_document.h"

#include <cstdlib>

#include "common/json.h"

namespace {

void append_groups(const std::vector<EntryGroup>& groups, std::string* out) {
  out->append(",\"groups\":[");
  for (std::size_t i = 0; i < groups.size(); ++i) {
    if (i != 0) out->push_back(',');
    *out += "{\"sid\":" + json_string(groups[i].sid) + ",\"name\":" + json_string(groups[i].name) + "}";
  }
  out->push_back(']');
}

// Written straight into the document: a snapshot of a large site has hundreds of thousands of items.
void append_item(const FeedItem& item, bool with_change, std::string* out) {
  out->append(with_change ? "{\"change\":" + json_string(item.change) + ",\"address\":" : "{\"address\":");
  *out += json_string(item.address);
  *out += ",\"user\":" + json_string(item.user);
  *out += ",\"domain\":" + json_string(item.domain);
  *out += ",\"host\":" + json_string(item.host);
  append_groups(item.groups, out);
  *out += ",\"expires\":" + std::to_string(item.expires) + "}";
}

std::string document(const std::string& cursor, const char* list, const FeedRead& read, bool with_change) {
  std::string out = "{\"cursor\":" + json_string(cursor) + ",\"" + list + "\":[";
  out.reserve(out.size() + read.items.size() * 128);
  for (std::size_t i = 0; i < read.items.size(); ++i) {
    if (i != 0) out.push_back(',');
    append_item(read.items[i], with_change, &out);
  }
  out += "]}";
  return out;
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
