// The gateway helper's question to the logon service: one HTTP GET with a deadline.
#include "lookup_client.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdlib>

namespace {

// A status page for one address is small; anything larger is not the service's.
constexpr std::size_t kMaxReply = 1 << 20;

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool wait_for(int fd, short events, Clock::time_point deadline) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int left = remaining_ms(deadline);
    if (left == 0) return false;
    const int n = poll(&p, 1, left);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

bool connect_by(const addrinfo& a, int fd, Clock::time_point deadline, std::string* error) {
  if (connect(fd, a.ai_addr, a.ai_addrlen) == 0) return true;
  if (errno != EINPROGRESS) {
    *error = std::string("cannot connect: ") + std::strerror(errno);
    return false;
  }
  if (!wait_for(fd, POLLOUT, deadline)) {
    *error = "no connection before the time-out";
    return false;
  }
  int result = 0;
  socklen_t size = sizeof result;
  getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &size);
  if (result != 0) *error = std::string("cannot connect: ") + std::strerror(result);
  return result == 0;
}

bool send_all(int fd, const std::string& data, Clock::time_point deadline) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    if (!wait_for(fd, POLLOUT, deadline)) return false;
    const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (n > 0) sent += static_cast<std::size_t>(n);
  }
  return true;
}

// A connected non-blocking socket to the first of the addresses that answers, or -1.
int connect_any(const addrinfo* list, Clock::time_point deadline, std::string* error) {
  for (const addrinfo* a = list; a != nullptr && remaining_ms(deadline) > 0; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    if (connect_by(*a, fd, deadline, error)) return fd;
    close(fd);
  }
  return -1;
}

// Reads until the service closes the connection (the request asks it to).
bool receive_all(int fd, std::string* out, Clock::time_point deadline, std::string* error) {
  char buffer[16384];
  for (;;) {
    if (!wait_for(fd, POLLIN, deadline)) {
      *error = "no complete reply before the time-out";
      return false;
    }
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n == 0) return true;
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      *error = std::string("cannot read the reply: ") + std::strerror(errno);
      return false;
    }
    if (n > 0) out->append(buffer, static_cast<std::size_t>(n));
    if (out->size() > kMaxReply) {
      *error = "reply too large";
      return false;
    }
  }
}

bool body_of_ok_reply(const std::string& reply, std::string* body, std::string* error) {
  const std::size_t end_of_head = reply.find("\r\n\r\n");
  const std::string status_line = reply.substr(0, reply.find("\r\n"));
  if (end_of_head == std::string::npos || status_line.rfind("HTTP/1.", 0) != 0 || status_line.size() < 12) {
    *error = "not an HTTP reply";
    return false;
  }
  if (status_line.compare(9, 3, "200") != 0) {
    *error = "service answered " + status_line.substr(9);
    // The service shows its map to loopback and the networks it lists, not to every machine.
    if (status_line.compare(9, 3, "401") == 0 || status_line.compare(9, 3, "403") == 0)
      *error += " (list this machine's address in the service's --status-allow)";
    return false;
  }
  *body = reply.substr(end_of_head + 4);
  return true;
}

}  // namespace

bool parse_service_url(const std::string& url, ServiceAddress* out, std::string* error) {
  const std::string scheme = "http://";
  std::string rest = url.rfind(scheme, 0) == 0 ? url.substr(scheme.size()) : "";
  rest = rest.substr(0, rest.find('/'));
  std::string host = rest;
  std::string port = "80";
  const std::size_t bracket = rest.find(']');
  const std::size_t colon = rest.rfind(':');
  if (rest.rfind("[", 0) == 0 && bracket != std::string::npos) {
    host = rest.substr(1, bracket - 1);
    if (bracket + 1 < rest.size()) port = rest[bracket + 1] == ':' ? rest.substr(bracket + 2) : "";
  } else if (colon != std::string::npos) {
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
  }
  const bool port_ok = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos &&
                       std::atoi(port.c_str()) > 0 && std::atoi(port.c_str()) < 65536;
  if (host.empty() || !port_ok) {
    *error = "expects http://HOST:PORT, not \"" + url + "\"";
    return false;
  }
  *out = ServiceAddress{host, port};
  return true;
}

bool http_get(const ServiceAddress& service, const std::string& target, int timeout_ms, std::string* body,
              std::string* error) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  // A name is looked up by the system's resolver, which has its own time-outs: give a numeric address.
  const int rc = getaddrinfo(service.host.c_str(), service.port.c_str(), &hints, &found);
  if (rc != 0) {
    *error = "cannot resolve " + service.host + ": " + gai_strerror(rc);
    return false;
  }
  const int fd = connect_any(found, deadline, error);
  freeaddrinfo(found);
  if (fd < 0) {
    if (error->empty()) *error = "no connection before the time-out";
    return false;
  }
  Socket socket_guard(fd);
  const bool ipv6 = service.host.find(':') != std::string::npos;
  const std::string host_header = (ipv6 ? "[" + service.host + "]" : service.host) + ":" + service.port;
  const std::string request = "GET " + target + " HTTP/1.1\r\nHost: " + host_header + "\r\nConnection: close\r\n" +
                              "User-Agent: pellamor-squid-helper\r\n\r\n";
  std::string reply;
  if (!send_all(fd, request, deadline)) {
    *error = "cannot send the request";
    return false;
  }
  return receive_all(fd, &reply, deadline, error) && body_of_ok_reply(reply, body, error);
}
