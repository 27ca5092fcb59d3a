// The accounts file: who may log on, with a password or an NT hash per account.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/failure.h"
#include "common/ntlm_crypto.h"
#include "verify/verifier.h"

struct Account {
  std::string user;    // UTF-8, spelled as in the file
  std::string domain;  // UTF-8, spelled as in the file; may be empty
  Digest16 nt_hash{};
  // The groups its logons prove: SIDs, each with DOMAIN\Name or nothing.
  std::vector<std::string> group_sids;
  std::vector<std::string> group_names;
};

class Accounts {
 public:
  // Lines are "DOMAIN\user:password" or "DOMAIN\user:nthash:<32 hex digits>", the name
  // optionally followed by its groups in brackets: "DOMAIN\user [SID=DOMAIN\Group, SID]:...";
  // blank lines and lines starting with '#' are ignored. An empty password
  // (given as text or as its hash) is refused unless allowed. A text that is refused (or a file
  // that cannot be read, internal) leaves *out empty.
  static Failure parse(std::string_view text, Accounts* out, bool allow_empty_passwords = false);
  static Failure load(const std::string& path, Accounts* out, bool allow_empty_passwords = false);

  // Domain and user are matched without regard to letter case.
  const Account* find(std::string_view domain, std::string_view user) const;
  const std::vector<Account>& all() const { return accounts_; }

 private:
  bool add(Account account, std::string* error);

  std::vector<Account> accounts_;
  std::unordered_map<std::string, std::size_t> index_;
};

// Verifies NTLMv2 answers against an accounts file, as a domain controller
// would against its directory. The accounts may be replaced (a reload) while
// connections use them: each verification works on the set it started with,
// which lives until the last one using it is done.
class AccountsVerifier : public NtlmVerifier {
 public:
  explicit AccountsVerifier(Accounts accounts);

  // Takes effect for the verifications that start after it.
  void replace(Accounts accounts);
  std::shared_ptr<const Accounts> current() const;

  // Expects an NTLMv2 response (at least the 16 bytes of its proof).
  NtlmVerdict verify(const NtlmAnswer& answer) override;
  // The domain of the first account, in capitals; WORKGROUP without accounts.
  std::string target_domain() override;
  std::string target_computer() override { return ""; }
  // The groups the file lists, by SID or by name (letter case ignored).
  std::vector<std::string> group_names(const std::vector<std::string>& sids) override;
  Failure group_sid(const std::string& name, std::string* sid) override;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const Accounts> accounts_;
};
