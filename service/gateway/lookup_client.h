// The gateway helper's question to the logon service: one HTTP GET with a deadline.
#pragma once

#include <string>

struct ServiceAddress {
  std::string host;  // numeric address or a name
  std::string port;
};

// Reads "http://HOST:PORT" (or "http://HOST", port 80; "[v6]" for an IPv6 address).
bool parse_service_url(const std::string& url, ServiceAddress* out, std::string* error);

// GETs `target` from the service and returns the body of a 200 reply. Fails
// (with the reason in *error) on anything else, and whenever `timeout_ms` runs
// out, counted from the start of the call.
bool http_get(const ServiceAddress& service, const std::string& target, int timeout_ms, std::string* body,
              std::string* error);
