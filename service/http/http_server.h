// The network side: an Asio/Beast HTTP/1.1 server that keeps each connection's NTLM state with it.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "logon_service.h"

// What one client may hold, so that no client can lock the others out. A peer is an IPv4
// address or an IPv6 /64. The last quarter of max_connections is headroom: only a peer that
// holds no connection may take a slot there, so that peers at their own limit, however many,
// leave room for the others.
struct ServerLimits {
  std::size_t max_connections = 1000;
  std::size_t max_connections_per_peer = 64;
  // A new connection must send its first byte this soon, or it is closed.
  std::chrono::seconds first_byte_timeout{5};
  // A request must arrive whole this long after its first byte.
  std::chrono::seconds request_timeout{10};
  // A connection that sends nothing for this long is closed.
  std::chrono::seconds idle_timeout{30};
};

// What the signals do besides stopping. SIGHUP calls `reload` and serving goes on.
// SIGTERM and SIGINT stop gently: no new connections or requests are taken, `finish`
// runs on a thread of its own and must answer, through their reply handlers, the
// requests it holds (the user map commits its queue), and run() returns once every
// request read has had its reply sent. A second SIGTERM or SIGINT stops at once.
struct SignalHooks {
  std::function<void()> reload;
  std::function<void()> finish;
};

class HttpServer {
 public:
  explicit HttpServer(const ServerLimits& limits);
  ~HttpServer();

  // Binds and listens; `bound` receives "ADDR:PORT" with the real port. Connections
  // wait in the kernel until run(), so files can be opened after the port is known to be free.
  bool listen(const std::string& address, unsigned port, std::string* bound, std::string* error);
  // Serves `service` on `threads` threads until SIGINT or SIGTERM.
  void run(LogonService& service, unsigned threads, const SignalHooks& hooks);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
