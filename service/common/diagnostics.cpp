// The service's lines on stderr: escaped, cut to a bounded length, and those that requests cause limited per kind.
#include "common/diagnostics.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "common/text.h"

namespace {

// Lines of one kind in a minute, and kinds told apart: whatever the flood, stderr grows by at
// most (16 + 1) kinds x 11 lines x 1 KiB a minute, about 270 MB a day.
constexpr unsigned kLinesPerWindow = 10;
constexpr std::int64_t kWindowSeconds = 60;
constexpr std::size_t kMaxKinds = 16;

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

// systemd names the journal's stream in JOURNAL_STREAM ("DEVICE:INODE"); a standard error that is
// that stream gets its time from the journal, any other (a file, a pipe) from each line.
bool stderr_is_journal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  struct stat status {};
  if (stream == nullptr || fstat(STDERR_FILENO, &status) != 0) return false;
  unsigned long long device = 0, inode = 0;
  return std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 && device == status.st_dev && inode == status.st_ino;
}

// UTC to the millisecond, as ISO 8601 writes it: 2026-12-07T14:05:00.123Z.
std::string time_stamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis));
  return text;
}

void write_line(const std::string& line) {
  static const bool journal = stderr_is_journal();
  std::fprintf(stderr, "%spellamor-service: %s\n", journal ? "" : time_stamp().c_str(),
               clip(escape_controls(line), kMaxReportLine).c_str());
}

void write_lines(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) write_line(line);
  std::fflush(stderr);
}

}  // namespace

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
