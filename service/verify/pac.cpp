// The user's names and groups in a Kerberos ticket's PAC: its logon information (KERB_VALIDATION_INFO, NDR-encoded).
#include "verify/pac.h"

namespace {

// The buffer is an NDR type serialization: a common header (version 1,
// little-endian, 8 bytes), a private header (the length of the rest, a
// filler), the top-level pointer, then the structure. Its strings, arrays and
// SIDs follow it, in the order of their pointers, each only when its pointer is set.
constexpr std::size_t kHeaders = 16;
constexpr std::size_t kLogonTimes = 6 * 8;        // LogonTime ... PasswordMustChange
constexpr std::size_t kStringsBeforeGroups = 6;   // EffectiveName ... HomeDirectoryDrive
constexpr std::size_t kGroupMembership = 8;       // RelativeId, Attributes
// Reserved1, UserAccountControl, SubAuthStatus, LastSuccessfulILogon, LastFailedILogon,
// FailedILogonCount, Reserved3: between LogonDomainId and SidCount.
constexpr std::size_t kBeforeSidCount = 8 + 4 + 4 + 8 + 8 + 4 + 4;
constexpr std::uint32_t kMaxSubAuthorities = 15;

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

  // An RPC_SID: its conformant count, then revision, count, the authority (6 bytes, big-endian)
  // and the subauthorities; written as S-1-5-21-...
  bool sid(std::string* out) {
    std::uint32_t conformance = 0, revision = 0, count = 0;
    if (!u32(&conformance) || !number(1, &revision) || !number(1, &count) || count != conformance ||
        count > kMaxSubAuthorities || 6 > data_.size() - at_)
      return false;
    std::uint64_t authority = 0;
    for (int i = 0; i < 6; ++i) authority = authority << 8 | data_[at_++];
    *out = "S-" + std::to_string(revision) + "-" + std::to_string(authority);
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint32_t part = 0;
      if (!u32(&part)) return false;
      *out += "-" + std::to_string(part);
    }
    return true;
  }

  // A conformant array of `count` GROUP_MEMBERSHIPs: their relative ids.
  bool relative_ids(std::uint32_t count, std::vector<std::uint32_t>* out) {
    std::uint32_t conformance = 0, attributes = 0;
    if (!u32(&conformance) || conformance != count || count > (data_.size() - at_) / kGroupMembership) return false;
    out->resize(count);
    for (std::uint32_t& id : *out) {
      if (!u32(&id) || !u32(&attributes)) return false;
    }
    return true;
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

// The pointers and counts of the fixed part that say what follows it.
struct FixedPart {
  bool strings[kStringsBeforeGroups] = {};
  std::uint32_t primary_group = 0, group_count = 0, groups = 0;
  bool server = false, domain = false;
  std::uint32_t domain_id = 0, sid_count = 0, extra_sids = 0, resource_domain = 0, resource_count = 0,
                resource_groups = 0;
};

bool read_fixed_part(NdrReader& ndr, FixedPart* f) {
  std::uint32_t counts = 0, user_id = 0;
  bool ok = ndr.skip(kLogonTimes);
  for (bool& present : f->strings) ok = ok && ndr.string_header(&present);
  return ok && ndr.u32(&counts) && ndr.u32(&user_id) && ndr.u32(&f->primary_group) && ndr.u32(&f->group_count) &&
         ndr.u32(&f->groups) && ndr.skip(4 + 16) && ndr.string_header(&f->server) &&
         ndr.string_header(&f->domain) && ndr.u32(&f->domain_id) && ndr.skip(kBeforeSidCount) &&
         ndr.u32(&f->sid_count) && ndr.u32(&f->extra_sids) && ndr.u32(&f->resource_domain) &&
         ndr.u32(&f->resource_count) && ndr.u32(&f->resource_groups);
}

// ExtraSids: an array of (pointer, attributes), then the SIDs of the pointers that are set.
bool read_extra_sids(NdrReader& ndr, std::uint32_t count, std::vector<std::string>* out) {
  std::uint32_t conformance = 0;
  if (!ndr.u32(&conformance) || conformance != count) return false;
  std::vector<std::uint32_t> pointers(count);
  std::uint32_t attributes = 0;
  for (std::uint32_t& pointer : pointers) {
    if (!ndr.u32(&pointer) || !ndr.u32(&attributes)) return false;
  }
  for (std::uint32_t pointer : pointers) {
    std::string sid;
    if (pointer != 0 && !ndr.sid(&sid)) return false;
    if (pointer != 0) out->push_back(sid);
  }
  return true;
}

void add_relative(const std::string& domain_sid, const std::vector<std::uint32_t>& ids, std::vector<std::string>* out) {
  if (domain_sid.empty()) return;
  for (std::uint32_t id : ids) out->push_back(domain_sid + "-" + std::to_string(id));
}

}  // namespace

bool read_pac_logon_info(const Bytes& buffer, PacLogonInfo* out, std::string* why) {
  if (buffer.size() < kHeaders || buffer[0] != 1 || buffer[1] != 0x10)
    return fail(why, "not a little-endian NDR type serialization");
  NdrReader ndr(buffer);
  std::uint32_t top = 0;
  if (!ndr.skip(kHeaders) || !ndr.u32(&top) || top == 0) return fail(why, "no logon information");
  FixedPart f;
  if (!read_fixed_part(ndr, &f)) return fail(why, "logon information cut short");

  std::u16string text;
  for (std::size_t i = 0; i < kStringsBeforeGroups; ++i) {
    if (!f.strings[i]) continue;
    if (!ndr.string_body(&text)) return fail(why, "a name of the logon information is cut short");
    if (i == 0) out->user = text;
  }
  std::vector<std::uint32_t> group_ids = {f.primary_group};
  std::vector<std::uint32_t> more;
  if (f.groups != 0 && !ndr.relative_ids(f.group_count, &more))
    return fail(why, "the group list of the logon information is cut short");
  group_ids.insert(group_ids.end(), more.begin(), more.end());
  if ((f.server && !ndr.string_body(&text)) || !f.domain || !ndr.string_body(&out->domain))
    return fail(why, "the logon information has no domain name");
  if (out->user.empty() || out->domain.empty()) return fail(why, "the logon information names no user or domain");

  std::string domain_sid, resource_sid;
  std::vector<std::string> extra;
  std::vector<std::uint32_t> resource_ids;
  if ((f.domain_id != 0 && !ndr.sid(&domain_sid)) || (f.extra_sids != 0 && !read_extra_sids(ndr, f.sid_count, &extra)) ||
      (f.resource_domain != 0 && !ndr.sid(&resource_sid)) ||
      (f.resource_groups != 0 && !ndr.relative_ids(f.resource_count, &resource_ids)))
    return fail(why, "the group SIDs of the logon information are cut short");
  add_relative(domain_sid, group_ids, &out->groups);
  out->groups.insert(out->groups.end(), extra.begin(), extra.end());
  add_relative(resource_sid, resource_ids, &out->groups);
  return true;
}
