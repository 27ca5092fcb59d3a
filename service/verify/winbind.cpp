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

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <vector>

#include "common/job_queue.h"
#include "verify/file_access.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxName = 255;  // winbind's request holds shorter names only
// Where Debian's winbind keeps its privileged pipe: open to root and the group winbindd_priv.
constexpr const char* kPrivilegedPipeFolder = "/var/lib/samba/winbindd_privileged";
// How long a verification and a ping of the domain controller may take before the logon gets 503
// and the health check says so; a hung winbind would keep them waiting for minutes.
constexpr auto kVerifyDeadline = std::chrono::seconds(10);
constexpr auto kPingDeadline = std::chrono::seconds(5);
// A group's name is a nicety: a logon waits for it only briefly, and is recorded with the SID alone.
constexpr auto kNameDeadline = std::chrono::seconds(2);
// Between pings: often while something is wrong, so that the service recovers soon after winbind.
constexpr auto kPingEvery = std::chrono::seconds(5);
constexpr auto kPingEveryWhileWrong = std::chrono::seconds(1);
// The threads that call winbind: more than the verifications that may wait at once (the
// authenticator's 16), so that the ping of the domain controller finds one free while winbind
// answers slowly. A call to a winbind that hangs keeps its thread until winbind answers; calls
// posted meanwhile wait for a thread, and those whose caller has given up are dropped unmade.
constexpr unsigned kCallThreads = 20;

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

// Connections to winbind, kept between calls: a context serves one call at a time.
class ContextPool {
 public:
  using Lease = std::unique_ptr<wbcContext, std::function<void(wbcContext*)>>;

  Lease take() {
    wbcContext* context = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!idle_.empty()) {
        context = idle_.back().release();
        idle_.pop_back();
      }
    }
    if (context == nullptr) context = wbcCtxCreate();
    return Lease(context, [this](wbcContext* used) {
      if (used == nullptr) return;
      std::lock_guard<std::mutex> lock(mutex_);
      idle_.emplace_back(used);
    });
  }

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<wbcContext, ContextFree>> idle_;
};

ContextPool& contexts() {
  static ContextPool* pool = new ContextPool;  // calls left waiting may outlive main
  return *pool;
}

JobQueue& calls() {
  static JobQueue* queue = new JobQueue(kCallThreads);  // calls left waiting may outlive main
  return *queue;
}

// Runs `call` on one of the calling threads and waits at most `deadline` for its result; none when
// it has not finished by then (it goes on alone, and what it returns is dropped).
template <typename Result>
std::optional<Result> within(Clock::duration deadline, std::function<Result(wbcContext*)> call) {
  struct Shared {
    std::mutex mutex;
    std::condition_variable done;
    bool abandoned = false;
    std::optional<Result> result;
  };
  auto shared = std::make_shared<Shared>();
  calls().post([shared, call = std::move(call)] {
    {
      std::lock_guard<std::mutex> lock(shared->mutex);
      if (shared->abandoned) return;
    }
    ContextPool::Lease context = contexts().take();
    Result result = call(context.get());
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->result = std::move(result);
    shared->done.notify_all();
  });
  std::unique_lock<std::mutex> lock(shared->mutex);
  if (!shared->done.wait_for(lock, deadline, [&] { return shared->result.has_value(); })) shared->abandoned = true;
  return shared->result;
}

std::string seconds_text(Clock::duration d) {
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(d).count()) + " s";
}

// A permission problem is told at start as what it is; winbind itself would only seem down.
std::string closed_privileged_pipe() {
  if (faccessat(AT_FDCWD, kPrivilegedPipeFolder, X_OK, AT_EACCESS) == 0 || (errno != EACCES && errno != EPERM))
    return "";
  const std::string user = process_user_name();
  return std::string("winbind's privileged pipe ") + kPrivilegedPipeFolder + "/pipe, through which NTLM answers " +
         "are verified: permission denied for user " + user + ", who is not in the group winbindd_priv (adduser " +
         user + " winbindd_priv, then start the service again)";
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
    const std::string why = with_name(meaning.text, who);
    verdict.failure = meaning.kind == Kind::Unavailable ? Failure::unavailable(why) : Failure::refused(why);
    verdict.counts_as_failure = meaning.kind == Kind::Refused;
    return verdict;
  }
  verdict.failure = Failure::refused("the domain refused " + who + " (" + status_name + ")");
  return verdict;
}

NtlmVerdict unavailable(const std::string& reason) {
  NtlmVerdict verdict;
  verdict.failure = Failure::unavailable(reason);
  return verdict;
}

std::string sid_text(const wbcDomainSid& sid) {
  char text[WBC_SID_STRING_BUFLEN];
  wbcSidToStringBuf(&sid, text, sizeof text);
  return text;
}

// Names winbind can carry whole: it would cut longer ones, and a NUL inside.
bool fits_winbind(const std::string& name) { return name.size() <= kMaxName && name.find('\0') == std::string::npos; }

// DOMAIN\Name of each SID in one question to winbind; when winbind refuses the whole question (a
// SID it cannot map), one question each.
std::vector<std::string> names_of(wbcContext* context, const std::vector<wbcDomainSid>& sids) {
  std::vector<std::string> out(sids.size());
  struct wbcDomainInfo* domains = nullptr;
  wbcTranslatedName* names = nullptr;
  int domain_count = 0;
  if (wbcCtxLookupSids(context, sids.data(), static_cast<int>(sids.size()), &domains, &domain_count, &names) ==
      WBC_ERR_SUCCESS) {
    const WbcPtr<struct wbcDomainInfo> domains_held(domains);
    const WbcPtr<wbcTranslatedName> names_held(names);
    for (std::size_t i = 0; i < sids.size(); ++i) {
      const int d = names[i].domain_index;
      if (names[i].type == WBC_SID_NAME_UNKNOWN || d < 0 || d >= domain_count || names[i].name == nullptr ||
          domains[d].short_name == nullptr)
        continue;
      out[i] = std::string(domains[d].short_name) + "\\" + names[i].name;
    }
    return out;
  }
  for (std::size_t i = 0; i < sids.size(); ++i) {
    char* domain = nullptr;
    char* name = nullptr;
    wbcSidType type = WBC_SID_NAME_USE_NONE;
    if (wbcCtxLookupSid(context, &sids[i], &domain, &name, &type) != WBC_ERR_SUCCESS) continue;
    const WbcPtr<char> domain_held(domain);
    const WbcPtr<char> name_held(name);
    out[i] = std::string(domain) + "\\" + name;
  }
  return out;
}

}  // namespace

namespace {

NtlmVerdict authenticate(wbcContext* context, const NtlmAnswer& answer, const std::string& user,
                         const std::string& domain, const std::string& workstation, const std::string& who) {
  NtlmVerdict verdict;
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
  verdict.failure = Failure();
  verdict.who = VerifiedUser{info->account_name, info->domain_name, {}};
  // The first SID is the user's own; the groups follow.
  for (std::uint32_t i = 1; i < info->num_sids; ++i) verdict.who.groups.push_back(sid_text(info->sids[i].sid));
  std::memcpy(verdict.session_base_key.data(), info->user_session_key, verdict.session_base_key.size());
  return verdict;
}

}  // namespace

WinbindVerifier::WinbindVerifier() = default;

std::unique_ptr<WinbindVerifier> WinbindVerifier::open(std::string* notice, std::string* error) {
  *error = closed_privileged_pipe();
  if (!error->empty()) return nullptr;
  std::unique_ptr<WinbindVerifier> verifier(new WinbindVerifier());
  verifier->check_directory();
  if (verifier->target_domain().empty())
    *notice = verifier->problem() +
              "; the service starts without it: NTLM logons through the domain get 503 until winbind answers";
  verifier->watcher_ = std::thread([raw = verifier.get()] { raw->watch(); });
  return verifier;
}

WinbindVerifier::~WinbindVerifier() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stopping_changed_.notify_all();
  if (watcher_.joinable()) watcher_.join();
}

void WinbindVerifier::watch() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    const auto pause = problem_.empty() ? kPingEvery : kPingEveryWhileWrong;
    if (stopping_changed_.wait_for(lock, pause, [this] { return stopping_; })) return;
    lock.unlock();
    check_directory();
    lock.lock();
  }
}

// winbind's names for this member first (its first answer), then its ping of the domain controller.
void WinbindVerifier::check_directory() {
  const Failure unnamed = target_domain().empty() ? learn_names() : Failure();
  if (!unnamed.ok()) {
    std::lock_guard<std::mutex> lock(mutex_);
    problem_ = unnamed.why;
    return;
  }
  const std::string domain = target_domain();
  const std::optional<std::string> pinged = within<std::string>(kPingDeadline, [domain](wbcContext* context) {
    wbcAuthErrorInfo* raw_error = nullptr;
    const wbcErr status = wbcCtxPingDc2(context, domain.c_str(), &raw_error, nullptr);
    const WbcPtr<wbcAuthErrorInfo> error(raw_error);
    if (status == WBC_ERR_SUCCESS) return std::string();
    if (status == WBC_ERR_WINBIND_NOT_AVAILABLE) return std::string("winbind does not answer (") + wbcErrorString(status) + ")";
    const std::string detail = error != nullptr && error->nt_string != nullptr ? error->nt_string : wbcErrorString(status);
    return "no domain controller of " + domain + " answers winbind (" + detail + ")";
  });
  std::lock_guard<std::mutex> lock(mutex_);
  problem_ = pinged ? *pinged : "winbind did not answer within " + seconds_text(kPingDeadline);
}

Failure WinbindVerifier::learn_names() {
  using Names = std::pair<wbcErr, std::pair<std::string, std::string>>;
  const std::optional<Names> names = within<Names>(kPingDeadline, [](wbcContext* context) {
    struct wbcInterfaceDetails* raw = nullptr;
    const wbcErr status = wbcCtxInterfaceDetails(context, &raw);
    const WbcPtr<struct wbcInterfaceDetails> details(raw);
    if (status != WBC_ERR_SUCCESS || details == nullptr || details->netbios_domain == nullptr ||
        details->netbios_name == nullptr)
      return Names{status == WBC_ERR_SUCCESS ? WBC_ERR_UNKNOWN_FAILURE : status, {}};
    return Names{WBC_ERR_SUCCESS, {details->netbios_domain, details->netbios_name}};
  });
  if (!names) return Failure::unavailable("winbind did not answer within " + seconds_text(kPingDeadline));
  if (names->first != WBC_ERR_SUCCESS)
    return Failure::unavailable(std::string("winbind does not answer (") + wbcErrorString(names->first) +
                                "): is it running, and is this machine a member of the domain (net ads join)");
  std::lock_guard<std::mutex> lock(mutex_);
  domain_ = names->second.first;
  computer_ = names->second.second;
  return Failure();
}

std::string WinbindVerifier::target_domain() {
  std::lock_guard<std::mutex> lock(mutex_);
  return domain_;
}

std::string WinbindVerifier::target_computer() {
  std::lock_guard<std::mutex> lock(mutex_);
  return computer_;
}

std::string WinbindVerifier::problem() {
  std::lock_guard<std::mutex> lock(mutex_);
  return problem_;
}

Failure WinbindVerifier::ready() {
  std::lock_guard<std::mutex> lock(mutex_);
  return problem_.empty() && !domain_.empty() ? Failure() : Failure::unavailable(problem_);
}

NtlmVerdict WinbindVerifier::verify(const NtlmAnswer& answer) {
  const std::string user = utf16_to_utf8(answer.user);
  const std::string domain = utf16_to_utf8(answer.domain);
  const std::string workstation = utf16_to_utf8(answer.workstation);
  const std::string who = domain + "\\" + user;
  NtlmVerdict verdict;
  if (!fits_winbind(user) || !fits_winbind(domain) || !fits_winbind(workstation)) {
    verdict.failure = Failure::refused("names too long or with a NUL character from " + who);
    return verdict;
  }
  const Failure not_ready = ready();
  if (!not_ready.ok()) return unavailable(not_ready.why + "; cannot verify " + who);
  const auto started = Clock::now();
  const std::optional<NtlmVerdict> verdict_in_time =
      within<NtlmVerdict>(kVerifyDeadline, [answer, user, domain, workstation, who](wbcContext* context) {
        return authenticate(context, answer, user, domain, workstation, who);
      });
  if (!verdict_in_time)
    return unavailable("winbind did not answer within " + seconds_text(Clock::now() - started) + " for " + who);
  return *verdict_in_time;
}


Failure WinbindVerifier::group_sid(const std::string& name, std::string* sid) {
  const std::size_t slash = name.find('\\');
  const std::string domain = slash == std::string::npos ? domain_ : name.substr(0, slash);
  const std::string group = name.substr(slash == std::string::npos ? 0 : slash + 1);
  wbcDomainSid found{};
  wbcSidType type = WBC_SID_NAME_USE_NONE;
  const ContextPool::Lease context = contexts().take();
  const wbcErr status = wbcCtxLookupName(context.get(), domain.c_str(), group.c_str(), &found, &type);
  if (status != WBC_ERR_SUCCESS) {
    const std::string why = "winbind knows no " + domain + "\\" + group + " (" + wbcErrorString(status) + ")";
    return status == WBC_ERR_WINBIND_NOT_AVAILABLE ? Failure::unavailable(why) : Failure::refused(why);
  }
  // Logons carry the global and universal groups of the user's domain; domain local and built-in
  // groups (aliases) only on the machines of their own domain.
  if (type != WBC_SID_NAME_DOM_GRP)
    return Failure::refused(domain + "\\" + group + " is " +
                            (type == WBC_SID_NAME_ALIAS || type == WBC_SID_NAME_WKN_GRP
                                 ? "a domain local or built-in group, which logons do not carry: use a global or "
                                   "universal group"
                                 : "not a group"));
  *sid = sid_text(found);
  return Failure();
}

std::vector<std::string> WinbindVerifier::group_names(const std::vector<std::string>& sids) {
  std::vector<wbcDomainSid> parsed;
  for (const std::string& sid : sids) {
    wbcDomainSid one{};
    wbcStringToSid(sid.c_str(), &one);  // one that is no SID stays zero: winbind names nothing so
    parsed.push_back(one);
  }
  const std::optional<std::vector<std::string>> names = within<std::vector<std::string>>(
      kNameDeadline, [parsed](wbcContext* context) { return names_of(context, parsed); });
  return names.value_or(std::vector<std::string>(sids.size()));
}
