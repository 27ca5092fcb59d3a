// Server side of an NTLM handshake; one instance lives with one TCP connection.
#include "ntlm/ntlm_server.h"

#include <unistd.h>

#include <chrono>

#include "common/peer_group.h"

namespace {

using namespace ntlm;

// Longest token accepted; real authenticate messages stay far below this.
constexpr std::size_t kMaxTokenBase64 = 12000;
// NTLMv2_CLIENT_CHALLENGE up to its AV pairs.
constexpr std::size_t kBlobHeader = 28;
constexpr std::size_t kNtlmV1ResponseSize = 24;
// Seconds from 1601-01-01 (FILETIME epoch) to 1970-01-01.
constexpr std::uint64_t kFiletimeEpochOffset = 11644473600ULL;

NtlmResult rejected(std::string kind, std::string reason) {
  NtlmResult result;
  result.step = NtlmStep::Rejected;
  result.token_kind = std::move(kind);
  result.failure = Failure::refused(std::move(reason));
  return result;
}

Bytes filetime_now() {
  const auto since_1970 = std::chrono::system_clock::now().time_since_epoch();
  const auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(since_1970).count() / 100;
  const std::uint64_t filetime = kFiletimeEpochOffset * 10000000ULL + static_cast<std::uint64_t>(ticks);
  Bytes out(8);
  for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(filetime >> (8 * i));
  return out;
}

// Answers the flags the client asked for that this server supports; the
// signing and sealing flags only shape the key exchange, which HTTP never uses.
std::uint32_t challenge_flags(std::uint32_t requested) {
  std::uint32_t flags = kRequestTarget | kNegotiateNtlm | kTargetTypeDomain | kNegotiateTargetInfo;
  flags |= (requested & kNegotiateUnicode) ? kNegotiateUnicode : kNegotiateOem;
  flags |= requested & (kNegotiateSign | kNegotiateSeal | kNegotiateAlwaysSign | kExtendedSessionSecurity |
                        kNegotiateVersion | kNegotiate128 | kNegotiate56 | kNegotiateKeyExchange);
  return flags;
}

std::uint32_t read32(const Bytes& b) {
  return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
         (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

// The client's AV pairs. The blob is covered by NTProofStr, so nobody between
// the client and this service can add, change or strip them; but the client
// may be the attacker, and a list that cannot be read would hide the target
// name and the MIC flag that the checks below rely on. False, with the reason, then.
bool blob_av_pairs(const Bytes& blob, std::vector<AvPair>* pairs, std::string* why) {
  if (!parse_av_pairs(blob.data() + kBlobHeader, blob.size() - kBlobHeader, pairs, why)) return false;
  const AvPair* flags = find_av_pair(*pairs, kAvFlags);
  if (flags != nullptr && flags->value.size() != 4) {
    *why = "MsvAvFlags of " + std::to_string(flags->value.size()) + " bytes";
    return false;
  }
  return true;
}

// Clients that send a MIC say so in their MsvAvFlags.
bool announces_mic(const std::vector<AvPair>& pairs) {
  const AvPair* flags = find_av_pair(pairs, kAvFlags);
  return flags != nullptr && (read32(flags->value) & kAvFlagMicPresent) != 0;
}

// The service the client meant to log on to ("HTTP/host"), empty when it does
// not say: older clients, and clients that do not know the name.
std::string target_name(const std::vector<AvPair>& pairs) {
  const AvPair* name = find_av_pair(pairs, kAvTargetName);
  if (name == nullptr) return "";
  return utf16_to_utf8(utf16le_from_bytes(name->value.data(), name->value.size()));
}

std::string joined_targets(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& name : names) out += (out.empty() ? "HTTP/" : ", HTTP/") + name;
  return out;
}

std::int64_t steady_seconds() {
  const auto since_start = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::seconds>(since_start).count();
}

// MIC = HMAC-MD5(ExportedSessionKey, NEGOTIATE || CHALLENGE || AUTHENTICATE
// with the MIC field zeroed). For NTLMv2 the key exchange key is the session
// base key (the verifier's, or the domain's), and the exported key is sent
// RC4-encrypted under it.
bool mic_matches(const Bytes& negotiate, const Bytes& challenge, const Bytes& authenticate,
                 const AuthenticateMessage& parsed, const Digest16& session_base_key) {
  if (!parsed.mic) return false;
  Digest16 exported_key = session_base_key;
  if ((parsed.flags & kNegotiateKeyExchange) && parsed.encrypted_session_key.size() == 16) {
    const Bytes key = rc4(session_base_key, parsed.encrypted_session_key);
    std::copy(key.begin(), key.end(), exported_key.begin());
  }
  Bytes transcript = negotiate;
  transcript.insert(transcript.end(), challenge.begin(), challenge.end());
  const std::size_t mic_at = transcript.size() + kMicOffset;
  transcript.insert(transcript.end(), authenticate.begin(), authenticate.end());
  std::fill(transcript.begin() + mic_at, transcript.begin() + mic_at + 16, 0);
  const Digest16 expected = hmac_md5(exported_key, transcript);
  return constant_time_equal(expected.data(), parsed.mic->data(), 16);
}

std::u16string machine_name() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return u"PELLAMOR-SERVICE";
  return latin1_to_utf16(name);
}

}  // namespace

NtlmTarget default_ntlm_target(NtlmVerifier& verifier) {
  NtlmTarget target;
  utf8_to_utf16(verifier.target_domain(), &target.netbios_domain);
  target.dns_computer = machine_name();
  // A NetBIOS name is the first label of the host name, at most 15 characters.
  const std::u16string first_label = target.dns_computer.substr(0, target.dns_computer.find(u'.'));
  target.netbios_computer = unicode_upper(first_label.substr(0, 15));
  const std::string computer = verifier.target_computer();
  if (!computer.empty()) utf8_to_utf16(computer, &target.netbios_computer);
  return target;
}

std::vector<std::string> default_service_names() {
  const std::string host = utf16_to_utf8(machine_name());
  const std::string first_label = host.substr(0, host.find('.'));
  if (first_label.empty() || first_label == host) return {host};
  return {host, first_label};
}

namespace {

// A port after the host: one to five digits, nothing else.
bool is_port(const std::string& text) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value <= 65535;
}

// The host of "host", "host:port", "[v6 address]", "[v6 address]:port" or a bare v6 address;
// empty when anything but a port follows the host ("host:evil", "[fd00::1]x"), which names no host.
std::string host_part(const std::string& instance) {
  if (!instance.empty() && instance[0] == '[') {
    const std::size_t close = instance.find(']');
    if (close == std::string::npos) return "";
    const std::string rest = instance.substr(close + 1);
    if (!rest.empty() && (rest[0] != ':' || !is_port(rest.substr(1)))) return "";
    return instance.substr(1, close - 1);
  }
  const std::size_t colon = instance.find(':');
  if (colon == std::string::npos) return instance;
  if (instance.find(':', colon + 1) != std::string::npos) return instance;  // a bare v6 address
  return is_port(instance.substr(colon + 1)) ? instance.substr(0, colon) : "";
}

}  // namespace

bool target_names_service(const std::string& target_name, const std::vector<std::string>& names) {
  const std::size_t slash = target_name.find('/');
  if (slash == std::string::npos || !equal_ignoring_case(target_name.substr(0, slash), "HTTP")) return false;
  // The port and a trailing service name do not change which machine was meant.
  const std::size_t instance_end = target_name.find('/', slash + 1);
  const std::string host = host_part(target_name.substr(slash + 1, instance_end - slash - 1));
  for (const std::string& name : names) {
    if (!host.empty() && equal_ignoring_case(host, name)) return true;
  }
  return false;
}

NtlmServerSession::NtlmServerSession(NtlmVerifier& verifier, const NtlmTarget& target, NtlmGuard guard)
    : verifier_(verifier), target_(target), guard_(std::move(guard)) {}

NtlmResult NtlmServerSession::process(std::string_view base64_token) {
  to_verify_.reset();
  if (base64_token.size() > kMaxTokenBase64) {
    pending_.reset();
    return rejected("NTLM-malformed", "NTLM token too large (" + std::to_string(base64_token.size()) + " characters)");
  }
  const std::optional<Bytes> message = base64_decode(base64_token);
  if (!message) {
    pending_.reset();
    return rejected("NTLM-malformed", "NTLM token is not valid base64");
  }
  if (message->size() < 12) {
    pending_.reset();
    return rejected("NTLM-malformed", "NTLM message too short (" + std::to_string(message->size()) + " bytes)");
  }
  switch (message_type(*message)) {
    case 1:
      return on_negotiate(*message);
    case 3:
      return on_authenticate(*message);
    default:
      pending_.reset();
      return rejected("NTLM-malformed", "token is not an NTLM negotiate or authenticate message");
  }
}

NtlmResult NtlmServerSession::on_negotiate(const Bytes& message) {
  pending_.reset();
  NegotiateMessage negotiate;
  std::string why;
  if (!parse_negotiate(message, &negotiate, &why)) return rejected("NTLM-malformed", "malformed negotiate message: " + why);

  ChallengeMessage challenge;
  challenge.flags = challenge_flags(negotiate.flags);
  if (!random_bytes(challenge.server_challenge.data(), challenge.server_challenge.size()))
    return rejected("NTLM-negotiate", "no random source for a server challenge");
  challenge.target_name = target_.netbios_domain;
  challenge.target_info = encode_av_pairs({
      {kAvNbDomainName, utf16le_bytes(target_.netbios_domain)},
      {kAvNbComputerName, utf16le_bytes(target_.netbios_computer)},
      {kAvDnsComputerName, utf16le_bytes(target_.dns_computer)},
      {kAvTimestamp, filetime_now()},
  });
  const Bytes encoded = build_challenge(challenge);
  pending_ = IssuedChallenge{message, encoded, challenge.server_challenge};

  NtlmResult result;
  result.step = NtlmStep::Challenge;
  result.token_kind = "NTLM-negotiate";
  result.reply_token = base64_encode(encoded);
  return result;
}

NtlmResult NtlmServerSession::on_authenticate(const Bytes& message) {
  if (!pending_) return rejected("NTLM-authenticate", "authenticate message without a pending challenge on this connection");
  to_verify_ = Answer{std::move(*pending_), message};
  pending_.reset();
  NtlmResult result;
  result.step = NtlmStep::Verify;
  result.token_kind = "NTLM-authenticate";
  return result;
}

NtlmResult NtlmServerSession::verify() {
  if (!to_verify_) return rejected("NTLM-authenticate", "no authenticate message to verify");
  const Answer answer = std::move(*to_verify_);
  to_verify_.reset();
  return check_authenticate(verifier_, answer.issued, answer.message, guard_);
}

namespace {

// Why an answer the verifier accepted is still refused; empty when it is not.
std::string refusal(const Bytes& message, const AuthenticateMessage& auth, const std::string& who,
                    const IssuedChallenge& issued, const Digest16& session_base_key, const NtlmGuard& guard) {
  const Bytes blob(auth.nt_response.begin() + 16, auth.nt_response.end());
  std::vector<AvPair> pairs;
  std::string why;
  if (!blob_av_pairs(blob, &pairs, &why)) return "malformed AV pairs in the answer of " + who + ": " + why;
  if (announces_mic(pairs) && !auth.mic) return "message integrity code announced but missing for " + who;
  if (announces_mic(pairs) && !mic_matches(issued.negotiate, issued.challenge, message, auth, session_base_key))
    return "message integrity code does not match for " + who;
  // A handshake relayed from elsewhere names the service its client meant.
  const std::string target = target_name(pairs);
  if (guard.service_names != nullptr && !target.empty() && !target_names_service(target, *guard.service_names))
    return "target name \"" + target + "\" of " + who + " is not this service (" +
           joined_targets(*guard.service_names) + ")";
  return "";
}

// The domain finds the account whatever blanks surround the name and whatever
// letter case it has, and takes DOMAIN\user and user@realm for one account: a
// guesser who spells it another way for each guess counts against the same key.
std::string throttle_name(const std::u16string& user) {
  std::u16string name = user.substr(user.rfind(u'\\') + 1);  // npos + 1 is 0
  name = name.substr(0, name.find(u'@'));
  const std::size_t first = name.find_first_not_of(u" \t");
  if (first == std::u16string::npos) return "";
  name = name.substr(first, name.find_last_not_of(u" \t") - first + 1);
  return utf16_to_utf8(unicode_upper(name));
}

}  // namespace

void remember_logon(LogonThrottle& throttle, const std::string& user, const std::string& peer_address,
                    std::int64_t seconds_ago) {
  std::u16string name;
  if (!utf8_to_utf16(user, &name)) return;
  throttle.logged_on(throttle_name(name), peer_group(peer_address), steady_seconds() - seconds_ago);
}

namespace {

std::string throttle_start_note(const LogonThrottle& throttle, LogonThrottle::Started started,
                                const std::string& account, const std::string& peer) {
  const std::string seconds = std::to_string(throttle.seconds());
  std::string note;
  if (started.pair)
    note += "; " + std::to_string(throttle.pair_limit()) + " failed logons within " + seconds + " s: " + account +
            " from " + peer + " is refused unchecked for " + seconds + " s";
  if (started.account)
    note += "; " + std::to_string(throttle.account_limit()) + " failed logons within " + seconds +
            " s from all addresses: " + account + " is refused unchecked for " + seconds +
            " s from addresses it has not logged on from";
  return note;
}

std::string throttle_refusal(const LogonThrottle::Refusal& refusal, const std::string& account,
                             const std::string& peer) {
  const std::string from = refusal.scope == LogonThrottle::Scope::Pair ? " from " + peer : " from all addresses";
  return "too many failed logons for " + account + from + ", refused unchecked for " +
         std::to_string(refusal.seconds) + " s more";
}

}  // namespace

NtlmResult check_authenticate(NtlmVerifier& verifier, const IssuedChallenge& issued, const Bytes& message,
                              const NtlmGuard& guard) {
  const std::string kind = "NTLM-authenticate";
  AuthenticateMessage auth;
  std::string why;
  if (!parse_authenticate(message, &auth, &why)) return rejected(kind, "malformed authenticate message: " + why);
  NtlmResult result = rejected(kind, "");
  result.user = utf16_to_utf8(auth.user);
  result.domain = utf16_to_utf8(auth.domain);
  const std::string who = result.domain + "\\" + result.user;
  std::string& reason = result.failure.why;

  if (auth.user.empty()) {
    reason = "anonymous authenticate refused";
  } else if (auth.nt_response.size() == kNtlmV1ResponseSize) {
    reason = "NTLMv1 response refused for " + who + " (NTLMv2 required)";
  } else if (auth.nt_response.size() < 16 + kBlobHeader || auth.nt_response[16] != 1 || auth.nt_response[17] != 1) {
    reason = "malformed NTLMv2 response from " + who;
  }
  if (!reason.empty()) return result;

  const std::string peer = peer_group(guard.peer_address);
  // Held from before the verifier is asked until its verdict counts.
  ThrottleReservation reservation(guard.throttle, throttle_name(auth.user), peer, steady_seconds());
  if (reservation.refusal().scope != LogonThrottle::Scope::None) {
    reason = throttle_refusal(reservation.refusal(), who, peer);
    result.throttled = true;
    return result;
  }
  const NtlmAnswer answer{auth.user, auth.domain, auth.workstation, issued.server_challenge, auth.nt_response,
                          auth.lm_response};
  const NtlmVerdict verdict = verifier.verify(answer);
  if (verdict.failure.kind == Failure::Kind::unavailable) {
    result.step = NtlmStep::Unavailable;
    result.failure = verdict.failure;
    return result;
  }
  reason = verdict.failure.ok() ? refusal(message, auth, who, issued, verdict.session_base_key, guard)
                                : verdict.failure.why;
  if (!reason.empty()) {
    if (guard.throttle == nullptr || !verdict.counts_as_failure) return result;
    const LogonThrottle::Started started = reservation.failed();
    result.throttle_started = started.pair || started.account;
    reason += throttle_start_note(*guard.throttle, started, who, peer);
    return result;
  }
  reservation.succeeded();
  result.step = NtlmStep::Accepted;
  result.failure = Failure();
  result.user = verdict.who.user;
  result.domain = verdict.who.domain;
  result.groups = verdict.who.groups;
  return result;
}
