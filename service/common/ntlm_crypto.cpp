// Cryptographic building blocks of NTLM (MD4, HMAC-MD5, RC4 from Nettle), base64 and randomness.
#include "common/ntlm_crypto.h"

#include <nettle/arcfour.h>
#include <nettle/base64.h>
#include <nettle/hmac.h>
#include <nettle/md4.h>
#include <sys/random.h>

#include <cerrno>

Digest16 nt_hash(std::u16string_view password) {
  const Bytes encoded = utf16le_bytes(password);
  md4_ctx ctx;
  md4_init(&ctx);
  md4_update(&ctx, encoded.size(), encoded.data());
  Digest16 digest{};
  md4_digest(&ctx, digest.size(), digest.data());
  return digest;
}

Digest16 hmac_md5(const std::uint8_t* key, std::size_t key_size, const Bytes& message) {
  hmac_md5_ctx ctx;
  hmac_md5_set_key(&ctx, key_size, key);
  hmac_md5_update(&ctx, message.size(), message.data());
  Digest16 digest{};
  hmac_md5_digest(&ctx, digest.size(), digest.data());
  return digest;
}

Digest16 ntowf_v2(const Digest16& nt_hash, std::u16string_view user, std::u16string_view domain) {
  std::u16string identity = unicode_upper(user);
  identity.append(domain);
  return hmac_md5(nt_hash, utf16le_bytes(identity));
}

Digest16 ntlmv2_proof(const Digest16& response_key, const ServerChallenge& challenge, const Bytes& blob) {
  Bytes message(challenge.begin(), challenge.end());
  message.insert(message.end(), blob.begin(), blob.end());
  return hmac_md5(response_key, message);
}

Bytes rc4(const Digest16& key, const Bytes& data) {
  arcfour_ctx ctx;
  arcfour_set_key(&ctx, key.size(), key.data());
  Bytes out(data.size());
  arcfour_crypt(&ctx, data.size(), out.data(), data.data());
  return out;
}

bool constant_time_equal(const std::uint8_t* a, const std::uint8_t* b, std::size_t size) {
  std::uint8_t difference = 0;
  for (std::size_t i = 0; i < size; ++i) difference |= a[i] ^ b[i];
  return difference == 0;
}

bool random_bytes(std::uint8_t* data, std::size_t size) {
  std::size_t filled = 0;
  while (filled < size) {
    const ssize_t n = getrandom(data + filled, size - filled, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    filled += static_cast<std::size_t>(n);
  }
  return true;
}

std::string base64_encode(const Bytes& data) {
  std::string out(BASE64_ENCODE_RAW_LENGTH(data.size()), '\0');
  base64_encode_raw(out.data(), data.size(), data.data());
  return out;
}

std::optional<Bytes> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  for (char c : text) {
    const bool valid = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '+' || c == '/' || c == '=';
    if (!valid) return std::nullopt;
  }
  base64_decode_ctx ctx;
  base64_decode_init(&ctx);
  Bytes out(BASE64_DECODE_LENGTH(text.size()));
  std::size_t produced = out.size();
  if (!base64_decode_update(&ctx, &produced, out.data(), text.size(), text.data())) return std::nullopt;
  if (!base64_decode_final(&ctx)) return std::nullopt;
  out.resize(produced);
  return out;
}
