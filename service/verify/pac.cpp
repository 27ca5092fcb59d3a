// The user's names in a Kerberos ticket's PAC: its logon information (KERB_VALIDATION_INFO, NDR-encoded).
#include "pac.h"

namespace {

// The buffer is an NDR type serialization: a common header (version 1,
// little-endian, 8 bytes), a private header (the length of the rest, a
// filler), the top-level pointer, then the structure. Its strings and arrays
// follow it, in the order of their pointers, each only when its pointer is set.
constexpr std::size_t kHeaders = 16;
constexpr std::size_t kLogonTimes = 6 * 8;        // LogonTime ... PasswordMustChange
constexpr std::size_t kAfterDomainName = 64;      // LogonDomainId ... ResourceGroupIds
constexpr std::size_t kStringsBeforeGroups = 6;   // EffectiveName ... HomeDirectoryDrive
constexpr std::size_t kGroupMembership = 8;       // RelativeId, Attributes

class NdrReader {
 public:
  explicit NdrReader(const Bytes& data) : data_(data) {}

  bool u16(std::uint32_t* out) { return number(2, out); }
  bool u32(std::uint32_t* out) { return number(4, out); }
  bool skip(std::size_t n) {
    if (n > data_.size() - at_) return false;
    at_ += n;
    return true;
  }
  bool align4() { return skip((4 - at_ % 4) % 4); }

  // An RPC_UNICODE_STRING's inline part: lengths in bytes, then its pointer.
  bool string_header(bool* present) {
    std::uint32_t length = 0, maximum = 0, pointer = 0;
    if (!u16(&length) || !u16(&maximum) || !u32(&pointer)) return false;
    *present = pointer != 0;
    return true;
  }

  // A string's characters: a conformant varying array of UTF-16 units.
  bool string_body(std::u16string* out) {
    std::uint32_t maximum = 0, offset = 0, count = 0;
    if (!u32(&maximum) || !u32(&offset) || !u32(&count)) return false;
    if (offset != 0 || count > maximum || count > (data_.size() - at_) / 2) return false;
    *out = utf16le_from_bytes(data_.data() + at_, 2 * std::size_t(count));
    at_ += 2 * std::size_t(count);
    return align4();
  }

 private:
  bool number(std::size_t size, std::uint32_t* out) {
    if (size > data_.size() - at_) return false;
    *out = 0;
    for (std::size_t i = 0; i < size; ++i) *out |= std::uint32_t(data_[at_ + i]) << (8 * i);
    at_ += size;
    return true;
  }

  const Bytes& data_;
  std::size_t at_ = 0;
};

bool fail(std::string* why, const std::string& reason) {
  *why = reason;
  return false;
}

}  // namespace

bool read_pac_logon_info(const Bytes& buffer, PacLogonInfo* out, std::string* why) {
  if (buffer.size() < kHeaders || buffer[0] != 1 || buffer[1] != 0x10)
    return fail(why, "not a little-endian NDR type serialization");
  NdrReader ndr(buffer);
  std::uint32_t top = 0;
  if (!ndr.skip(kHeaders) || !ndr.u32(&top) || top == 0) return fail(why, "no logon information");

  bool strings[kStringsBeforeGroups] = {};
  std::uint32_t counts[5] = {};  // LogonCount|BadPasswordCount, UserId, PrimaryGroupId, GroupCount, GroupIds
  bool server = false, domain = false;
  bool inline_part = ndr.skip(kLogonTimes);
  for (bool& present : strings) inline_part = inline_part && ndr.string_header(&present);
  for (std::uint32_t& value : counts) inline_part = inline_part && ndr.u32(&value);
  inline_part = inline_part && ndr.skip(4 + 16) && ndr.string_header(&server) && ndr.string_header(&domain) &&
                ndr.skip(kAfterDomainName);
  if (!inline_part) return fail(why, "logon information cut short");

  std::u16string text;
  for (std::size_t i = 0; i < kStringsBeforeGroups; ++i) {
    if (!strings[i]) continue;
    if (!ndr.string_body(&text)) return fail(why, "a name of the logon information is cut short");
    if (i == 0) out->user = text;
  }
  std::uint32_t groups = 0;
  if (counts[4] != 0 && (!ndr.u32(&groups) || groups > buffer.size() / kGroupMembership ||
                         !ndr.skip(groups * std::size_t(kGroupMembership))))
    return fail(why, "the group list of the logon information is cut short");
  if ((server && !ndr.string_body(&text)) || !domain || !ndr.string_body(&out->domain))
    return fail(why, "the logon information has no domain name");
  if (out->user.empty() || out->domain.empty()) return fail(why, "the logon information names no user or domain");
  return true;
}
