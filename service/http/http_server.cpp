// The network side: an Asio/Beast HTTP/1.1 server that keeps each connection's NTLM state with it.
#include "http_server.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "text.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

constexpr std::uint32_t kHeaderLimit = 16 * 1024;
constexpr std::uint64_t kBodyLimit = 64 * 1024;
// A connection that sends nothing for this long is closed, so that a stalled
// client cannot hold a connection slot forever.
constexpr auto kIdleTimeout = std::chrono::seconds(30);
// After an error reply, unread input is drained for this long before closing,
// so that the client sees the reply instead of a connection reset.
constexpr auto kLingerTimeout = std::chrono::seconds(2);
constexpr std::size_t kLingerBytes = 1024 * 1024;
constexpr std::size_t kMaxConnections = 1000;

std::string endpoint_text(const tcp::endpoint& endpoint, std::string* address_only) {
  asio::ip::address address = endpoint.address();
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  *address_only = address.to_string();
  const std::string host = address.is_v6() ? "[" + *address_only + "]" : *address_only;
  return host + ":" + std::to_string(endpoint.port());
}

bool is_http_error(const beast::error_code& ec) {
  return ec.category() == http::make_error_code(http::error::header_limit).category();
}

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(tcp::socket socket, LogonService& service, std::atomic<std::size_t>& open_connections)
      : stream_(std::move(socket)), service_(service), open_connections_(open_connections) {
    ++open_connections_;
  }
  ~Connection() { --open_connections_; }

  void start() {
    beast::error_code ec;
    const tcp::endpoint peer = stream_.socket().remote_endpoint(ec);
    std::string address;
    const std::string peer_text = ec ? "unknown:0" : endpoint_text(peer, &address);
    state_ = service_.open_connection(peer_text, ec ? "unknown" : address);
    read_request();
  }

 private:
  void read_request() {
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(kBodyLimit);
    stream_.expires_after(kIdleTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_read(ec); });
  }

  void on_read(beast::error_code ec) {
    if (ec == http::error::header_limit) {
      return send(service_.refuse_unreadable(*state_, 431, "header block larger than " + std::to_string(kHeaderLimit) + " bytes"));
    }
    if (ec == http::error::body_limit) {
      return send(service_.refuse_unreadable(*state_, 413, "body larger than " + std::to_string(kBodyLimit) + " bytes"));
    }
    if (ec && is_http_error(ec) && ec != http::error::end_of_stream && ec != http::error::partial_message) {
      return send(service_.refuse_unreadable(*state_, 400, ec.message()));
    }
    if (ec) return close_now();  // the client went away or stalled

    const auto& message = parser_->get();
    HttpRequest request;
    request.method = std::string(message.method_string());
    request.target = std::string(message.target());
    const auto authorization = message.find(http::field::authorization);
    if (authorization != message.end()) request.authorization = std::string(authorization->value());
    request.keep_alive = message.keep_alive();
    send(service_.handle(request, *state_));
  }

  void send(const Reply& reply) {
    out_ = serialize_reply(reply, now_epoch_seconds());
    const bool close = reply.close;
    stream_.expires_after(kIdleTimeout);
    asio::async_write(stream_, asio::buffer(out_),
                      [self = shared_from_this(), close](beast::error_code ec, std::size_t) {
                        if (ec) return self->close_now();
                        if (close) return self->close_gracefully();
                        self->read_request();
                      });
  }

  void close_gracefully() {
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
    stream_.expires_after(kLingerTimeout);
    drain();
  }

  void drain() {
    stream_.async_read_some(asio::buffer(drain_buffer_), [self = shared_from_this()](beast::error_code ec, std::size_t n) {
      self->drained_ += n;
      if (ec || self->drained_ > kLingerBytes) return self->close_now();
      self->drain();
    });
  }

  void close_now() {
    beast::error_code ec;
    stream_.socket().close(ec);
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  LogonService& service_;
  std::atomic<std::size_t>& open_connections_;
  std::unique_ptr<ConnectionState> state_;
  std::string out_;
  char drain_buffer_[4096];
  std::size_t drained_ = 0;
};

}  // namespace

struct HttpServer::Impl {
  explicit Impl(LogonService& service) : service(service), acceptor(asio::make_strand(io)), retry_timer(io) {}

  void accept() {
    acceptor.async_accept(asio::make_strand(io), [this](beast::error_code ec, tcp::socket socket) {
      if (ec == asio::error::operation_aborted) return;
      if (ec) {
        // Out of file descriptors or similar: try again shortly instead of spinning.
        report("accept failed: " + ec.message());
        retry_timer.expires_after(std::chrono::milliseconds(200));
        retry_timer.async_wait([this](beast::error_code) { accept(); });
        return;
      }
      if (open_connections.load() >= kMaxConnections) {
        beast::error_code ignored;
        socket.close(ignored);
      } else {
        std::make_shared<Connection>(std::move(socket), service, open_connections)->start();
      }
      accept();
    });
  }

  LogonService& service;
  asio::io_context io;
  tcp::acceptor acceptor;
  asio::steady_timer retry_timer;
  std::atomic<std::size_t> open_connections{0};
};

HttpServer::HttpServer(LogonService& service) : impl_(std::make_unique<Impl>(service)) {}
HttpServer::~HttpServer() = default;

bool HttpServer::listen(const std::string& address, unsigned port, std::string* bound, std::string* error) {
  beast::error_code ec;
  const asio::ip::address ip = asio::ip::make_address(address, ec);
  const tcp::endpoint endpoint(ip, static_cast<unsigned short>(port));
  const std::string wanted = (ip.is_v6() ? "[" + address + "]" : address) + ":" + std::to_string(port);
  tcp::acceptor& acceptor = impl_->acceptor;
  if (!ec) acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    *error = "cannot listen on " + wanted + ": " + ec.message();
    return false;
  }
  std::string unused;
  *bound = endpoint_text(acceptor.local_endpoint(), &unused);
  return true;
}

void HttpServer::run(unsigned threads) {
  asio::signal_set signals(impl_->io, SIGINT, SIGTERM);
  signals.async_wait([this](beast::error_code, int) { impl_->io.stop(); });
  impl_->accept();
  std::vector<std::thread> pool;
  // SQLite commits block the thread that makes them; more threads than cores
  // keep handshakes flowing meanwhile.
  for (unsigned i = 1; i < threads; ++i) pool.emplace_back([this] { impl_->io.run(); });
  impl_->io.run();
  for (std::thread& t : pool) t.join();
}
