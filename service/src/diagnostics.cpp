// The service's lines on stderr: escaped, cut to a bounded length, and those that requests cause limited per kind.
#include "diagnostics.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>

#include "text.h"

namespace {

// Lines of one kind in a minute, and kinds told apart: whatever the flood, stderr grows by at
// most (16 + 1) kinds x 11 lines x 1 KiB a minute, about 270 MB a day.
constexpr unsigned kLinesPerWindow = 10;
constexpr std::int64_t kWindowSeconds = 60;
constexpr std::size_t kMaxKinds = 16;
constexpr const char* kOtherKind = "other";

std::int64_t steady_seconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// One lock for the limiter and the stream, so that lines and their summaries keep their order.
std::mutex& stderr_mutex() {
  static std::mutex mutex;
  return mutex;
}

LineLimiter& limiter() {
  static LineLimiter instance(kLinesPerWindow, kWindowSeconds, kMaxKinds);
  return instance;
}

void write_line(const std::string& line) {
  std::fprintf(stderr, "pellamor-service: %s\n", clip(escape_controls(line), kMaxReportLine).c_str());
}

void write_lines(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) write_line(line);
  std::fflush(stderr);
}

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

std::string reason_kind(const std::string& reason) {
  const std::size_t first = reason.find(' ');
  const std::size_t second = first == std::string::npos ? first : reason.find(' ', first + 1);
  return reason.substr(0, second);
}

void report(const std::string& line) {
  std::lock_guard<std::mutex> lock(stderr_mutex());
  write_lines({line});
}

void report_limited(const std::string& kind, const std::string& line) {
  std::lock_guard<std::mutex> lock(stderr_mutex());
  std::vector<std::string> lines;
  if (limiter().admit(kind, steady_seconds(), &lines)) lines.push_back(line);
  if (!lines.empty()) write_lines(lines);
}

void report_left_out(bool all) {
  std::lock_guard<std::mutex> lock(stderr_mutex());
  std::vector<std::string> lines;
  limiter().collect(steady_seconds(), all, &lines);
  if (!lines.empty()) write_lines(lines);
}
