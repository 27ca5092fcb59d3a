// NTLM answers verified by the domain: Samba's winbind passes them to a domain controller.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "verify/verifier.h"

// Talks to winbind through libwbclient, which finds winbind's socket where
// Samba's own clients (wbinfo, ntlm_auth) find it: /run/samba/winbindd. The
// verification goes through winbind's privileged pipe, which the service's user
// reaches as a member of the group winbindd_priv.
//
// A thread of its own asks winbind every few seconds whether the domain's controller answers
// (winbind's ping of its DC), with a deadline, since a winbind that hangs keeps its callers
// waiting for minutes. While the answer is no, NTLM logons get 503 at once, with that reason;
// each verification has a deadline too. A winbind that does not answer at start leaves the
// service running: the names its challenges need come with winbind's first answer.
class WinbindVerifier : public NtlmVerifier {
 public:
  // Null, with the reason, only when the service's user may not use winbind's privileged pipe
  // (a permission problem, which no waiting mends). `notice`: winbind does not answer yet.
  static std::unique_ptr<WinbindVerifier> open(std::string* notice, std::string* error);
  ~WinbindVerifier() override;

  NtlmVerdict verify(const NtlmAnswer& answer) override;
  Failure ready() override;
  // This member's domain and NetBIOS name, as winbind knows them (empty before its first answer).
  std::string target_domain() override;
  std::string target_computer() override;
  // Empty while winbind answers and its domain controller too; otherwise why not.
  std::string problem();
  // The SID of a domain group named DOMAIN\group, or group alone (this member's domain); refused,
  // with the reason, when winbind knows no such group or it is not one a logon carries.
  Failure group_sid(const std::string& name, std::string* sid) override;
  // DOMAIN\Name of each SID, as winbind names them; all empty when it does not within a short
  // deadline.
  std::vector<std::string> group_names(const std::vector<std::string>& sids) override;

 private:
  WinbindVerifier();
  void watch();
  void check_directory();
  Failure learn_names();

  std::mutex mutex_;
  std::condition_variable stopping_changed_;
  bool stopping_ = false;
  std::string domain_;
  std::string computer_;
  std::string problem_;  // empty: winbind and its domain controller answered the last ping
  std::thread watcher_;
};
