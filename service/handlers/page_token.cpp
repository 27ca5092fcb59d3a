// The logon page's anti-forgery tokens: proof that a form was served by this process, to this address, lately.
#include "handlers/page_token.h"

#include <nettle/hmac.h>

#include "common/ntlm_crypto.h"

namespace {

// The time a token names, or -1 when it is no plain decimal number.
std::int64_t issue_time(const std::string& digits) {
  if (digits.empty() || digits.size() > 18) return -1;
  std::int64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

PageTokens::PageTokens() : ready_(random_bytes(key_.data(), key_.size())) {}

std::string PageTokens::mac(std::int64_t issued, const std::string& address) const {
  hmac_sha256_ctx context;
  hmac_sha256_set_key(&context, key_.size(), key_.data());
  // The time and the address are told apart by the NUL between them, which neither holds.
  const std::string message = std::to_string(issued) + '\0' + address;
  hmac_sha256_update(&context, message.size(), reinterpret_cast<const std::uint8_t*>(message.data()));
  std::array<std::uint8_t, SHA256_DIGEST_SIZE> digest{};
  hmac_sha256_digest(&context, digest.size(), digest.data());
  return hex(digest.data(), digest.size());
}

std::string PageTokens::issue(const std::string& address, std::int64_t now) const {
  return std::to_string(now) + "." + mac(now, address);
}

bool PageTokens::valid(const std::string& token, const std::string& address, std::int64_t now,
                       std::int64_t lifetime) const {
  if (!ready_) return false;
  const std::size_t dot = token.find('.');
  if (dot == std::string::npos) return false;
  const std::int64_t issued = issue_time(token.substr(0, dot));
  if (issued < 0 || issued > now || now - issued > lifetime) return false;
  const std::string expected = mac(issued, address);
  const std::string given = token.substr(dot + 1);
  return given.size() == expected.size() &&
         constant_time_equal(reinterpret_cast<const std::uint8_t*>(given.data()),
                             reinterpret_cast<const std::uint8_t*>(expected.data()), expected.size());
}
