// The network side: an Asio/Beast HTTP/1.1 server that keeps each connection's NTLM state with it.
#pragma once

#include <memory>
#include <string>

#include "logon_service.h"

class HttpServer {
 public:
  explicit HttpServer(LogonService& service);
  ~HttpServer();

  // Binds and listens; `bound` receives "ADDR:PORT" with the real port.
  bool listen(const std::string& address, unsigned port, std::string* bound, std::string* error);
  // Serves on `threads` threads until SIGINT or SIGTERM.
  void run(unsigned threads);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
