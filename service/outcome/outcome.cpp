// What became of a request, typed: the request log's line and the metrics' labels are written from it.
#include "outcome/outcome.h"

namespace {

struct CauseText {
  const char* start;  // how the verifier's reason starts
  RefusalCause cause;
};
constexpr CauseText kHandshakeCauses[] = {
    {"wrong password", RefusalCause::WrongPassword},
    {"unknown user", RefusalCause::UnknownUser},
    {"too many failed logons", RefusalCause::Throttled},
    {"authenticate message without a pending challenge", RefusalCause::NoChallenge},
    {"NTLM ", RefusalCause::MalformedToken},
    {"token is not", RefusalCause::MalformedToken},
    {"malformed ", RefusalCause::MalformedToken},
    {"NTLMv1 ", RefusalCause::Ntlmv1},
    {"anonymous ", RefusalCause::Anonymous},
    {"message integrity code", RefusalCause::IntegrityCode},
    {"target name", RefusalCause::TargetName},
};

}  // namespace

RefusalCause handshake_refusal_cause(const std::string& reason) {
  for (const CauseText& c : kHandshakeCauses) {
    if (reason.compare(0, std::char_traits<char>::length(c.start), c.start) == 0) return c.cause;
  }
  return RefusalCause::Other;
}

std::string outcome_text(const Outcome& outcome) {
  switch (outcome.kind) {
    case Outcome::Kind::Unset: return "";
    case Outcome::Kind::Challenge: return "challenge";
    case Outcome::Kind::Login: return "login";
    case Outcome::Kind::Logout: return "logout";
    case Outcome::Kind::LogoutWithoutEntry: return "logout (no entry)";
    case Outcome::Kind::Rejected: return "rejected: " + outcome.reason;
    case Outcome::Kind::Refused: return "refused: " + outcome.reason;
    case Outcome::Kind::Unavailable: return "unavailable: " + outcome.reason;
    case Outcome::Kind::Error: return "error: " + outcome.reason;
    case Outcome::Kind::BadRequest: return "bad request: " + outcome.reason;
    case Outcome::Kind::NotFound: return "not found";
    case Outcome::Kind::MethodNotAllowed: return "method not allowed";
    case Outcome::Kind::TestStatus: return "test: " + outcome.reason;
    case Outcome::Kind::Served: return outcome.reason;
    case Outcome::Kind::Health: return "health: " + outcome.reason;
  }
  return "";
}
