// The network side: an Asio/Beast HTTP/1.1 server that keeps each connection's NTLM state with it.
#pragma once

#include <chrono>
#include <cstddef>
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

class HttpServer {
 public:
  HttpServer(LogonService& service, const ServerLimits& limits);
  ~HttpServer();

  // Binds and listens; `bound` receives "ADDR:PORT" with the real port.
  bool listen(const std::string& address, unsigned port, std::string* bound, std::string* error);
  // Serves on `threads` threads until SIGINT or SIGTERM.
  void run(unsigned threads);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
