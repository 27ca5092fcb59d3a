// Where the user is: which addresses a login proves, and which of its addresses it is credited at.
#include "usermap/address_rule.h"

#include "usermap/address_lists.h"

namespace {

// Whether a claim may be credited if nobody proves its address: a claim the entry already had
// (`kept`) without credit is not credited while it keeps reporting it.
bool claim_may_be_credited(const NetworkList& credit_claims, const StoredEntry& stored,
                           const std::vector<std::string>& kept, const std::string& address) {
  return credit_claims.contains(address) && (!contains(kept, address) || contains(stored.credited, address));
}

// The addresses where the entry's proof outranks others' claims: all it is found at when it came
// through a trusted relay, otherwise the one its request came from, whether it reports it or not.
std::vector<std::string> outranking_addresses(const LogonEntry& e, const std::vector<std::string>& addresses) {
  return e.relayed ? addresses : std::vector<std::string>{e.peer};
}

}  // namespace

bool proves(const LogonEntry& entry, const std::string& address) { return entry.relayed || address == entry.peer; }

bool decide_credit(MapConnection& db, const NetworkList& credit_claims, const LogonEntry& e, const StoredEntry& stored,
                   const std::vector<std::string>& addresses, std::vector<AddressCredit>* rows, std::string* error) {
  const std::vector<std::string> kept = stored_addresses(stored);
  for (const std::string& address : addresses) {
    bool credited = proves(e, address);
    if (!credited && claim_may_be_credited(credit_claims, stored, kept, address)) {
      bool proven = false;
      if (!db.proven(address, e.last_seen, &proven, error)) return false;
      credited = !proven;
    }
    rows->push_back(AddressCredit{address, credited});
  }
  return true;
}

bool withdraw_outranked(MapConnection& db, std::int64_t id, const LogonEntry& e,
                        const std::vector<std::string>& addresses, std::string* error) {
  for (const std::string& address : outranking_addresses(e, addresses)) {
    if (!db.withdraw_claims(address, id, error)) return false;
  }
  return true;
}

std::vector<AddressCredit> stored_rows(const StoredEntry& stored) {
  std::vector<AddressCredit> rows;
  for (const std::string& address : stored_addresses(stored))
    rows.push_back(AddressCredit{address, contains(stored.credited, address)});
  return rows;
}
