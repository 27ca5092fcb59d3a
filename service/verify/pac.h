// The user's names and groups in a Kerberos ticket's PAC: its logon information (KERB_VALIDATION_INFO, NDR-encoded).
#pragma once

#include <string>
#include <vector>

#include "common/text.h"

struct PacLogonInfo {
  std::u16string user;    // EffectiveName: the account name (sAMAccountName)
  std::u16string domain;  // LogonDomainName: the NetBIOS domain
  // SIDs (S-1-5-21-...) of the user's groups: the primary group and GroupIds (relative to
  // LogonDomainId), ExtraSids, and the resource groups (relative to ResourceGroupDomainSid).
  std::vector<std::string> groups;
};

// Reads the logon information buffer of a PAC; false, with the reason, when it
// is not one.
bool read_pac_logon_info(const Bytes& buffer, PacLogonInfo* out, std::string* why);
