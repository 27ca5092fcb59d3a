// pellamor-nft's way into the kernel's ruleset: nftables commands run through libnftables, one transaction a buffer.
#pragma once

#include <set>
#include <string>

struct nft_ctx;

class NftRuleset {
 public:
  NftRuleset();
  ~NftRuleset();
  NftRuleset(const NftRuleset&) = delete;
  NftRuleset& operator=(const NftRuleset&) = delete;

  // Runs `commands`, one a line, as one transaction: all of them or none. False, with nftables'
  // own message, when it was refused.
  bool run(const std::string& commands, std::string* error);
  // The addresses set `set` of `table` holds now.
  bool elements(const std::string& table, const std::string& set, std::set<std::string>* out, std::string* error);

 private:
  nft_ctx* ctx_;
};
