// NTLM answers verified by the domain: Samba's winbind passes them to a domain controller.
#include "verify/winbind.h"

#include <grp.h>
#include <pwd.h>
#include <stdbool.h>
#include <stdint.h>
// A C header without C++ linkage of its own.
extern "C" {
#include <wbclient.h>
}

#include <cstring>

namespace {

constexpr std::size_t kMaxName = 255;  // winbind's request holds shorter names only

// Frees what libwbclient allocated.
template <typename T>
struct WbcFree {
  void operator()(T* p) const { wbcFreeMemory(p); }
};
template <typename T>
using WbcPtr = std::unique_ptr<T, WbcFree<T>>;

struct ContextFree {
  void operator()(wbcContext* context) const { wbcCtxFree(context); }
};

// One connection to winbind per thread: a context must not be shared by threads.
wbcContext* thread_context() {
  thread_local std::unique_ptr<wbcContext, ContextFree> context(wbcCtxCreate());
  return context.get();
}

enum class Kind { Refused, NotAFailure, Unavailable };

struct StatusMeaning {
  std::uint32_t status;
  Kind kind;
  const char* text;  // "%" stands for DOMAIN\user
};

// The answers a domain gives to a logon, as people know them. Statuses that say
// the domain could not be asked make the logon unavailable rather than refused.
constexpr StatusMeaning kMeanings[] = {
    {0xC000006A, Kind::Refused, "wrong password for %"},
    {0xC0000064, Kind::NotAFailure, "unknown user %"},
    {0xC0000072, Kind::Refused, "account % is disabled"},
    {0xC0000234, Kind::Refused, "account % is locked out"},
    {0xC0000071, Kind::Refused, "password of % has expired"},
    {0xC0000224, Kind::Refused, "password of % must be changed at the next logon"},
    {0xC0000193, Kind::Refused, "account % has expired"},
    {0xC000006E, Kind::Refused, "account restrictions refuse %"},
    {0xC000006F, Kind::Refused, "account restrictions refuse % (logon hours)"},
    {0xC0000070, Kind::Refused, "account restrictions refuse % (workstation)"},
    {0xC000015B, Kind::Refused, "% may not log on this way (logon type not granted)"},
    {0xC000006D, Kind::Refused, "logon failure for %"},
    {0xC00000DF, Kind::NotAFailure, "unknown domain of %"},
    {0xC000005E, Kind::Unavailable, "no domain controller answers for % (no logon servers)"},
    {0xC0000233, Kind::Unavailable, "no domain controller found for %"},
    {0xC00000B5, Kind::Unavailable, "the domain controller did not answer in time for %"},
    {0xC0000192, Kind::Unavailable, "the domain's logon service is not running for %"},
    {0xC000018C, Kind::Unavailable, "the trust with the domain of % failed"},
    {0xC000018D, Kind::Unavailable, "this machine's trust with the domain failed for %"},
    {0xC00000DA, Kind::Unavailable, "the domain of % cannot be reached"},
    {0xC00000DC, Kind::Unavailable, "the domain controller cannot serve % now (invalid server state)"},
    {0xC0000236, Kind::Unavailable, "the domain controller refused the connection for %"},
    {0xC000023C, Kind::Unavailable, "the domain controller's network is unreachable for %"},
    {0xC000023D, Kind::Unavailable, "the domain controller is unreachable for %"},
    {0xC000009A, Kind::Unavailable, "winbind is out of resources for %"},
    {0xC0000017, Kind::Unavailable, "winbind is out of memory for %"},
};

std::string with_name(const char* text, const std::string& who) {
  std::string out = text;
  out.replace(out.find('%'), 1, who);
  return out;
}

NtlmVerdict verdict_of_status(std::uint32_t status, const std::string& status_name, const std::string& who) {
  NtlmVerdict verdict;
  for (const StatusMeaning& meaning : kMeanings) {
    if (meaning.status != status) continue;
    verdict.reason = with_name(meaning.text, who);
    verdict.verdict = meaning.kind == Kind::Unavailable ? Verdict::Unavailable : Verdict::Refused;
    verdict.counts_as_failure = meaning.kind == Kind::Refused;
    return verdict;
  }
  verdict.reason = "the domain refused " + who + " (" + status_name + ")";
  return verdict;
}

NtlmVerdict unavailable(const std::string& reason) {
  NtlmVerdict verdict;
  verdict.verdict = Verdict::Unavailable;
  verdict.reason = reason;
  return verdict;
}

std::string sid_text(const wbcDomainSid& sid) {
  char text[WBC_SID_STRING_BUFLEN];
  wbcSidToStringBuf(&sid, text, sizeof text);
  return text;
}

// Names winbind can carry whole: it would cut longer ones, and a NUL inside.
bool fits_winbind(const std::string& name) { return name.size() <= kMaxName && name.find('\0') == std::string::npos; }

}  // namespace

std::unique_ptr<WinbindVerifier> WinbindVerifier::open(std::string* error) {
  struct wbcInterfaceDetails* raw = nullptr;
  const wbcErr status = wbcCtxInterfaceDetails(thread_context(), &raw);
  const WbcPtr<struct wbcInterfaceDetails> details(raw);
  if (status != WBC_ERR_SUCCESS || details == nullptr || details->netbios_domain == nullptr ||
      details->netbios_name == nullptr) {
    *error = std::string("winbind does not answer (") + wbcErrorString(status) +
             "); is it running, and is this a member of the domain (net ads join)?";
    return nullptr;
  }
  return std::unique_ptr<WinbindVerifier>(new WinbindVerifier(details->netbios_domain, details->netbios_name));
}

NtlmVerdict WinbindVerifier::verify(const NtlmAnswer& answer) {
  const std::string user = utf16_to_utf8(answer.user);
  const std::string domain = utf16_to_utf8(answer.domain);
  const std::string workstation = utf16_to_utf8(answer.workstation);
  const std::string who = domain + "\\" + user;
  NtlmVerdict verdict;
  if (!fits_winbind(user) || !fits_winbind(domain) || !fits_winbind(workstation)) {
    verdict.reason = "names too long or with a NUL character from " + who;
    return verdict;
  }
  wbcContext* context = thread_context();
  if (context == nullptr) return unavailable("winbind: out of memory for " + who);

  wbcAuthUserParams params{};
  params.account_name = user.c_str();
  params.domain_name = domain.c_str();
  params.workstation_name = workstation.c_str();
  params.level = wbcAuthUserParams::WBC_AUTH_USER_LEVEL_RESPONSE;
  std::memcpy(params.password.response.challenge, answer.challenge.data(), answer.challenge.size());
  Bytes nt = answer.nt_response;
  Bytes lm = answer.lm_response;
  params.password.response.nt_length = static_cast<std::uint32_t>(nt.size());
  params.password.response.nt_data = nt.empty() ? nullptr : nt.data();
  params.password.response.lm_length = static_cast<std::uint32_t>(lm.size());
  params.password.response.lm_data = lm.empty() ? nullptr : lm.data();

  wbcAuthUserInfo* raw_info = nullptr;
  wbcAuthErrorInfo* raw_error = nullptr;
  const wbcErr status = wbcCtxAuthenticateUserEx(context, &params, &raw_info, &raw_error);
  const WbcPtr<wbcAuthUserInfo> info(raw_info);
  const WbcPtr<wbcAuthErrorInfo> error(raw_error);
  if (status == WBC_ERR_AUTH_ERROR && error != nullptr)
    return verdict_of_status(error->nt_status, error->nt_string == nullptr ? "" : error->nt_string, who);
  if (status != WBC_ERR_SUCCESS || info == nullptr || info->account_name == nullptr || info->domain_name == nullptr)
    return unavailable(std::string("winbind cannot verify ") + who + ": " + wbcErrorString(status));
  verdict.verdict = Verdict::Accepted;
  verdict.who = VerifiedUser{info->account_name, info->domain_name, {}};
  // The first SID is the user's own; the groups follow.
  for (std::uint32_t i = 1; i < info->num_sids; ++i) verdict.who.groups.push_back(sid_text(info->sids[i].sid));
  std::memcpy(verdict.session_base_key.data(), info->user_session_key, verdict.session_base_key.size());
  return verdict;
}

bool WinbindVerifier::group_sid(const std::string& name, std::string* sid, std::string* error) {
  const std::size_t slash = name.find('\\');
  const std::string domain = slash == std::string::npos ? domain_ : name.substr(0, slash);
  const std::string group = name.substr(slash == std::string::npos ? 0 : slash + 1);
  wbcDomainSid found{};
  wbcSidType type = WBC_SID_NAME_USE_NONE;
  const wbcErr status = wbcCtxLookupName(thread_context(), domain.c_str(), group.c_str(), &found, &type);
  if (status != WBC_ERR_SUCCESS) {
    *error = "winbind knows no " + domain + "\\" + group + " (" + wbcErrorString(status) + ")";
    return false;
  }
  // Logons carry the global and universal groups of the user's domain; domain local and built-in
  // groups (aliases) only on the machines of their own domain.
  if (type != WBC_SID_NAME_DOM_GRP) {
    *error = domain + "\\" + group + " is " +
             (type == WBC_SID_NAME_ALIAS || type == WBC_SID_NAME_WKN_GRP
                  ? "a domain local or built-in group, which logons do not carry: use a global or universal group"
                  : "not a group");
    return false;
  }
  *sid = sid_text(found);
  return true;
}
