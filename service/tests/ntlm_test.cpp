// NTLM tests: the published MS-NLMP NTLMv2 vectors, the server's handshake and target-name check, and the guessing throttle.
#include <gtest/gtest.h>

#include <thread>

#include "verify/accounts.h"
#include "ntlm/ntlm_client.h"
#include "ntlm/ntlm_server.h"
#include "ntlm/throttle.h"

namespace {

Bytes from_hex(const std::string& text) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    if (text[i] == ' ') {
      --i;
      continue;
    }
    out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string hex_of(const Digest16& d) { return hex(d.data(), d.size()); }

AccountsVerifier accounts_from(const std::string& text) {
  Accounts accounts;
  const Failure refused = Accounts::parse(text, &accounts);
  EXPECT_TRUE(refused.ok()) << refused.message();
  return AccountsVerifier(std::move(accounts));
}

// One authenticate message through a server session, with its verification.
NtlmResult answered(NtlmServerSession& server, const Bytes& authenticate) {
  const NtlmResult taken = server.process(base64_encode(authenticate));
  return taken.step == NtlmStep::Verify ? server.verify() : taken;
}

// Inputs of MS-NLMP 4.2.1: user "User", domain "Domain", password "Password".
const ServerChallenge kVectorServerChallenge = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};

// The NTLMv2 client challenge ("temp") of MS-NLMP 4.2.4: time 0, client
// challenge aa..aa, AV pairs NbDomainName "Domain" and NbComputerName "Server".
const Bytes kVectorBlob = from_hex(
    "0101000000000000 0000000000000000 aaaaaaaaaaaaaaaa 00000000"
    "02000c00 44006f006d00610069006e00 01000c00 53006500720076006500720000000000 00000000");

// The NTLMv2 AUTHENTICATE_MESSAGE of MS-NLMP 4.2.4.3.
const Bytes kVectorAuthenticate = from_hex(
    "4e544c4d53535000 03000000"
    "180018006c000000 5400540084000000 0c000c0048000000 0800080054000000 100010005c000000 10001000d8000000"
    "358288e2 0501280a0000000f"
    "44006f006d00610069006e00 5500730065007200 43004f004d0050005500540045005200"
    "86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa"
    "68cd0ab851e51c96aabc927bebef6a1c"
    "0101000000000000 0000000000000000 aaaaaaaaaaaaaaaa 00000000"
    "02000c00 44006f006d00610069006e00 01000c00 53006500720076006500720000000000 00000000"
    "c5dad2544fc9799094ce1ce90bc9d03e");

TEST(NtlmVectors, PublishedKeysAndProof) {
  const Digest16 nt = nt_hash(u"Password");
  EXPECT_EQ(hex_of(nt), "a4f49c406510bdcab6824ee7c30fd852");
  const Digest16 key = ntowf_v2(nt, u"User", u"Domain");
  EXPECT_EQ(hex_of(key), "0c868a403bfd7a93a3001ef22ef02e3f");
  const Digest16 proof = ntlmv2_proof(key, kVectorServerChallenge, kVectorBlob);
  EXPECT_EQ(hex_of(proof), "68cd0ab851e51c96aabc927bebef6a1c");
  const Digest16 session_base_key = hmac_md5(key, Bytes(proof.begin(), proof.end()));
  EXPECT_EQ(hex_of(session_base_key), "8de40ccadbc14a82f15cb0ad0de95ca3");
  // The exported session key of the vectors is sixteen 0x55 bytes.
  const Bytes exported = rc4(session_base_key, from_hex("c5dad2544fc9799094ce1ce90bc9d03e"));
  EXPECT_EQ(exported, Bytes(16, 0x55));
}

// Wrong passwords and unknown users are refused with their reasons in the service's own scenarios.
TEST(NtlmVectors, PublishedAuthenticateMessageIsVerifiedOnlyWholeAndForItsChallenge) {
  ASSERT_EQ(kVectorAuthenticate.size(), 0xe8u);
  IssuedChallenge issued;
  issued.server_challenge = kVectorServerChallenge;
  // Matched without case, hashed as the client spelled it, recorded as the account spells it.
  AccountsVerifier matched = accounts_from("DOMAIN\\user:Password");
  const NtlmResult accepted = check_authenticate(matched, issued, kVectorAuthenticate);
  EXPECT_EQ(accepted.step, NtlmStep::Accepted) << accepted.failure.why;
  EXPECT_EQ(accepted.domain + "\\" + accepted.user, "DOMAIN\\user");

  AccountsVerifier accounts = accounts_from("Domain\\User:Password");
  for (std::size_t size = 0; size < kVectorAuthenticate.size(); ++size) {
    const Bytes truncated(kVectorAuthenticate.begin(), kVectorAuthenticate.begin() + size);
    EXPECT_EQ(check_authenticate(accounts, issued, truncated).step, NtlmStep::Rejected) << size;
  }
  // The same message answering any other challenge is a replay.
  issued.server_challenge[0] ^= 1;
  EXPECT_EQ(check_authenticate(accounts, issued, kVectorAuthenticate).failure.why, "wrong password for Domain\\User");
}

NtlmCredentials credentials(const std::u16string& password, const std::u16string& target_name = u"") {
  return NtlmCredentials{u"alice", u"PELLAMOR", u"PC1", nt_hash(password), target_name};
}

// One handshake through a server session; returns the authenticate message.
Bytes handshake(NtlmServerSession& server, NtlmClient& client) {
  const NtlmResult challenge = server.process(base64_encode(client.negotiate()));
  EXPECT_EQ(challenge.step, NtlmStep::Challenge);
  Bytes authenticate;
  std::string why;
  EXPECT_TRUE(client.authenticate(*base64_decode(challenge.reply_token), &authenticate, &why)) << why;
  return authenticate;
}

// Every handshake gets a fresh challenge that names the server; the MIC guards the message.
TEST(NtlmHandshake, FreshChallengeThenAcceptedOnceAndTamperingRefused) {
  AccountsVerifier accounts = accounts_from("pellamor\\alice:secret");
  const NtlmTarget target = default_ntlm_target(accounts);
  ServerChallenge previous{};
  // 0 leaves the message as the client made it; then a byte of the MIC, and one of the flags it covers.
  for (const std::size_t flip_byte : {std::size_t(0), ntlm::kMicOffset + 3, std::size_t(62)}) {
    NtlmServerSession server(accounts, target);
    NtlmClient client(credentials(u"secret"));
    const NtlmResult answer = server.process(base64_encode(client.negotiate()));
    ASSERT_EQ(answer.step, NtlmStep::Challenge);
    const Bytes challenge_message = *base64_decode(answer.reply_token);
    ntlm::ChallengeMessage challenge;
    std::string why;
    ASSERT_TRUE(ntlm::parse_challenge(challenge_message, &challenge, &why)) << why;
    EXPECT_TRUE(challenge.flags & ntlm::kNegotiateTargetInfo);
    EXPECT_TRUE(challenge.flags & ntlm::kNegotiateUnicode);
    EXPECT_EQ(challenge.target_name, u"PELLAMOR");
    std::vector<ntlm::AvPair> pairs;
    ASSERT_TRUE(ntlm::parse_av_pairs(challenge.target_info.data(), challenge.target_info.size(), &pairs, &why));
    for (std::uint16_t id : {ntlm::kAvNbDomainName, ntlm::kAvNbComputerName, ntlm::kAvTimestamp})
      EXPECT_NE(ntlm::find_av_pair(pairs, id), nullptr) << id;
    EXPECT_EQ(ntlm::find_av_pair(pairs, ntlm::kAvNbDomainName)->value, utf16le_bytes(u"PELLAMOR"));
    EXPECT_NE(challenge.server_challenge, previous);
    previous = challenge.server_challenge;

    Bytes authenticate;
    ASSERT_TRUE(client.authenticate(challenge_message, &authenticate, &why)) << why;
    if (flip_byte != 0) authenticate[flip_byte] ^= 0x01;
    const NtlmResult result = answered(server, authenticate);
    EXPECT_EQ(result.step, flip_byte == 0 ? NtlmStep::Accepted : NtlmStep::Rejected) << flip_byte;
    EXPECT_EQ(result.failure.why, flip_byte == 0 ? "" : "message integrity code does not match for PELLAMOR\\alice");
    // Whatever happened, the challenge is used up.
    const NtlmResult replay = answered(server, authenticate);
    EXPECT_EQ(replay.failure.why, "authenticate message without a pending challenge on this connection") << flip_byte;
  }
}

TEST(NtlmHandshake, TargetNameMustNameThisService) {
  AccountsVerifier accounts = accounts_from("PELLAMOR\\alice:secret");
  const NtlmTarget target = default_ntlm_target(accounts);
  const std::vector<std::string> one = {"pellamor.example.com"};
  const std::vector<std::string> several = {"pellamor.example.com", "pellamor", "10.0.0.1", "fd00::1"};
  struct Case {
    std::u16string target_name;
    const std::vector<std::string>* names;
    bool accepted;
  };
  const Case cases[] = {
      {u"", &one, true},  // not named: clients that do not know it
      {u"HTTP/pellamor.example.com", &one, true},
      {u"http/PELLAMOR.Example.COM", &one, true},
      {u"HTTP/pellamor.example.com:8080", &one, true},
      {u"HTTP/pellamor.example.com:8080/pellamor", &one, true},
      {u"HTTP/pellamor.example.com:evil", &one, false},  // only a port may follow the host
      {u"HTTP/pellamor.example.com:", &one, false},
      {u"HTTP/pellamor.example.com:65536", &one, false},
      {u"HTTP/attacker.example.net", &one, false},
      {u"HTTP/pellamor.example.com.attacker.net", &one, false},
      {u"cifs/pellamor.example.com", &one, false},  // meant for a file server
      {u"HTTP/", &one, false},
      {u"pellamor.example.com", &one, false},
      {u"HTTP/pellamor", &one, false},
      {u"HTTP/pellamor", &several, true},
      {u"HTTP/10.0.0.1", &several, true},
      {u"HTTP/10.0.0.2", &several, false},
      {u"HTTP/[fd00::1]:8080", &several, true},
      {u"HTTP/[fd00::1]evil", &several, false},
      {u"HTTP/[fd00::1]:evil", &several, false},
      {u"HTTP/fd00::1", &several, true},
      {u"HTTP/fd00::2", &several, false},
  };
  for (const Case& c : cases) {
    NtlmServerSession server(accounts, target, NtlmGuard{c.names, nullptr, "127.0.0.1"});
    NtlmClient client(credentials(u"secret", c.target_name));
    const NtlmResult result = answered(server, handshake(server, client));
    EXPECT_EQ(result.step, c.accepted ? NtlmStep::Accepted : NtlmStep::Rejected) << utf16_to_utf8(c.target_name);
    EXPECT_EQ(result.failure.why.find("is not this service") != std::string::npos, !c.accepted) << result.failure.why;
  }
}

// 100 addresses x 1,000 accounts once filled the table of pairs, and failures of new pairs then went uncounted.
TEST(Throttle, AFullTableStillCountsAndNeverLiftsARefusal) {
  LogonThrottle throttle(10, 50, 60);
  const std::int64_t now = 1000;
  for (int i = 0; i < 10; ++i) throttle.failed("D\\early", "10.0.0.1", now);
  for (int account = 0; account < 1000; ++account) {
    for (int peer = 0; peer < 100; ++peer)
      throttle.failed("D\\u" + std::to_string(account), "10.1.0." + std::to_string(peer), now + 1);
  }
  EXPECT_EQ(throttle.refused("D\\early", "10.0.0.1", now + 2).scope, LogonThrottle::Scope::Pair);
  for (int i = 0; i < 9; ++i) EXPECT_FALSE(throttle.failed("D\\victim", "10.2.0.1", now + 2).pair);
  EXPECT_TRUE(throttle.failed("D\\victim", "10.2.0.1", now + 2).pair);
  const LogonThrottle::Refusal refusal = throttle.refused("D\\victim", "10.2.0.1", now + 2);
  EXPECT_EQ(refusal.scope, LogonThrottle::Scope::Pair);
  EXPECT_EQ(refusal.seconds, 60);
  EXPECT_EQ(throttle.refused("D\\victim", "10.2.0.1", now + 62).scope, LogonThrottle::Scope::None);
}

// Answers that arrive together would all be checked before the first fails: each holds its place from
// before, and one that finds no place left waits for the outcomes of those that hold them.
TEST(Throttle, AnswersBeingCheckedHoldTheirPlacesUntilTheirOutcome) {
  LogonThrottle throttle(3, 0, 60);
  const auto reserve = [&throttle] { return throttle.reserve("D\\u", "10.0.0.1", 1000); };
  for (int i = 0; i < 3; ++i) EXPECT_EQ(reserve().scope, LogonThrottle::Scope::None) << i;
  LogonThrottle::Refusal fourth;
  std::thread waiting([&] { fourth = reserve(); });
  throttle.released("D\\u", "10.0.0.1");  // could not be checked: its place is given back
  waiting.join();
  EXPECT_EQ(fourth.scope, LogonThrottle::Scope::None);
  std::thread refused([&] { fourth = reserve(); });
  for (int i = 0; i < 2; ++i) EXPECT_FALSE(throttle.failed("D\\u", "10.0.0.1", 1000).pair);
  EXPECT_TRUE(throttle.failed("D\\u", "10.0.0.1", 1000).pair);
  refused.join();
  EXPECT_EQ(fourth.scope, LogonThrottle::Scope::Pair);
  EXPECT_EQ(fourth.seconds, 60);
}

}  // namespace
