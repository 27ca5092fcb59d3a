// Limits lines of a log per kind: a few of each kind a minute, then how many more were left out.
#include "common/line_limiter.h"

#include <algorithm>

namespace {

constexpr const char* kOtherKind = "other";

}  // namespace

LineLimiter::LineLimiter(unsigned lines_per_window, std::int64_t window_seconds, std::size_t max_kinds)
    : lines_per_window_(lines_per_window), window_seconds_(window_seconds), max_kinds_(max_kinds) {}

bool LineLimiter::admit(const std::string& kind, std::int64_t now, std::vector<std::string>* summaries) {
  const bool known = windows_.count(kind) != 0 || windows_.size() < max_kinds_;
  const std::string& key = known ? kind : kOtherKind;
  auto it = windows_.find(key);
  if (it == windows_.end()) it = windows_.emplace(key, Window{now, 0, 0}).first;
  Window& window = it->second;
  if (now - window.start >= window_seconds_) close(key, &window, now, summaries);
  if (window.written < lines_per_window_) {
    ++window.written;
    return true;
  }
  ++window.left_out;
  return false;
}

void LineLimiter::collect(std::int64_t now, bool all, std::vector<std::string>* summaries) {
  for (auto& [kind, window] : windows_) {
    if (window.left_out > 0 && (all || now - window.start >= window_seconds_)) close(kind, &window, now, summaries);
  }
}

void LineLimiter::close(const std::string& kind, Window* window, std::int64_t now,
                        std::vector<std::string>* summaries) {
  if (window->left_out > 0)
    summaries->push_back(std::to_string(window->left_out) + " more lines like \"" + kind + "\" left out within " +
                         std::to_string(std::max<std::int64_t>(1, now - window->start)) + " s");
  *window = Window{now, 0, 0};
}
