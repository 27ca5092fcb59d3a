// Client side of an NTLMv2 handshake, as a Windows client performs it (MIC included).
#pragma once

#include <string>

#include "ntlm/ntlm_messages.h"

struct NtlmCredentials {
  std::u16string user;
  std::u16string domain;
  std::u16string workstation;
  Digest16 nt_hash{};
  std::u16string target_name;  // the service meant, e.g. u"HTTP/host"; empty: not named
};

class NtlmClient {
 public:
  explicit NtlmClient(NtlmCredentials credentials);

  // The negotiate message; the client keeps it for the MIC.
  Bytes negotiate();
  // Answers a challenge message with an authenticate message.
  bool authenticate(const Bytes& challenge_message, Bytes* out, std::string* why);

 private:
  NtlmCredentials credentials_;
  Bytes negotiate_;
};
