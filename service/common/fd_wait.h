// Waiting for a socket with a deadline, for the clients that talk to other services themselves.
#pragma once

#include <chrono>

// Milliseconds from now to `deadline`, 0 once it has passed.
int milliseconds_until(std::chrono::steady_clock::time_point deadline);

// Waits until `fd` is ready for `events` (POLLIN, POLLOUT) or `deadline` passes; a signal does
// not cut the wait short. False at the deadline or when poll() fails.
bool wait_for_fd(int fd, short events, std::chrono::steady_clock::time_point deadline);
