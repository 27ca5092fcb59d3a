// The network side: an Asio/Beast HTTP/1.1 server that keeps each connection's NTLM state with it.
#include "http/http_server.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/diagnostics.h"
#include "common/peer_group.h"
#include "common/text.h"
#include "http/proxy_header.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

constexpr std::uint32_t kHeaderLimit = 16 * 1024;
// A Kerberos ticket grows with the user's groups (Windows allows 48,000 bytes, MaxTokenSize, some
// 64,000 characters of base64), so the agents' endpoint takes a header block this large when all
// but kHeaderLimit of it is the Authorization header. Beast keeps a field's value in at most
// 65,533 bytes (and throws beyond), so the parser is never given a larger header block.
constexpr std::size_t kAuthorizationLimit = 64 * 1024;
constexpr std::uint64_t kBodyLimit = 64 * 1024;
// After an error reply, unread input is drained for this long before closing,
// so that the client sees the reply instead of a connection reset.
constexpr auto kLingerTimeout = std::chrono::seconds(2);
constexpr std::size_t kLingerBytes = 1024 * 1024;
// Connections being refused with 503 also hold a descriptor while they linger;
// beyond this many, further ones are closed without a reply.
constexpr std::size_t kMaxRefusing = 64;
constexpr std::size_t kFirstRead = 4096;

std::string endpoint_text(const tcp::endpoint& endpoint, std::string* address_only) {
  asio::ip::address address = endpoint.address();
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  *address_only = address.to_string();
  const std::string host = address.is_v6() ? "[" + *address_only + "]" : *address_only;
  return host + ":" + std::to_string(endpoint.port());
}

// The client a balancer's header names.
tcp::endpoint proxied_client(const ProxyHeader& header) {
  if (header.v6) {
    asio::ip::address_v6::bytes_type bytes;
    std::copy(header.client.begin(), header.client.end(), bytes.begin());
    return tcp::endpoint(asio::ip::make_address_v6(bytes), header.client_port);
  }
  asio::ip::address_v4::bytes_type bytes;
  std::copy_n(header.client.begin(), bytes.size(), bytes.begin());
  return tcp::endpoint(asio::ip::make_address_v4(bytes), header.client_port);
}

// The bytes a request's header block took, as the client sent it but for optional blanks.
std::size_t header_bytes(const http::request<http::string_body>& message, std::size_t* authorization) {
  std::size_t total = message.method_string().size() + message.target().size() + 13;  // " HTTP/1.1\r\n", "\r\n"
  *authorization = 0;
  for (const auto& field : message) {
    const std::size_t size = field.name_string().size() + field.value().size() + 4;
    total += size;
    if (field.name() == http::field::authorization) *authorization += size;
  }
  return total;
}

bool is_http_error(const beast::error_code& ec) {
  return ec.category() == http::make_error_code(http::error::header_limit).category();
}

// Counts open connections, in all and per peer (see ServerLimits), and decides whether a new one is served.
class ConnectionSlots {
 public:
  enum class Grant { Serve, Refuse, Drop };

  explicit ConnectionSlots(const ServerLimits& limits) : limits_(limits) {}

  // The counts to keep, while the application lives; null before and after.
  void count_in(ConnectionCounts* counts) {
    std::lock_guard<std::mutex> lock(mutex_);
    counts_ = counts;
  }

  Grant admit(const std::string& peer) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t& mine = per_peer_[peer];
    if (has_room(mine)) {
      ++open_;
      ++mine;
      if (counts_ != nullptr) ++counts_->open;
      return Grant::Serve;
    }
    if (mine == 0) per_peer_.erase(peer);
    if (counts_ != nullptr) ++counts_->refused;
    if (refusing_ >= kMaxRefusing) return Grant::Drop;
    ++refusing_;
    return Grant::Refuse;
  }

  void release(const std::string& peer, Grant grant) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (grant == Grant::Refuse) {
      --refusing_;
    } else if (grant == Grant::Serve) {
      --open_;
      if (counts_ != nullptr) --counts_->open;
      const auto mine = per_peer_.find(peer);
      if (--mine->second == 0) per_peer_.erase(mine);
    }
  }

 private:
  bool has_room(std::size_t mine) const {
    if (open_ >= limits_.max_connections || mine >= limits_.max_connections_per_peer) return false;
    const std::size_t headroom = limits_.max_connections / 4;
    return open_ < limits_.max_connections - headroom || mine == 0;
  }

  const ServerLimits limits_;
  std::mutex mutex_;
  std::size_t open_ = 0;
  std::size_t refusing_ = 0;
  std::unordered_map<std::string, std::size_t> per_peer_;
  ConnectionCounts* counts_ = nullptr;
};

// Requests read whose replies are not sent yet, so that a gentle stop can wait for them.
class Answering {
 public:
  explicit Answering(asio::io_context& io) : io_(io) {}

  bool stopping() const { return stopping_; }
  void request_read() { ++unanswered_; }
  void reply_sent() {
    --unanswered_;
    end_when_done();
  }
  void stop_taking_requests() { stopping_ = true; }
  void held_requests_answered() {
    held_answered_ = true;
    end_when_done();
  }

 private:
  void end_when_done() {
    if (stopping_ && held_answered_ && unanswered_ == 0) io_.stop();
  }

  asio::io_context& io_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> held_answered_{false};
  std::atomic<std::size_t> unanswered_{0};
};

Reply busy_reply() {
  Reply reply = text_reply(503, "too many connections; try again later");
  reply.headers.push_back("Retry-After: 10");
  reply.close = true;
  return reply;
}

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(tcp::socket socket, HttpApplication& application, ConnectionSlots& slots, const ServerLimits& limits,
             Answering& answering)
      : stream_(std::move(socket)), application_(application), answering_(answering), slots_(slots), limits_(limits) {}
  ~Connection() { give_back_slot(); }

  void start(const std::string& peer_text, const std::string& peer_address) {
    if (open(peer_text, peer_address)) await_request(limits_.first_byte_timeout);
  }

  // A balancer's connection: its header names the peer. Until then it holds no slot.
  void start_proxied(const std::string& balancer_text, const std::string& balancer_address) {
    balancer_text_ = balancer_text;
    balancer_address_ = balancer_address;
    header_deadline_ = std::chrono::steady_clock::now() + limits_.first_byte_timeout;
    read_proxy_header_bytes();
  }

 private:
  // Takes a slot for `peer_address` and opens its handler; false when the connection was refused instead.
  bool open(const std::string& peer_text, const std::string& peer_address) {
    peer_address_ = peer_address;
    peer_group_ = peer_group(peer_address);
    grant_ = slots_.admit(peer_group_);
    if (grant_ == ConnectionSlots::Grant::Drop) {
      close_now();
      return false;
    }
    slot_held_ = true;
    if (grant_ == ConnectionSlots::Grant::Refuse) {
      send(busy_reply());
      return false;
    }
    handler_ = application_.open_connection(peer_text, peer_address);
    return true;
  }

  std::string_view buffered() const {
    return std::string_view(static_cast<const char*>(buffer_.data().data()), buffer_.size());
  }

  // The header is read in pieces as they come, never beyond its longest, all before one deadline.
  void read_proxy_header_bytes() {
    const std::size_t room = kMaxProxyHeader - std::min(kMaxProxyHeader, buffer_.size());
    if (room == 0) return refuse_proxied("no PROXY header in the first " + std::to_string(kMaxProxyHeader) + " bytes");
    stream_.expires_at(header_deadline_);
    read_some(room, &Connection::on_proxy_header_bytes);
  }

  // Reads what has come, at most `most` bytes, then goes on with `then`; an error or a time-out closes.
  void read_some(std::size_t most, void (Connection::*then)()) {
    stream_.async_read_some(buffer_.prepare(most),
                            [self = shared_from_this(), then](beast::error_code ec, std::size_t n) {
                              if (ec) return self->close_now();
                              self->buffer_.commit(n);
                              ((*self).*then)();
                            });
  }

  void on_proxy_header_bytes() {
    const ProxyHeader header = read_proxy_header(buffered());
    switch (header.state) {
      case ProxyHeader::State::Incomplete:
        return read_proxy_header_bytes();
      case ProxyHeader::State::Invalid:
        return refuse_proxied(header.error);
      case ProxyHeader::State::Local:
        buffer_.consume(header.length);
        return start(balancer_text_, balancer_address_);
      case ProxyHeader::State::Proxied:
        break;
    }
    buffer_.consume(header.length);
    std::string address;
    const std::string text = endpoint_text(proxied_client(header), &address);
    start(text, address);
  }

  // A balancer that must send a header and did not is answered as itself: the fault is its configuration's.
  void refuse_proxied(const std::string& why) {
    if (open(balancer_text_, balancer_address_))
      send(handler_->refuse_unreadable(
          400, "a connection from a --proxy-protocol peer without a valid PROXY header: " + why));
  }

  // Waiting for a request is idling; once its first byte is here, the whole
  // request has the shorter request deadline, so a slow sender cannot hold the slot.
  // A new connection may idle only briefly: real clients send at once.
  void await_request(std::chrono::seconds idle_timeout) {
    if (answering_.stopping()) return close_now();
    if (buffer_.size() > 0) return read_request();
    stream_.expires_after(idle_timeout);
    read_some(kFirstRead, &Connection::read_request);
  }

  void read_request() {
    if (!first_bytes_checked_) {
      first_bytes_checked_ = true;
      // Only a listed balancer may name the client; from anyone else the header would forge it.
      if (looks_like_proxy_header(buffered()))
        return send(handler_->refuse_unreadable(400, "a PROXY header from a peer not in --proxy-protocol"));
    }
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(kAuthorizationLimit));
    parser_->body_limit(kBodyLimit);
    stream_.expires_after(limits_.request_timeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_read(ec); });
  }

  void on_read(beast::error_code ec) {
    if (ec == http::error::header_limit) {
      // The parser has read the request line before the fields it stopped in.
      return send(refuse_large_header(parser_->get().target(), true));
    }
    if (ec == http::error::body_limit) {
      return send(handler_->refuse_unreadable(413, "body larger than " + std::to_string(kBodyLimit) + " bytes"));
    }
    if (ec && is_http_error(ec) && ec != http::error::end_of_stream && ec != http::error::partial_message) {
      return send(handler_->refuse_unreadable(400, ec.message()));
    }
    if (ec) return close_now();  // the client went away or was too slow

    const auto& message = parser_->get();
    std::size_t authorization_bytes = 0;
    const std::size_t header = header_bytes(message, &authorization_bytes);
    if (header - authorization_bytes > kHeaderLimit ||
        (header > kHeaderLimit && !handler_->takes_large_authorization(message.target())))
      return send(refuse_large_header(message.target(), false));
    HttpRequest request;
    request.method = std::string(message.method_string());
    request.target = std::string(message.target());
    const auto header_value = [&message](auto field) -> HeaderValue {
      const auto found = message.find(field);
      return found == message.end() ? HeaderValue() : HeaderValue(std::string(found->value()));
    };
    request.authorization = header_value(http::field::authorization);
    request.keep_alive = message.keep_alive();
    request.origin = header_value(http::field::origin);
    request.referer = header_value(http::field::referer);
    request.sec_fetch_site = header_value("Sec-Fetch-Site");
    request.user_agent = header_value(http::field::user_agent);
    request.via = header_value(http::field::via);
    request.forwarded_for = header_value("X-Forwarded-For");
    request.host = header_value(http::field::host);
    request.body = message.body();
    answering_.request_read();
    answering_request_ = true;
    // The reply may come from the user map's writer thread: back to this connection's strand.
    handler_->handle(request, [self = shared_from_this(), keep_alive = request.keep_alive](Reply reply) {
      if (!keep_alive) reply.close = true;
      asio::dispatch(self->stream_.get_executor(), [self, reply = std::move(reply)] { self->send(reply); });
    });
  }

  // An agent whose token is too large is offered NTLM, whose messages are small; anything else gets 431.
  Reply refuse_large_header(std::string_view target, bool authorization_too_large) {
    if (authorization_too_large && handler_->takes_large_authorization(target))
      return handler_->refuse_large_authorization(
          "Authorization header too large: the header block holds at most " +
                       std::to_string(kAuthorizationLimit) + " bytes");
    return handler_->refuse_unreadable(431, "header block larger than " + std::to_string(kHeaderLimit) + " bytes");
  }

  void send(const Reply& reply) {
    out_ = serialize_reply(reply, now_epoch_seconds());
    const bool close = reply.close;
    stream_.expires_after(limits_.idle_timeout);
    asio::async_write(stream_, asio::buffer(out_),
                      [self = shared_from_this(), close](beast::error_code ec, std::size_t) {
                        if (self->answering_request_) {
                          self->answering_request_ = false;
                          self->answering_.reply_sent();
                        }
                        if (ec) return self->close_now();
                        if (close || self->answering_.stopping()) return self->close_gracefully();
                        self->await_request(self->limits_.idle_timeout);
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

  // Before the socket closes, so that a client that sees the close and connects again finds the slot free.
  void close_now() {
    give_back_slot();
    beast::error_code ec;
    stream_.socket().close(ec);
  }

  void give_back_slot() {
    if (!slot_held_) return;
    slot_held_ = false;
    slots_.release(peer_group_, grant_);
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  HttpApplication& application_;
  Answering& answering_;
  bool answering_request_ = false;  // the reply being sent answers a request read
  ConnectionSlots& slots_;
  ConnectionSlots::Grant grant_ = ConnectionSlots::Grant::Drop;
  std::string peer_address_;
  std::string peer_group_;
  const ServerLimits& limits_;
  bool slot_held_ = false;
  bool first_bytes_checked_ = false;
  std::string balancer_text_;  // the balancer's, on a connection that starts with a PROXY header
  std::string balancer_address_;
  std::chrono::steady_clock::time_point header_deadline_;
  std::unique_ptr<HttpConnection> handler_;
  std::string out_;
  char drain_buffer_[4096];
  std::size_t drained_ = 0;
};

}  // namespace

struct HttpServer::Impl {
  explicit Impl(const ServerLimits& limits)
      : limits(limits), slots(limits), acceptor(asio::make_strand(io)), retry_timer(io), left_out_timer(io),
        answering(io) {}

  void accept() {
    if (!acceptor.is_open()) return;  // stopping
    acceptor.async_accept(asio::make_strand(io), [this](beast::error_code ec, tcp::socket socket) {
      if (ec == asio::error::operation_aborted) return;
      if (ec) {
        // Out of file descriptors or similar: try again shortly instead of spinning.
        report_limited("accept failed", "accept failed: " + ec.message());
        retry_timer.expires_after(std::chrono::milliseconds(200));
        retry_timer.async_wait([this](beast::error_code) { accept(); });
        return;
      }
      admit(std::move(socket));
      accept();
    });
  }

  void admit(tcp::socket socket) {
    beast::error_code ec;
    const tcp::endpoint peer = socket.remote_endpoint(ec);
    if (ec) return;  // already gone
    std::string address;
    const std::string peer_text = endpoint_text(peer, &address);
    const auto connection = std::make_shared<Connection>(std::move(socket), *application, slots, limits, answering);
    if (limits.proxy_peers.contains(address)) return connection->start_proxied(peer_text, address);
    connection->start(peer_text, address);
  }

  // Lines left out of stderr are told about soon after their window ends, even when no further line comes.
  void tell_left_out_lines() {
    left_out_timer.expires_after(std::chrono::seconds(5));
    left_out_timer.async_wait([this](beast::error_code ec) {
      if (ec) return;
      report_left_out();
      tell_left_out_lines();
    });
  }

  HttpApplication* application = nullptr;  // set by run()
  const ServerLimits limits;
  // Declared before the io_context: connections still queued in it give their slots back when it is destroyed.
  ConnectionSlots slots;
  asio::io_context io;
  tcp::acceptor acceptor;
  asio::steady_timer retry_timer;
  asio::steady_timer left_out_timer;
  Answering answering;
};

HttpServer::HttpServer(const ServerLimits& limits) : impl_(std::make_unique<Impl>(limits)) {}
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

void HttpServer::run(HttpApplication& application, unsigned threads, const SignalHooks& hooks) {
  impl_->application = &application;
  impl_->slots.count_in(&application.connection_counts());
  asio::signal_set signals(impl_->io, SIGINT, SIGTERM, SIGHUP);
  std::thread finisher;
  std::function<void(beast::error_code, int)> on_signal = [&](beast::error_code ec, int signal) {
    if (ec) return;
    if (signal == SIGHUP) {
      if (hooks.reload) hooks.reload();
    } else if (impl_->answering.stopping()) {
      return impl_->io.stop();
    } else {
      impl_->answering.stop_taking_requests();
      asio::post(impl_->acceptor.get_executor(), [this] {
        beast::error_code ignored;
        impl_->acceptor.close(ignored);
        impl_->retry_timer.cancel();
      });
      finisher = std::thread([this, &hooks] {
        if (hooks.finish) hooks.finish();
        impl_->answering.held_requests_answered();
      });
    }
    signals.async_wait(on_signal);
  };
  signals.async_wait(on_signal);
  impl_->accept();
  impl_->tell_left_out_lines();
  std::vector<std::thread> pool;
  for (unsigned i = 1; i < threads; ++i) pool.emplace_back([this] { impl_->io.run(); });
  impl_->io.run();
  for (std::thread& t : pool) t.join();
  if (finisher.joinable()) finisher.join();
  // Connections still queued close when the server is destroyed, after the application.
  impl_->slots.count_in(nullptr);
}
