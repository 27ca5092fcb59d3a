// The agent's logon request: the parameters of a login or logout as the agents send them.
#pragma once

#include <string>
#include <vector>

#include "http/query.h"

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
