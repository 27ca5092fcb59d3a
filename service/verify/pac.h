// The user's names in a Kerberos ticket's PAC: its logon information (KERB_VALIDATION_INFO, NDR-encoded).
#pragma once

#include <string>

#include "text.h"

struct PacLogonInfo {
  std::u16string user;    // EffectiveName: the account name (sAMAccountName)
  std::u16string domain;  // LogonDomainName: the NetBIOS domain
};

// Reads the logon information buffer of a PAC; false, with the reason, when it
// is not one. Only what comes before the domain name is walked.
bool read_pac_logon_info(const Bytes& buffer, PacLogonInfo* out, std::string* why);
