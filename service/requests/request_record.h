// A request's line in the request log, and its line on stderr: who asked what, and what came of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "http/query.h"
#include "outcome/outcome.h"

struct RequestRecord {
  std::uint64_t conn = 0;  // serial number of the TCP connection, from 1
  std::uint64_t seq = 0;   // number of the request on its connection, from 1
  std::string peer;
  std::string method;
  std::string target;
  std::vector<QueryParam> params;
  // none, NTLM-negotiate, NTLM-authenticate, NTLM-malformed, NTLM (refused before its token was
  // read), Kerberos, other
  std::string authorization = "none";
  int status = 0;
  std::optional<std::string> user;
  std::optional<std::string> domain;
  std::optional<bool> authenticated;
  Outcome outcome;  // set once, by whichever part answers the request
  std::vector<std::string> uncredited;  // a login's claimed addresses that the address rule does not credit to it
};

// A host name on stderr is cut to this many bytes, so that the reason after it stays on the line.
constexpr std::size_t kMaxReportedHost = 256;

// The request's line on stderr, "conn N from PEER, host HOST: OUTCOME" (the host when the request
// names one), limited with others of `kind`.
void report_request(const RequestRecord& record, const std::string& kind);

// A parameter given more than once becomes an array of its values, in order.
std::string params_json(const std::vector<QueryParam>& params);
std::string request_record_json(const RequestRecord& record, std::int64_t now);
