// The request log: one JSON object per line for every HTTP request, written through at once.
#include "requests/request_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/diagnostics.h"

namespace {

// O_APPEND: every line lands whole at the end, even when the file was truncated meanwhile.
int open_for_append(const std::string& path, std::string* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) *error = "cannot open request log " + path + ": " + std::strerror(errno);
  return fd;
}

}  // namespace

std::unique_ptr<RequestLog> RequestLog::open(const std::string& path, std::string* error) {
  const int fd = open_for_append(path, error);
  return fd < 0 ? nullptr : std::unique_ptr<RequestLog>(new RequestLog(path, fd));
}

bool RequestLog::reopen(std::string* error) {
  const int fd = open_for_append(path_, error);
  if (fd < 0) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  ::close(fd_);
  fd_ = fd;
  return true;
}

RequestLog::~RequestLog() { ::close(fd_); }

void RequestLog::append(const RequestRecord& record, std::int64_t now) {
  const std::string line = request_record_json(record, now) + "\n";
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t n = ::write(fd_, line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {  // a full disk must not stop the service, and stderr tells what the log lacks
      report_limited("error: the request log cannot be written",
                     "the request log " + path_ + " cannot be written: " +
                         (n < 0 ? std::strerror(errno) : "nothing was written"));
      return;
    }
    written += static_cast<std::size_t>(n);
  }
}
