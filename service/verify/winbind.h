// NTLM answers verified by the domain: Samba's winbind passes them to a domain controller.
#pragma once

#include <memory>
#include <string>

#include "verify/verifier.h"

// Talks to winbind through libwbclient, which finds winbind's socket where
// Samba's own clients (wbinfo, ntlm_auth) find it: /run/samba/winbindd. The
// verification goes through winbind's privileged pipe, which the service's user
// reaches as a member of the group winbindd_priv.
class WinbindVerifier : public NtlmVerifier {
 public:
  // Asks winbind for its domain; null, with the reason, when winbind does not answer.
  static std::unique_ptr<WinbindVerifier> open(std::string* error);

  NtlmVerdict verify(const NtlmAnswer& answer) override;
  // This member's domain and NetBIOS name, as winbind knows them.
  std::string target_domain() override { return domain_; }
  std::string target_computer() override { return computer_; }
  // The SID of a domain group named DOMAIN\group, or group alone (this member's domain); false, with
  // the reason, when winbind knows no such group or it is not one a logon carries.
  bool group_sid(const std::string& name, std::string* sid, std::string* error);

 private:
  WinbindVerifier(std::string domain, std::string computer) : domain_(std::move(domain)), computer_(std::move(computer)) {}

  const std::string domain_;
  const std::string computer_;
};
