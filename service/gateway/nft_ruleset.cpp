// pellamor-nft's way into the kernel's ruleset: nftables commands run through libnftables, one transaction a buffer.
#include "gateway/nft_ruleset.h"

#include <nftables/libnftables.h>

#include "gateway/nft_sets.h"

namespace {

// The addresses of a set's listing: "elements = { 10.0.0.5 timeout 30s expires 29s, ... }".
std::set<std::string> listed_addresses(const std::string& listing) {
  std::set<std::string> out;
  const std::size_t start = listing.find("elements = {");
  if (start == std::string::npos) return out;
  std::string token;
  for (std::size_t i = start + 12; i < listing.size() && listing[i] != '}'; ++i) {
    const char c = listing[i];
    if (c == ' ' || c == ',' || c == '\n' || c == '\t') {
      if (is_ipv4_address(token)) out.insert(token);
      token.clear();
    } else {
      token.push_back(c);
    }
  }
  if (is_ipv4_address(token)) out.insert(token);
  return out;
}

}  // namespace

NftRuleset::NftRuleset() : ctx_(nft_ctx_new(NFT_CTX_DEFAULT)) {
  nft_ctx_buffer_output(ctx_);
  nft_ctx_buffer_error(ctx_);
}

NftRuleset::~NftRuleset() { nft_ctx_free(ctx_); }

bool NftRuleset::run(const std::string& commands, std::string* error) {
  if (nft_run_cmd_from_buffer(ctx_, commands.c_str()) == 0) return true;
  *error = nft_ctx_get_error_buffer(ctx_);
  while (!error->empty() && error->back() == '\n') error->pop_back();
  if (error->empty()) *error = "nftables refused the update";
  return false;
}

bool NftRuleset::elements(const std::string& table, const std::string& set, std::set<std::string>* out,
                          std::string* error) {
  if (!run("list set " + table + " " + set, error)) return false;
  *out = listed_addresses(nft_ctx_get_output_buffer(ctx_));
  return true;
}
