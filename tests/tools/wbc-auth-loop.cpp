// Benchmark helper: what winbind alone makes of NTLMv2 answers, the limit of the service's logons
// through winbind on the same machine and domain controller.
//
//   wbc-auth-loop 'DOMAIN\user:password' THREADS SECONDS
//
// Each thread keeps one winbind connection (libwbclient's context) and, again and again, answers a
// fresh challenge as a Windows client would and asks winbind (wbcCtxAuthenticateUserEx) whether the
// answer is right, as the service asks. Prints "verifications_per_second=N"; exits 1 when one is
// not verified.
extern "C" {
#include <stdbool.h>
#include <stdint.h>
#include <wbclient.h>
}

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ntlm/ntlm_client.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Account {
  std::string domain;
  std::string user;
  std::string password;
};

// The current time as NTLM's challenge carries it: 100 ns units since 1601.
Bytes filetime_now() {
  constexpr std::uint64_t kSeconds1601To1970 = 11644473600ULL;
  const auto since_1970 = std::chrono::system_clock::now().time_since_epoch();
  const std::uint64_t ticks = kSeconds1601To1970 * 10000000ULL +
      static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since_1970).count() / 100);
  Bytes out(8);
  for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(ticks >> (8 * i));
  return out;
}

// A challenge as the service sends one, for the domain's member WEB1.
ntlm::ChallengeMessage new_challenge(const std::u16string& domain) {
  ntlm::ChallengeMessage challenge;
  challenge.flags = ntlm::kRequestTarget | ntlm::kNegotiateNtlm | ntlm::kTargetTypeDomain | ntlm::kNegotiateTargetInfo |
                    ntlm::kNegotiateUnicode | ntlm::kExtendedSessionSecurity | ntlm::kNegotiate128;
  random_bytes(challenge.server_challenge.data(), challenge.server_challenge.size());
  challenge.target_name = domain;
  challenge.target_info = ntlm::encode_av_pairs({{ntlm::kAvNbDomainName, utf16le_bytes(domain)},
                                                 {ntlm::kAvNbComputerName, utf16le_bytes(u"WEB1")},
                                                 {ntlm::kAvTimestamp, filetime_now()}});
  return challenge;
}

// One client's answer to a new challenge, and winbind's verdict on it.
bool verify_once(wbcContext* context, const Account& account, const NtlmCredentials& credentials) {
  NtlmClient client(credentials);
  client.negotiate();
  const ntlm::ChallengeMessage challenge = new_challenge(credentials.domain);
  Bytes message;
  std::string why;
  ntlm::AuthenticateMessage answer;
  if (!client.authenticate(ntlm::build_challenge(challenge), &message, &why) ||
      !ntlm::parse_authenticate(message, &answer, &why))
    return false;
  wbcAuthUserParams params{};
  params.account_name = account.user.c_str();
  params.domain_name = account.domain.c_str();
  params.workstation_name = "BENCH";
  params.level = wbcAuthUserParams::WBC_AUTH_USER_LEVEL_RESPONSE;
  std::copy(challenge.server_challenge.begin(), challenge.server_challenge.end(), params.password.response.challenge);
  params.password.response.nt_length = static_cast<std::uint32_t>(answer.nt_response.size());
  params.password.response.nt_data = answer.nt_response.data();
  params.password.response.lm_length = static_cast<std::uint32_t>(answer.lm_response.size());
  params.password.response.lm_data = answer.lm_response.empty() ? nullptr : answer.lm_response.data();
  wbcAuthUserInfo* info = nullptr;
  wbcAuthErrorInfo* error = nullptr;
  const wbcErr status = wbcCtxAuthenticateUserEx(context, &params, &info, &error);
  wbcFreeMemory(info);
  wbcFreeMemory(error);
  return status == WBC_ERR_SUCCESS;
}

bool parse_account(const std::string& text, Account* account) {
  const std::size_t slash = text.find('\\');
  const std::size_t colon = text.find(':');
  if (slash == std::string::npos || colon == std::string::npos || colon < slash) return false;
  *account = Account{text.substr(0, slash), text.substr(slash + 1, colon - slash - 1), text.substr(colon + 1)};
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Account account;
  const int threads = argc == 4 ? std::atoi(argv[2]) : 0;
  const double seconds = argc == 4 ? std::atof(argv[3]) : 0;
  if (threads < 1 || seconds <= 0 || !parse_account(argv[1], &account)) {
    std::fprintf(stderr, "usage: wbc-auth-loop 'DOMAIN\\user:password' THREADS SECONDS\n");
    return 2;
  }
  NtlmCredentials credentials;
  utf8_to_utf16(account.user, &credentials.user);
  utf8_to_utf16(account.domain, &credentials.domain);
  credentials.workstation = u"BENCH";
  std::u16string password;
  utf8_to_utf16(account.password, &password);
  credentials.nt_hash = nt_hash(password);

  const auto start = Clock::now();
  const auto deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::atomic<long> verified{0};
  std::atomic<bool> failed{false};
  std::vector<std::thread> running;
  for (int i = 0; i < threads; ++i)
    running.emplace_back([&] {
      wbcContext* context = wbcCtxCreate();
      while (context != nullptr && Clock::now() < deadline && !failed) {
        if (verify_once(context, account, credentials)) ++verified;
        else failed = true;
      }
      if (context == nullptr) failed = true;
      wbcCtxFree(context);
    });
  for (std::thread& t : running) t.join();
  const double took = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("verifications_per_second=%.1f\n", static_cast<double>(verified.load()) / took);
  if (failed) std::fprintf(stderr, "wbc-auth-loop: winbind did not verify %s\\%s\n", account.domain.c_str(), account.user.c_str());
  return failed ? 1 : 0;
}
