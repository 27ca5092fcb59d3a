// The gateway helper's questions to the logon services: HTTP GETs with a deadline, over connections kept open.
#include "gateway/lookup_client.h"

#include "common/fd_wait.h"
#include "gateway/helper_protocol.h"

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

bool connect_by(const addrinfo& a, int fd, Clock::time_point deadline, std::string* error) {
  if (connect(fd, a.ai_addr, a.ai_addrlen) == 0) return true;
  if (errno != EINPROGRESS) {
    *error = std::string("cannot connect: ") + std::strerror(errno);
    return false;
  }
  if (!wait_for_fd(fd, POLLOUT, deadline)) {
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
    if (!wait_for_fd(fd, POLLOUT, deadline)) return false;
    const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (n > 0) sent += static_cast<std::size_t>(n);
  }
  return true;
}

// A connected non-blocking socket to the first of the addresses that answers, or -1.
int connect_any(const addrinfo* list, Clock::time_point deadline, std::string* error) {
  for (const addrinfo* a = list; a != nullptr && milliseconds_until(deadline) > 0; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    if (connect_by(*a, fd, deadline, error)) return fd;
    close(fd);
  }
  return -1;
}

// Appends what the socket has: 1 when something came, 0 when the peer closed, -1 on an error
// or the deadline (`error` says which).
int receive_some(int fd, std::string* out, Clock::time_point deadline, std::string* error) {
  char buffer[16384];
  for (;;) {
    if (!wait_for_fd(fd, POLLIN, deadline)) {
      *error = "no complete reply before the time-out";
      return -1;
    }
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      out->append(buffer, static_cast<std::size_t>(n));
      return 1;
    }
    if (n == 0) return 0;
    if (errno != EAGAIN && errno != EINTR) {
      *error = std::string("cannot read the reply: ") + std::strerror(errno);
      return -1;
    }
  }
}

constexpr const char* kClosedEarly = "the service closed the connection before the end of its reply";

}  // namespace

struct LookupClient::Service {
  explicit Service(ServiceAddress address) : address(std::move(address)) {}
  ~Service() {
    drop();
    if (resolved != nullptr) freeaddrinfo(resolved);
  }
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  void drop() {
    if (fd >= 0) close(fd);
    fd = -1;
  }

  bool get(const std::string& target, Clock::time_point deadline, const Asking& asking, Answer* answer,
           std::string* error) {
    for (;;) {
      const bool kept = fd >= 0;
      if (!kept && !connect_to(deadline, error)) return false;
      bool answered = false;
      if (exchange(target, deadline, asking, answer, &answered, error)) return true;
      drop();
      // A kept connection that the service closed meanwhile (its idle time-out) fails before any
      // answer: the question goes again, once, on a new connection.
      if (!kept || answered) return false;
      error->clear();
    }
  }

  bool connect_to(Clock::time_point deadline, std::string* error) {
    if (resolved == nullptr) {
      addrinfo hints{};
      hints.ai_socktype = SOCK_STREAM;
      // A name is looked up by the system's resolver, which has its own time-outs: give a numeric address.
      const int rc = getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &resolved);
      if (rc != 0) {
        *error = "cannot resolve " + address.host + ": " + gai_strerror(rc);
        resolved = nullptr;
        return false;
      }
    }
    fd = connect_any(resolved, deadline, error);
    if (fd >= 0) return true;
    if (error->empty()) *error = "no connection before the time-out";
    // Looked up again next time: the name may have moved.
    freeaddrinfo(resolved);
    resolved = nullptr;
    return false;
  }

  bool exchange(const std::string& target, Clock::time_point deadline, const Asking& asking, Answer* answer,
                bool* answered, std::string* error) {
    std::string* body = &answer->body;
    const bool ipv6 = address.host.find(':') != std::string::npos;
    const std::string host_header = (ipv6 ? "[" + address.host + "]" : address.host) + ":" + address.port;
    const std::string request =
        "GET " + target + " HTTP/1.1\r\nHost: " + host_header + "\r\nUser-Agent: pellamor-squid-helper\r\n\r\n";
    if (!send_all(fd, request, deadline)) {
      *error = "cannot send the request";
      return false;
    }
    std::string data;
    std::size_t end_of_head = std::string::npos;
    while ((end_of_head = data.find("\r\n\r\n")) == std::string::npos) {
      if (data.size() > asking.max_reply) {
        *error = "reply too large";
        return false;
      }
      const int got = receive_some(fd, &data, deadline, error);
      *answered = !data.empty();
      if (got <= 0) {
        if (got == 0) *error = kClosedEarly;
        return false;
      }
    }
    ReplyHead head;
    if (!parse_reply_head(data.substr(0, end_of_head), &head)) {
      *error = "not an HTTP reply";
      return false;
    }
    *body = data.substr(end_of_head + 4);
    if (!read_body(head, deadline, asking.max_reply, body, error)) return false;
    if (!head.keep_alive) drop();
    answer->status = head.status;
    if (head.status != 200 && head.status != asking.also) {
      *error = "service answered " + head.status_text;
      // The service shows its map to loopback and the networks it lists, not to every machine.
      if (head.status == 401 || head.status == 403)
        *error += " (list this machine's address in the service's --status-allow)";
      return false;
    }
    return true;
  }

  // The rest of the body: up to its length, or, without one, to the end of the connection.
  bool read_body(const ReplyHead& head, Clock::time_point deadline, std::size_t max_reply, std::string* body,
                 std::string* error) {
    const bool sized = head.content_length >= 0;
    if (sized && head.content_length > static_cast<long long>(max_reply)) {
      *error = "reply too large";
      return false;
    }
    while (!sized || body->size() < static_cast<std::size_t>(head.content_length)) {
      if (body->size() > max_reply) {
        *error = "reply too large";
        return false;
      }
      const int got = receive_some(fd, body, deadline, error);
      if (got < 0) return false;
      if (got == 0 && sized) *error = kClosedEarly;
      if (got == 0) return !sized;
    }
    body->resize(static_cast<std::size_t>(head.content_length));
    return true;
  }

  const ServiceAddress address;
  addrinfo* resolved = nullptr;  // kept until a connection to it fails
  int fd = -1;                   // the connection kept open between questions
};


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
  *out = ServiceAddress{host, port, url};
  return true;
}

LookupClient::LookupClient(std::vector<ServiceAddress> services) {
  for (ServiceAddress& address : services) services_.push_back(std::make_unique<Service>(std::move(address)));
}

LookupClient::~LookupClient() = default;

Failure LookupClient::get(const std::string& target, int timeout_ms, std::string* body,
                          std::vector<std::string>* notes) {
  Answer answer;
  const Failure failure = ask(target, timeout_ms, Asking{kMaxReply, 200, true}, &answer, notes);
  *body = std::move(answer.body);
  return failure;
}

Failure LookupClient::ask(const std::string& target, int timeout_ms, const Asking& asking, Answer* answer,
                          std::vector<std::string>* notes) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  const std::size_t count = services_.size();
  std::vector<std::string> failures;
  for (std::size_t tried = 0; tried < count; ++tried) {
    const std::size_t index = (current_ + tried) % count;
    Service& service = *services_[index];
    const Clock::time_point until =
        asking.shared ? Clock::now() + (deadline - Clock::now()) / static_cast<int>(count - tried)
                      : Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string why;
    if (service.get(target, until, asking, answer, &why)) {
      for (const std::string& failure : failures)
        notes->push_back(failure + "; asked " + service.address.url + " instead");
      current_ = index;
      return Failure();
    }
    failures.push_back(count == 1 ? why : service.address.url + ": " + why);
  }
  std::string all;
  for (const std::string& failure : failures) all += (all.empty() ? "" : "; ") + failure;
  return Failure::unavailable(all, count == 1 ? "logon service" : "logon services");
}
