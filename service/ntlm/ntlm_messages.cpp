// Byte layouts of the three NTLM messages (negotiate, challenge, authenticate) and AV pairs.
#include "ntlm/ntlm_messages.h"

#include <algorithm>
#include <cstring>

namespace ntlm {
namespace {

constexpr std::uint8_t kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
constexpr std::size_t kNegotiateMinimum = 16;  // signature, type, flags
constexpr std::size_t kChallengeMinimum = 48;  // up to the target-info fields
constexpr std::size_t kChallengeHeader = 56;
constexpr std::size_t kAuthenticateMinimum = 64;  // up to the flags
// Version 6.1 build 7601, NTLM revision 15: what a Windows 7 server reports.
constexpr std::uint8_t kVersion[8] = {6, 1, 0xB1, 0x1D, 0, 0, 0, 0x0F};

std::uint16_t read16(const Bytes& m, std::size_t at) {
  return static_cast<std::uint16_t>(m[at] | (m[at + 1] << 8));
}

std::uint32_t read32(const Bytes& m, std::size_t at) {
  return static_cast<std::uint32_t>(m[at]) | (static_cast<std::uint32_t>(m[at + 1]) << 8) |
         (static_cast<std::uint32_t>(m[at + 2]) << 16) | (static_cast<std::uint32_t>(m[at + 3]) << 24);
}

void put16(Bytes* m, std::size_t at, std::uint16_t v) {
  (*m)[at] = static_cast<std::uint8_t>(v);
  (*m)[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(Bytes* m, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) (*m)[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A payload reference: length, allocated length, offset from the message start.
struct Field {
  std::uint16_t length = 0;
  std::uint32_t offset = 0;
};

bool read_field(const Bytes& m, std::size_t at, const char* name, Field* out, std::string* why) {
  out->length = read16(m, at);
  out->offset = read32(m, at + 4);
  if (out->length == 0) return true;
  if (static_cast<std::uint64_t>(out->offset) + out->length > m.size()) {
    *why = std::string(name) + " field points outside the message";
    return false;
  }
  return true;
}

Bytes field_bytes(const Bytes& m, const Field& f) {
  if (f.length == 0) return {};
  return Bytes(m.begin() + f.offset, m.begin() + f.offset + f.length);
}

bool field_text(const Bytes& m, const Field& f, bool unicode, std::u16string* out, std::string* why,
                const char* name) {
  if (f.length == 0) {
    out->clear();
    return true;
  }
  if (unicode) {
    if (f.length % 2 != 0) {
      *why = std::string(name) + " has an odd length for UTF-16";
      return false;
    }
    *out = utf16le_from_bytes(m.data() + f.offset, f.length);
  } else {
    *out = latin1_to_utf16(std::string(m.begin() + f.offset, m.begin() + f.offset + f.length));
  }
  return true;
}

bool check_header(const Bytes& m, std::uint32_t type, std::size_t minimum, std::string* why) {
  if (m.size() < minimum) {
    *why = "message too short (" + std::to_string(m.size()) + " bytes)";
    return false;
  }
  if (message_type(m) != type) {
    *why = "not an NTLM message of type " + std::to_string(type);
    return false;
  }
  return true;
}

// Appends payload bytes and fills the field that refers to them.
void append_field(Bytes* m, std::size_t field_at, const Bytes& data) {
  put16(m, field_at, static_cast<std::uint16_t>(data.size()));
  put16(m, field_at + 2, static_cast<std::uint16_t>(data.size()));
  put32(m, field_at + 4, static_cast<std::uint32_t>(m->size()));
  m->insert(m->end(), data.begin(), data.end());
}

Bytes header(std::uint32_t type, std::size_t size) {
  Bytes m(size, 0);
  std::memcpy(m.data(), kSignature, sizeof kSignature);
  put32(&m, 8, type);
  return m;
}

Bytes encode_text(const std::u16string& text, std::uint32_t flags) {
  if (flags & kNegotiateUnicode) return utf16le_bytes(text);
  Bytes out;
  for (char16_t c : text) out.push_back(c < 0x100 ? static_cast<std::uint8_t>(c) : '?');
  return out;
}

}  // namespace

std::uint32_t message_type(const Bytes& message) {
  if (message.size() < 12 || std::memcmp(message.data(), kSignature, sizeof kSignature) != 0) return 0;
  return read32(message, 8);
}

bool parse_negotiate(const Bytes& message, NegotiateMessage* out, std::string* why) {
  if (!check_header(message, 1, kNegotiateMinimum, why)) return false;
  out->flags = read32(message, 12);
  return true;
}

bool parse_challenge(const Bytes& message, ChallengeMessage* out, std::string* why) {
  if (!check_header(message, 2, kChallengeMinimum, why)) return false;
  Field target_name;
  Field target_info;
  if (!read_field(message, 12, "target name", &target_name, why)) return false;
  if (!read_field(message, 40, "target info", &target_info, why)) return false;
  out->flags = read32(message, 20);
  std::copy(message.begin() + 24, message.begin() + 32, out->server_challenge.begin());
  if (!field_text(message, target_name, out->flags & kNegotiateUnicode, &out->target_name, why, "target name"))
    return false;
  out->target_info = field_bytes(message, target_info);
  return true;
}

bool parse_authenticate(const Bytes& message, AuthenticateMessage* out, std::string* why) {
  if (!check_header(message, 3, kAuthenticateMinimum, why)) return false;
  Field lm, nt, domain, user, workstation, session_key;
  if (!read_field(message, 12, "LM response", &lm, why) || !read_field(message, 20, "NT response", &nt, why) ||
      !read_field(message, 28, "domain", &domain, why) || !read_field(message, 36, "user", &user, why) ||
      !read_field(message, 44, "workstation", &workstation, why) ||
      !read_field(message, 52, "session key", &session_key, why))
    return false;
  out->flags = read32(message, 60);
  const bool unicode = out->flags & kNegotiateUnicode;
  if (!field_text(message, domain, unicode, &out->domain, why, "domain") ||
      !field_text(message, user, unicode, &out->user, why, "user") ||
      !field_text(message, workstation, unicode, &out->workstation, why, "workstation"))
    return false;
  out->lm_response = field_bytes(message, lm);
  out->nt_response = field_bytes(message, nt);
  out->encrypted_session_key = field_bytes(message, session_key);

  std::uint64_t payload_start = message.size();
  for (const Field& f : {lm, nt, domain, user, workstation, session_key}) {
    if (f.length != 0) payload_start = std::min<std::uint64_t>(payload_start, f.offset);
  }
  out->mic.reset();
  if (payload_start >= kAuthenticateHeaderWithMic) {
    Digest16 mic{};
    std::copy(message.begin() + kMicOffset, message.begin() + kMicOffset + 16, mic.begin());
    out->mic = mic;
  }
  return true;
}

bool parse_av_pairs(const std::uint8_t* data, std::size_t size, std::vector<AvPair>* out, std::string* why) {
  out->clear();
  std::size_t at = 0;
  while (at + 4 <= size) {
    AvPair pair;
    pair.id = static_cast<std::uint16_t>(data[at] | (data[at + 1] << 8));
    const std::size_t length = static_cast<std::size_t>(data[at + 2] | (data[at + 3] << 8));
    at += 4;
    if (at + length > size) {
      *why = "AV pair runs past the end";
      return false;
    }
    pair.value.assign(data + at, data + at + length);
    at += length;
    if (pair.id == kAvEol) return true;
    out->push_back(std::move(pair));
  }
  *why = "AV pairs lack MsvAvEOL";
  return false;
}

const AvPair* find_av_pair(const std::vector<AvPair>& pairs, std::uint16_t id) {
  for (const AvPair& pair : pairs) {
    if (pair.id == id) return &pair;
  }
  return nullptr;
}

Bytes encode_av_pairs(const std::vector<AvPair>& pairs) {
  Bytes out;
  for (const AvPair& pair : pairs) {
    const std::size_t at = out.size();
    out.resize(at + 4);
    put16(&out, at, pair.id);
    put16(&out, at + 2, static_cast<std::uint16_t>(pair.value.size()));
    out.insert(out.end(), pair.value.begin(), pair.value.end());
  }
  out.insert(out.end(), {0, 0, 0, 0});
  return out;
}

Bytes build_negotiate(std::uint32_t flags) {
  Bytes m = header(1, 32);
  put32(&m, 12, flags);
  return m;
}

Bytes build_challenge(const ChallengeMessage& challenge) {
  Bytes m = header(2, kChallengeHeader);
  put32(&m, 20, challenge.flags);
  std::copy(challenge.server_challenge.begin(), challenge.server_challenge.end(), m.begin() + 24);
  if (challenge.flags & kNegotiateVersion) std::memcpy(m.data() + 48, kVersion, sizeof kVersion);
  append_field(&m, 12, encode_text(challenge.target_name, challenge.flags));
  append_field(&m, 40, challenge.target_info);
  return m;
}

Bytes build_authenticate(const AuthenticateMessage& a) {
  Bytes m = header(3, a.mic ? kAuthenticateHeaderWithMic : kAuthenticateMinimum);
  put32(&m, 60, a.flags);
  if (a.mic) {
    std::memcpy(m.data() + 64, kVersion, sizeof kVersion);
    std::copy(a.mic->begin(), a.mic->end(), m.begin() + kMicOffset);
  }
  append_field(&m, 28, encode_text(a.domain, a.flags));
  append_field(&m, 36, encode_text(a.user, a.flags));
  append_field(&m, 44, encode_text(a.workstation, a.flags));
  append_field(&m, 12, a.lm_response);
  append_field(&m, 20, a.nt_response);
  append_field(&m, 52, a.encrypted_session_key);
  return m;
}

}  // namespace ntlm
