// The service's own lines in a file it reopens by name, so that the file can be rotated without losing lines.
#include "daemon/service_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

bool open_service_log(const std::string& path, std::string* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
  if (fd < 0) {
    *error = "cannot open the service log " + path + ": " + std::strerror(errno);
    return false;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  // dup2 replaces both at once: no line finds either closed.
  const bool ok = ::dup2(fd, STDOUT_FILENO) >= 0 && ::dup2(fd, STDERR_FILENO) >= 0;
  if (!ok) *error = "cannot write the service log " + path + ": " + std::strerror(errno);
  ::close(fd);
  return ok;
}
