// Who may read the status pages, which tell who is logged on where: loopback, listed networks, an administrators' group.
#pragma once

#include <string>
#include <vector>

#include "common/networks.h"

class StatusAccess {
 public:
  // `admin_group_sid` empty: no group is admitted, only the networks. `also`: further networks
  // that this view alone answers (the lookup's proxies and gateways, which need no more of the map).
  StatusAccess(const NetworkList& allowed, std::string admin_group_sid, std::string admin_group_name,
               const NetworkList& also = NetworkList());

  // Loopback, the networks of --status-allow, and `also`: served without a logon.
  bool open_to(const std::string& peer_address) const;
  // Those, as a refusal names them: "loopback and 10.0.0.0/8".
  std::string open_text() const;
  // Whether anyone else may log on to read them (an administrators' group is set).
  bool admits_logons() const { return !admin_sid_.empty(); }
  // Whether a user with these group SIDs is a member of the administrators' group.
  bool admits(const std::vector<std::string>& group_sids) const;
  const std::string& group_name() const { return admin_name_; }

 private:
  NetworkList allowed_;
  NetworkList also_;
  const std::string admin_sid_;
  const std::string admin_name_;
};

// Whether `text` is a SID as Windows writes them (S-1-5-21-...), which `*canonical` receives with a capital S.
bool read_sid(const std::string& text, std::string* canonical);
