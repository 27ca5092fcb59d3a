// Waiting for a socket with a deadline.
#include "common/fd_wait.h"

#include <poll.h>

#include <cerrno>

int milliseconds_until(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool wait_for_fd(int fd, short events, std::chrono::steady_clock::time_point deadline) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int left = milliseconds_until(deadline);
    if (left == 0) return false;
    const int n = poll(&p, 1, left);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}
