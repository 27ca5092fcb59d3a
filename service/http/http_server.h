// The network side: an Asio/Beast HTTP/1.1 server that hands each connection's requests to the handler it opens for it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/networks.h"
#include "http/reply.h"
#include "http/reply_callback.h"
#include "http/request.h"

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
  // Balancers whose connections begin with a PROXY header naming the client they carry, who is
  // then the connection's peer for everything. Their connections take a slot once the header
  // names that peer; they must send it within first_byte_timeout.
  NetworkList proxy_peers;
};

// The connections the server holds open now, and those it refused beyond its limits.
struct ConnectionCounts {
  std::atomic<std::int64_t> open{0};
  std::atomic<std::uint64_t> refused{0};
};

// What serves the requests of one connection; it lives as long as the connection.
class HttpConnection {
 public:
  virtual ~HttpConnection() = default;
  // Answers through `done`, exactly once, on whichever thread the answer is ready on. The
  // connection reads nothing more until then.
  virtual void handle(const HttpRequest& request, ReplyCallback done) = 0;
  // A request that could not be parsed: its reply, after which the connection is closed.
  virtual Reply refuse_unreadable(int status, const std::string& reason) = 0;
  // Whether requests to `target` may carry a large Authorization header (a Kerberos ticket of a
  // user in many groups): the agents' endpoint.
  virtual bool takes_large_authorization(std::string_view target) const = 0;
  // A token too large even for that: logged as unreadable and answered with 401 and the NTLM
  // offer alone, whose messages are small; the connection closes.
  virtual Reply refuse_large_authorization(const std::string& reason) = 0;
};

// What the server serves: a handler for each connection it accepts, and where it counts them.
class HttpApplication {
 public:
  virtual ~HttpApplication() = default;
  virtual std::unique_ptr<HttpConnection> open_connection(std::string peer, std::string peer_address) = 0;
  virtual ConnectionCounts& connection_counts() = 0;
};

// What the signals do besides stopping. SIGHUP calls `reload` and serving goes on.
// SIGTERM and SIGINT stop gently: no new connections or requests are taken, `finish`
// runs on a thread of its own and must answer, through their reply callbacks, the
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
  // Serves `application` on `threads` threads until SIGINT or SIGTERM.
  void run(HttpApplication& application, unsigned threads, const SignalHooks& hooks);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
