// The PROXY protocol header (text or binary) a balancer puts before a connection's bytes to name its client.
#include "http/proxy_header.h"

#include <arpa/inet.h>

#include <algorithm>
#include <vector>

namespace {

constexpr std::string_view kTextStart = "PROXY ";
constexpr std::string_view kBinaryStart{"\r\n\r\n\0\r\nQUIT\n", 12};
constexpr std::size_t kMaxTextHeader = 107;  // the longest line, "\r\n" included
constexpr std::size_t kBinaryFixed = 16;

ProxyHeader incomplete() { return ProxyHeader(); }

ProxyHeader invalid(const std::string& why) {
  ProxyHeader header;
  header.state = ProxyHeader::State::Invalid;
  header.error = why;
  return header;
}

ProxyHeader local(std::size_t length) {
  ProxyHeader header;
  header.state = ProxyHeader::State::Local;
  header.length = length;
  return header;
}

// Whether `bytes` are a beginning of `start`, or begin with all of it.
bool starts_as(std::string_view bytes, std::string_view start) {
  const std::size_t n = std::min(bytes.size(), start.size());
  return bytes.substr(0, n) == start.substr(0, n);
}

std::vector<std::string_view> split_blanks(std::string_view text) {
  std::vector<std::string_view> fields;
  for (std::size_t at = 0;;) {
    const std::size_t blank = text.find(' ', at);
    fields.push_back(text.substr(at, blank == std::string_view::npos ? std::string_view::npos : blank - at));
    if (blank == std::string_view::npos) return fields;
    at = blank + 1;
  }
}

// A port in decimal, 0 to 65535, without leading zeros.
bool read_port(std::string_view text, std::uint16_t* port) {
  if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0')) return false;
  unsigned value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 65535) return false;
  *port = static_cast<std::uint16_t>(value);
  return true;
}

bool read_address(std::string_view text, bool v6, unsigned char* out) {
  const std::string copy(text);
  return inet_pton(v6 ? AF_INET6 : AF_INET, copy.c_str(), out) == 1;
}

// "PROXY TCP4 SOURCE DESTINATION SOURCE-PORT DESTINATION-PORT\r\n", or "PROXY UNKNOWN ...\r\n".
ProxyHeader read_text_line(std::string_view line, std::size_t length) {
  const std::vector<std::string_view> fields = split_blanks(line.substr(kTextStart.size()));
  if (fields[0] == "UNKNOWN") return local(length);
  if (fields[0] != "TCP4" && fields[0] != "TCP6") return invalid("text header names no TCP4, TCP6 or UNKNOWN");
  if (fields.size() != 5) return invalid("text header does not hold two addresses and two ports");
  ProxyHeader header;
  header.v6 = fields[0] == "TCP6";
  std::array<unsigned char, 16> destination{};
  std::uint16_t destination_port = 0;
  if (!read_address(fields[1], header.v6, header.client.data()) ||
      !read_address(fields[2], header.v6, destination.data()))
    return invalid("text header's addresses are not of its family");
  if (!read_port(fields[3], &header.client_port) || !read_port(fields[4], &destination_port))
    return invalid("text header's ports are not numbers from 0 to 65535");
  header.state = ProxyHeader::State::Proxied;
  header.length = length;
  return header;
}

ProxyHeader read_text(std::string_view bytes) {
  const std::string_view head = bytes.substr(0, kMaxTextHeader);
  const std::size_t end = head.find("\r\n");
  std::string_view line = head.substr(0, end);
  if (end == std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);  // half an end
  if (std::any_of(line.begin(), line.end(), [](char c) { return c < 0x20 || c > 0x7e; }))
    return invalid("text header holds a control character");
  if (end == std::string_view::npos)
    return head.size() == kMaxTextHeader ? invalid("text header longer than 107 bytes") : incomplete();
  return read_text_line(line, end + 2);
}

unsigned byte_at(std::string_view bytes, std::size_t at) { return static_cast<unsigned char>(bytes[at]); }

ProxyHeader read_binary_client(std::string_view bytes, bool v6, std::size_t length) {
  const std::size_t address_bytes = v6 ? 16 : 4;
  if (length - kBinaryFixed < 2 * address_bytes + 4) return invalid("binary header's address block is too short");
  ProxyHeader header;
  header.state = ProxyHeader::State::Proxied;
  header.length = length;
  header.v6 = v6;
  std::copy_n(bytes.data() + kBinaryFixed, address_bytes, header.client.begin());
  const std::size_t port_at = kBinaryFixed + 2 * address_bytes;
  header.client_port = static_cast<std::uint16_t>(byte_at(bytes, port_at) << 8 | byte_at(bytes, port_at + 1));
  return header;
}

ProxyHeader read_binary(std::string_view bytes) {
  if (bytes.size() < kBinaryFixed) return incomplete();
  const unsigned version_command = byte_at(bytes, 12);
  if (version_command >> 4 != 2) return invalid("binary header of another version than 2");
  const unsigned command = version_command & 0x0f;
  if (command > 1) return invalid("binary header's command is neither LOCAL nor PROXY");
  const std::size_t length = kBinaryFixed + (byte_at(bytes, 14) << 8 | byte_at(bytes, 15));
  if (length > kMaxProxyHeader)
    return invalid("binary header longer than " + std::to_string(kMaxProxyHeader) + " bytes");
  if (bytes.size() < length) return incomplete();
  if (command == 0) return local(length);
  const unsigned family = byte_at(bytes, 13);
  if (family != 0x11 && family != 0x21) return invalid("binary header names no TCP over IPv4 or IPv6");
  return read_binary_client(bytes, family == 0x21, length);
}

}  // namespace

ProxyHeader read_proxy_header(std::string_view bytes) {
  if (bytes.empty()) return incomplete();
  if (bytes[0] == 'P') return starts_as(bytes, kTextStart) ? read_text(bytes) : invalid("no PROXY header");
  if (!starts_as(bytes, kBinaryStart)) return invalid("no PROXY header");
  return bytes.size() < kBinaryStart.size() ? incomplete() : read_binary(bytes);
}

bool looks_like_proxy_header(std::string_view bytes) {
  return bytes.substr(0, kTextStart.size()) == kTextStart || bytes.substr(0, kBinaryStart.size()) == kBinaryStart;
}
