// Client side of an NTLMv2 handshake, as a Windows client performs it (MIC included).
#include "ntlm/ntlm_client.h"

namespace {

using namespace ntlm;

constexpr std::uint32_t kClientFlags = kNegotiateUnicode | kRequestTarget | kNegotiateNtlm | kNegotiateAlwaysSign |
                                       kExtendedSessionSecurity | kNegotiateVersion | kNegotiate128 |
                                       kNegotiateKeyExchange | kNegotiate56;

Bytes random_block(std::size_t size) {
  Bytes out(size);
  random_bytes(out.data(), out.size());
  return out;
}

// The server's AV pairs with MsvAvFlags announcing a MIC and the target name, as Windows sends them.
bool client_av_pairs(const Bytes& target_info, const std::u16string& target_name, Bytes* out, Bytes* timestamp,
                     std::string* why) {
  std::vector<AvPair> pairs;
  if (!parse_av_pairs(target_info.data(), target_info.size(), &pairs, why)) return false;
  const AvPair* server_time = find_av_pair(pairs, kAvTimestamp);
  if (server_time == nullptr || server_time->value.size() != 8) {
    *why = "challenge has no timestamp";
    return false;
  }
  *timestamp = server_time->value;
  pairs.push_back({kAvFlags, {kAvFlagMicPresent, 0, 0, 0}});
  if (!target_name.empty()) pairs.push_back({kAvTargetName, utf16le_bytes(target_name)});
  *out = encode_av_pairs(pairs);
  return true;
}

}  // namespace

NtlmClient::NtlmClient(NtlmCredentials credentials) : credentials_(std::move(credentials)) {}

Bytes NtlmClient::negotiate() {
  negotiate_ = build_negotiate(kClientFlags);
  return negotiate_;
}

bool NtlmClient::authenticate(const Bytes& challenge_message, Bytes* out, std::string* why) {
  ChallengeMessage challenge;
  if (!parse_challenge(challenge_message, &challenge, why)) return false;
  Bytes av_pairs;
  Bytes timestamp;
  if (!client_av_pairs(challenge.target_info, credentials_.target_name, &av_pairs, &timestamp, why)) return false;

  // Reserved first: GCC 12 at -O3 takes a vector made from a braced list for one that never grows
  // past it, and warns of bounds that the insertions below do not cross.
  Bytes blob;
  blob.reserve(28 + av_pairs.size() + 4);
  blob.insert(blob.end(), {1, 1, 0, 0, 0, 0, 0, 0});
  blob.insert(blob.end(), timestamp.begin(), timestamp.end());
  const Bytes client_challenge = random_block(8);
  blob.insert(blob.end(), client_challenge.begin(), client_challenge.end());
  blob.insert(blob.end(), {0, 0, 0, 0});
  blob.insert(blob.end(), av_pairs.begin(), av_pairs.end());
  blob.insert(blob.end(), {0, 0, 0, 0});

  const Digest16 response_key = ntowf_v2(credentials_.nt_hash, credentials_.user, credentials_.domain);
  const Digest16 proof = ntlmv2_proof(response_key, challenge.server_challenge, blob);
  const Digest16 session_base_key = hmac_md5(response_key, Bytes(proof.begin(), proof.end()));
  const bool key_exchange = (challenge.flags & kNegotiateKeyExchange) != 0;
  const Bytes exported_key = key_exchange ? random_block(16) : Bytes(session_base_key.begin(), session_base_key.end());

  AuthenticateMessage auth;
  auth.flags = challenge.flags;
  auth.user = credentials_.user;
  auth.domain = credentials_.domain;
  auth.workstation = credentials_.workstation;
  auth.lm_response = Bytes(24, 0);  // with a timestamp, LMv2 is replaced by zeros
  auth.nt_response.assign(proof.begin(), proof.end());
  auth.nt_response.insert(auth.nt_response.end(), blob.begin(), blob.end());
  if (key_exchange) auth.encrypted_session_key = rc4(session_base_key, exported_key);
  auth.mic = Digest16{};

  // The MIC covers the whole exchange with its own field zeroed.
  Bytes message = build_authenticate(auth);
  Bytes transcript = negotiate_;
  transcript.insert(transcript.end(), challenge_message.begin(), challenge_message.end());
  transcript.insert(transcript.end(), message.begin(), message.end());
  Digest16 key{};
  std::copy(exported_key.begin(), exported_key.end(), key.begin());
  const Digest16 mic = hmac_md5(key, transcript);
  std::copy(mic.begin(), mic.end(), message.begin() + kMicOffset);
  *out = std::move(message);
  return true;
}
