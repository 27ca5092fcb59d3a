// What pellamor-nft keeps in its nftables sets: the credited IPv4 addresses, for everyone and per
// group, each until its last credit ends, and the one transaction that brings the sets there.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "gateway/feed_client.h"

// A set of the members of one domain group: `set` is its name in the table, `group` the group's
// SID or DOMAIN\Name (letter case ignored).
struct GroupSet {
  std::string set;
  std::string group;
};

// The table every set lives in. The site's own chains and rules may live there too: nothing here
// deletes the table, a chain or a rule, and the sets are never flushed.
constexpr const char* kNftTable = "inet pellamor";
constexpr const char* kUsersSet = "users";

// The sets hold IPv4 addresses written as inet_ntoa writes them.
bool is_ipv4_address(const std::string& text);

// Reads NAME=GROUP; false when NAME is no set name nftables takes (or is the users' set).
bool parse_group_set(const std::string& text, GroupSet* out);

class NftSets {
 public:
  explicit NftSets(std::vector<GroupSet> groups);

  // The credits become those of the snapshot. `present`: the elements each set holds now (by set
  // name). The transaction: the table and sets made when missing, every element present and every
  // one wanted taken out and the wanted ones put in, with their timeouts.
  std::string resync(const std::vector<FeedEntry>& snapshot, const std::map<std::string, std::set<std::string>>& present,
                     std::int64_t now);
  // The credits change as the events say; the transaction updates the addresses they touch; empty
  // when there is nothing to do.
  std::string apply(const std::vector<FeedEvent>& events, std::int64_t now);
  // The statements that make the table and the sets when missing, and leave them alone otherwise.
  std::string declarations() const;
  std::vector<std::string> set_names() const;

 private:
  struct Credit {
    std::int64_t expires = 0;
    std::vector<FeedGroup> groups;
  };
  // Whom the address is credited to, by user, domain and host.
  using Credits = std::map<std::string, Credit>;

  // When `set` should let the address in until, given its credits; 0: not at all.
  std::int64_t until(const std::string& set, const Credits& credits, std::int64_t now) const;
  bool in_group(const std::string& set, const Credit& credit) const;
  void note(const FeedEntry& entry);
  // The commands that bring `set` to the credits at the `touched` addresses, and take out the
  // `present` ones it holds (without a listing, null: the touched ones, which may or may not be there).
  std::string update_one(const std::string& set, const std::set<std::string>& touched,
                         const std::set<std::string>* present, std::int64_t now) const;

  const std::vector<GroupSet> groups_;
  std::map<std::string, Credits> addresses_;
};
