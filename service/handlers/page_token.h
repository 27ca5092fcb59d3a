// The logon page's anti-forgery tokens: proof that a form was served by this process, to this address, lately.
#pragma once

#include <array>
#include <cstdint>
#include <string>

// A token is "TIME.MAC": the time it was issued and an HMAC-SHA256, under a key drawn at start and
// never shown, of that time and the address it was issued to. Another site's page cannot read the
// logon page (the browser keeps it from other origins), and cannot make a token without the key.
class PageTokens {
 public:
  PageTokens();
  // False when the kernel gave no random key: no token is issued or taken then.
  bool ready() const { return ready_; }
  std::string issue(const std::string& address, std::int64_t now) const;
  // Whether `token` was issued to `address` no more than `lifetime` seconds before `now`.
  bool valid(const std::string& token, const std::string& address, std::int64_t now, std::int64_t lifetime) const;

 private:
  std::string mac(std::int64_t issued, const std::string& address) const;

  std::array<std::uint8_t, 32> key_{};
  bool ready_ = false;
};
