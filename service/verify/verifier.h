// What proves a user: the NTLM answer verifiers (accounts file, winbind) and what they tell about the user.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/failure.h"
#include "common/ntlm_crypto.h"

// A user as the directory knows them: the same whichever way they logged on.
// A verifier that learns more about the user (their groups, from winbind's
// answer or the Kerberos PAC) adds it here.
struct VerifiedUser {
  std::string user;    // UTF-8, spelled as the directory (or the accounts file) spells it
  std::string domain;  // NetBIOS domain; may be empty for an account file entry without one
  // SIDs (S-1-5-21-...) of the groups the directory puts in the logon: its primary group, the
  // global and universal groups it is a member of (nested ones too), and extra SIDs; from the
  // accounts file, those its line lists.
  std::vector<std::string> groups;
};

// An NTLMv2 answer to verify: the names as the client sent them, the challenge
// it answers and the client's responses.
struct NtlmAnswer {
  std::u16string user;
  std::u16string domain;
  std::u16string workstation;
  ServerChallenge challenge{};
  Bytes nt_response;  // NTProofStr, then the client's blob
  Bytes lm_response;
};

struct NtlmVerdict {
  // None: accepted. Refused: the answer or the account is not good (401), and why, naming the
  // user. Unavailable: nobody could tell (no domain controller reachable): 503.
  Failure failure = Failure::refused("");
  VerifiedUser who;             // when accepted
  Digest16 session_base_key{};  // when accepted: the key the client's MIC is made with
  // A refusal that a password guesser provokes (a wrong password, an account
  // that is locked out, ...), as opposed to a user that does not exist.
  bool counts_as_failure = true;
};

class NtlmVerifier {
 public:
  virtual ~NtlmVerifier() = default;
  // May block while a domain controller is asked; thread-safe.
  virtual NtlmVerdict verify(const NtlmAnswer& answer) = 0;
  // Unavailable, with the reason, while the verifier cannot verify anything (its directory does
  // not answer): the handshake stops before its challenge, which needs the directory's names.
  virtual Failure ready() { return Failure(); }
  // How the service's challenges name it: the NetBIOS domain, and the NetBIOS
  // computer name (empty: this machine's host name). A domain controller
  // refuses an answer that names another computer than the member passing it on.
  virtual std::string target_domain() = 0;
  virtual std::string target_computer() = 0;
  // The directory's groups, for the map and the questions asked of it. DOMAIN\Name of each group
  // of `sids`, in their order; empty where the directory does not name one (or does not answer
  // soon). May wait for the directory; thread-safe.
  virtual std::vector<std::string> group_names(const std::vector<std::string>& sids) {
    return std::vector<std::string>(sids.size());
  }
  // The SID of a group named DOMAIN\Name, or Name in target_domain(); refused, with the reason, when
  // there is no such group a logon carries; unavailable when the directory does not answer.
  virtual Failure group_sid(const std::string& name, std::string* sid) {
    (void)sid;
    return Failure::refused("no directory knows the group " + name);
  }
};
