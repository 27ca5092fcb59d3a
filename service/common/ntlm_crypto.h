// Cryptographic building blocks of NTLM (MD4, HMAC-MD5, RC4 from Nettle), base64 and randomness.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/text.h"

using Digest16 = std::array<std::uint8_t, 16>;

// NTOWFv1: MD4 of the UTF-16LE password; what an "nthash:" account line holds.
Digest16 nt_hash(std::u16string_view password);

Digest16 hmac_md5(const std::uint8_t* key, std::size_t key_size, const Bytes& message);
inline Digest16 hmac_md5(const Digest16& key, const Bytes& message) {
  return hmac_md5(key.data(), key.size(), message);
}

// NTOWFv2: HMAC-MD5 keyed with the NT hash over UTF-16LE(UPPER(user) + domain).
// The domain keeps the letter case the client used.
Digest16 ntowf_v2(const Digest16& nt_hash, std::u16string_view user, std::u16string_view domain);

using ServerChallenge = std::array<std::uint8_t, 8>;

// NTProofStr: HMAC-MD5 keyed with NTOWFv2 over the server challenge and the
// client's blob (the NTLMv2 response after its first 16 bytes).
Digest16 ntlmv2_proof(const Digest16& response_key, const ServerChallenge& challenge, const Bytes& blob);

Bytes rc4(const Digest16& key, const Bytes& data);

bool constant_time_equal(const std::uint8_t* a, const std::uint8_t* b, std::size_t size);

// Fills the buffer from the kernel's random source; false if it is unavailable.
bool random_bytes(std::uint8_t* data, std::size_t size);

std::string base64_encode(const Bytes& data);
// Strict decoding: padding required, no stray characters.
std::optional<Bytes> base64_decode(std::string_view text);
