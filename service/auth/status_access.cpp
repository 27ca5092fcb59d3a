// Who may read the status pages, which tell who is logged on where: loopback, listed networks, an administrators' group.
#include "auth/status_access.h"

#include <algorithm>

StatusAccess::StatusAccess(const NetworkList& allowed, std::string admin_group_sid, std::string admin_group_name,
                           const NetworkList& also)
    : allowed_(allowed), also_(also), admin_sid_(std::move(admin_group_sid)), admin_name_(std::move(admin_group_name)) {}

bool StatusAccess::open_to(const std::string& peer_address) const {
  static const NetworkList loopback = loopback_networks();
  return loopback.contains(peer_address) || allowed_.contains(peer_address) || also_.contains(peer_address);
}

std::string StatusAccess::open_text() const {
  std::string out = "loopback";
  for (const NetworkList* list : {&allowed_, &also_})
    if (!list->empty()) out += " and " + list->text();
  return out;
}

bool StatusAccess::admits(const std::vector<std::string>& group_sids) const {
  return admits_logons() && std::find(group_sids.begin(), group_sids.end(), admin_sid_) != group_sids.end();
}

bool read_sid(const std::string& text, std::string* canonical) {
  // S-1-<authority>-<subauthority>..., at most 15 subauthorities, each a decimal number.
  if (text.size() < 5 || (text[0] != 'S' && text[0] != 's') || text.compare(1, 3, "-1-") != 0) return false;
  std::size_t parts = 0;
  std::size_t start = 4;
  while (start <= text.size()) {
    const std::size_t dash = std::min(text.find('-', start), text.size());
    const std::string part = text.substr(start, dash - start);
    if (part.empty() || part.size() > 10 || part.find_first_not_of("0123456789") != std::string::npos) return false;
    if (part.size() > 1 && part[0] == '0') return false;
    ++parts;
    start = dash + 1;
  }
  if (parts < 2 || parts > 16) return false;
  *canonical = "S" + text.substr(1);
  return true;
}
