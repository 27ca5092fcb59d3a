// The PROXY protocol header (text or binary) a balancer puts before a connection's bytes to name its client.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The longest header read: the text form's 107 bytes, or the binary form's 16 and an address
// block with the extensions a balancer may add. A longer one is refused rather than buffered.
constexpr std::size_t kMaxProxyHeader = 16 + 1024;

struct ProxyHeader {
  enum class State {
    Incomplete,  // a valid beginning: read more
    Invalid,     // not a header, or a malformed one: `error` says why
    Proxied,     // names the client: `client`, `client_port`
    Local,       // the balancer speaks for itself (its health check): the peer stays the balancer
  };
  State state = State::Incomplete;
  std::size_t length = 0;  // the header's bytes, where the client's own bytes begin
  bool v6 = false;
  std::array<unsigned char, 16> client{};  // an IPv4 address in its first 4 bytes
  std::uint16_t client_port = 0;
  std::string error;
};

// Reads the header at the start of `bytes`, which must begin with one.
ProxyHeader read_proxy_header(std::string_view bytes);

// Whether `bytes` begin as a header does, for refusing one from a peer that may not send it.
bool looks_like_proxy_header(std::string_view bytes);
