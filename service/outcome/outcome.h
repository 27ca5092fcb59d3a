// What became of a request, typed: the request log's line and the metrics' labels are written from it.
#pragma once

#include <cstddef>
#include <string>

// Why a login or logout was refused or rejected: the metrics count each cause under a label of its own.
enum class RefusalCause {
  WrongPassword,
  UnknownUser,
  Throttled,
  NoChallenge,
  MalformedToken,
  Ntlmv1,
  Anonymous,
  IntegrityCode,
  TargetName,
  OtherScheme,
  HostNameTooLong,
  TooManyAddresses,
  EntriesPerAccount,
  FromBrowser,
  Forwarded,
  OtherHost,
  Other,
  kCount
};

// The cause of a handshake's refusal, from the reason its verifier gives ("wrong password for D\u"):
// the verifiers name their failures in words only, so their words are read once, where they are given.
RefusalCause handshake_refusal_cause(const std::string& reason);

struct Outcome {
  enum class Kind {
    Unset,
    Challenge,
    Login,
    Logout,
    LogoutWithoutEntry,
    Rejected,     // the handshake did not prove a user
    Refused,      // a request the service will not serve as asked
    Unavailable,  // nobody could verify the logon now
    Error,        // the user map could not be read or written
    BadRequest,
    NotFound,
    MethodNotAllowed,
    TestStatus,  // a status chosen by a test option
    Served,      // a view answered: its name is the reason
    Health,
  };
  Kind kind = Kind::Unset;
  std::string reason;
  RefusalCause cause = RefusalCause::Other;  // of Rejected and Refused

  static Outcome of(Kind kind, std::string reason = {}) {
    return Outcome{kind, std::move(reason), RefusalCause::Other};
  }
  static Outcome refusal(Kind kind, std::string reason, RefusalCause cause = RefusalCause::Other) {
    return Outcome{kind, std::move(reason), cause};
  }
};

// As the request log and stderr write it: "login", "rejected: wrong password for D\u", "not found".
std::string outcome_text(const Outcome& outcome);
