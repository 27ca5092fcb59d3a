// Request targets: path, percent-decoded query parameters, and the agent's logon request.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct QueryParam {
  std::string name;
  std::string value;
};

// Splits "path?query" and percent-decodes each name and value. '+' stays a
// plus sign. Fails on a '%' without two hex digits and on an encoded NUL.
bool split_target(std::string_view target, std::string* path, std::vector<QueryParam>* params,
                  std::string* error);

enum class LogonAction { Login, Logout };

struct LogonRequest {
  LogonAction action = LogonAction::Login;
  std::string hostname;
  bool persistent = false;
  std::vector<std::string> domains;  // in the order given; may repeat
  bool session_security = false;     // ntlm_sess_sec=1
  std::vector<std::string> ips;      // IPv4 addresses as inet_ntoa writes them
};

// Reads the agent's parameters: action (login|logout) and hostname are
// required; persistent is 0 or 1 (0 when absent); ip is a comma-separated list
// of IPv4 addresses as inet_ntoa writes them, possibly empty. Unknown parameters
// are ignored.
bool read_logon_request(const std::vector<QueryParam>& params, LogonRequest* out, std::string* error);
