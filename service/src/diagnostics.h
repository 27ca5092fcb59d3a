// The service's lines on stderr: escaped, cut to a bounded length, and those that requests cause limited per kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Longest line written, in bytes, after escaping; longer ones are cut and say how much was cut.
constexpr std::size_t kMaxReportLine = 1024;

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

// The first two words of a reason ("unknown user D\u" gives "unknown user"): what kind of
// refusal it is, without the names a request put into it.
std::string reason_kind(const std::string& reason);

// One line on stderr, prefixed with the program name; control characters (from names in
// requests) are escaped, so that no request can add a line. Always written: for start-up,
// warnings and errors that happen once.
void report(const std::string& line);

// A line that requests or the network can cause at any rate: at most 10 lines of one kind
// a minute are written.
void report_limited(const std::string& kind, const std::string& line);

// Writes the lines about lines left out in windows that have ended; `all`: in every window,
// before the service ends.
void report_left_out(bool all = false);
