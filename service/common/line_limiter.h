// Limits lines of a log per kind: a few of each kind a minute, then how many more were left out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Decides which lines of each kind are written: the first `lines_per_window` of a window of
// `window_seconds` that starts with the first line of that kind; the rest are counted, and
// once the window is over one line says how many were left out. At most `max_kinds` kinds
// are told apart; lines of any further kind share one.
class LineLimiter {
 public:
  LineLimiter(unsigned lines_per_window, std::int64_t window_seconds, std::size_t max_kinds);

  // Whether a line of `kind` may be written now. `summaries` receives the lines about
  // ended windows of this kind.
  bool admit(const std::string& kind, std::int64_t now, std::vector<std::string>* summaries);
  // The lines about every ended window with lines left out (every window, when `all`).
  void collect(std::int64_t now, bool all, std::vector<std::string>* summaries);

 private:
  struct Window {
    std::int64_t start = 0;
    unsigned written = 0;
    std::uint64_t left_out = 0;
  };
  void close(const std::string& kind, Window* window, std::int64_t now, std::vector<std::string>* summaries);

  const unsigned lines_per_window_;
  const std::int64_t window_seconds_;
  const std::size_t max_kinds_;
  std::map<std::string, Window> windows_;
};
