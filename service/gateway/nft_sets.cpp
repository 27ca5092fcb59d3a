// What pellamor-nft keeps in its nftables sets: the credited IPv4 addresses, for everyone and per
// group, each until its last credit ends, and the one transaction that brings the sets there.
#include "gateway/nft_sets.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

namespace {

std::string folded(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::string credit_key(const FeedEntry& e) { return e.user + '\n' + e.domain + '\n' + e.host; }

// "add element inet pellamor SET { a timeout 5s, b timeout 9s }": each element as written.
std::string element_command(const char* verb, const std::string& set, const std::vector<std::string>& elements) {
  std::string out = std::string(verb) + " element " + kNftTable + " " + set + " { ";
  out.reserve(out.size() + elements.size() * 28);
  for (std::size_t i = 0; i < elements.size(); ++i) {
    if (i != 0) out += ", ";
    out += elements[i];
  }
  out += " }\n";
  return out;
}

}  // namespace

bool is_ipv4_address(const std::string& text) {
  in_addr parsed{};
  return inet_pton(AF_INET, text.c_str(), &parsed) == 1;
}

bool parse_group_set(const std::string& text, GroupSet* out) {
  const std::size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0 || equals + 1 == text.size() || equals > 32) return false;
  out->set = text.substr(0, equals);
  out->group = text.substr(equals + 1);
  const bool name_ok = std::isalpha(static_cast<unsigned char>(out->set[0])) != 0 &&
                       std::all_of(out->set.begin(), out->set.end(),
                                   [](unsigned char c) { return std::isalnum(c) != 0 || c == '_'; });
  return name_ok && out->set != kUsersSet;
}

NftSets::NftSets(std::vector<GroupSet> groups) : groups_(std::move(groups)) {}

std::vector<std::string> NftSets::set_names() const {
  std::vector<std::string> out{kUsersSet};
  for (const GroupSet& g : groups_) out.push_back(g.set);
  return out;
}

std::string NftSets::declarations() const {
  std::string out = std::string("add table ") + kNftTable + "\n";
  for (const std::string& set : set_names())
    out += std::string("add set ") + kNftTable + " " + set + " { type ipv4_addr; flags timeout; }\n";
  return out;
}

bool NftSets::in_group(const std::string& set, const Credit& credit) const {
  const auto g = std::find_if(groups_.begin(), groups_.end(), [&set](const GroupSet& gs) { return gs.set == set; });
  const std::string wanted = folded(g->group);
  return std::any_of(credit.groups.begin(), credit.groups.end(), [&wanted](const FeedGroup& member) {
    return folded(member.sid) == wanted || folded(member.name) == wanted;
  });
}

std::int64_t NftSets::until(const std::string& set, const Credits& credits, std::int64_t now) const {
  std::int64_t last = 0;
  for (const auto& [key, credit] : credits) {
    if (credit.expires > now && (set == kUsersSet || in_group(set, credit))) last = std::max(last, credit.expires);
  }
  return last;
}

void NftSets::note(const FeedEntry& entry) {
  addresses_[entry.address][credit_key(entry)] = Credit{entry.expires, entry.groups};
}

std::string NftSets::update_one(const std::string& set, const std::set<std::string>& touched,
                                const std::set<std::string>* present, std::int64_t now) const {
  std::string out;
  {
    // What may be in the set is taken out (put in for a moment first, so that taking out never
    // fails for an element that is not there or ran out meanwhile), then what is wanted put in:
    // one transaction, which the rules see whole or not at all. At a resync the set was listed:
    // only what it held is taken out.
    const std::set<std::string>& held = present != nullptr ? *present : touched;
    std::vector<std::string> placeholders;
    std::vector<std::string> removals(held.begin(), held.end());
    for (const std::string& address : held) placeholders.push_back(address + " timeout 1s");
    std::vector<std::string> wanted;
    std::set<std::string> all = touched;
    all.insert(held.begin(), held.end());
    for (const std::string& address : all) {
      const auto credits = addresses_.find(address);
      const std::int64_t last = credits == addresses_.end() ? 0 : until(set, credits->second, now);
      if (last > now) wanted.push_back(address + " timeout " + std::to_string(last - now) + "s");
    }
    if (!held.empty()) out += element_command("add", set, placeholders) + element_command("delete", set, removals);
    if (!wanted.empty()) out += element_command("add", set, wanted);
  }
  return out;
}

std::string NftSets::resync(const std::vector<FeedEntry>& snapshot,
                            const std::map<std::string, std::set<std::string>>& present, std::int64_t now) {
  addresses_.clear();
  std::set<std::string> touched;
  for (const FeedEntry& entry : snapshot) {
    if (!is_ipv4_address(entry.address) || entry.expires <= now) continue;
    note(entry);
    touched.insert(entry.address);
  }
  std::string out = declarations();
  for (const std::string& set : set_names()) {
    const auto held = present.find(set);
    const std::set<std::string> none;
    out += update_one(set, touched, held != present.end() ? &held->second : &none, now);
  }
  return out;
}

std::string NftSets::apply(const std::vector<FeedEvent>& events, std::int64_t now) {
  std::set<std::string> touched;
  for (const FeedEvent& event : events) {
    const FeedEntry& entry = event.entry;
    if (!is_ipv4_address(entry.address)) continue;
    touched.insert(entry.address);
    if (event.change == FeedChange::Credited || event.change == FeedChange::Refreshed) {
      note(entry);
      continue;
    }
    const auto credits = addresses_.find(entry.address);
    if (credits == addresses_.end()) continue;
    credits->second.erase(credit_key(entry));
    if (credits->second.empty()) addresses_.erase(credits);
  }
  // Credits that ran out are forgotten here as nftables forgets their elements.
  for (auto it = addresses_.begin(); it != addresses_.end();) {
    if (until(kUsersSet, it->second, now) == 0) it = addresses_.erase(it);
    else ++it;
  }
  std::string out;
  for (const std::string& set : set_names()) out += update_one(set, touched, nullptr, now);
  return out;
}
