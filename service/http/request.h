// A request as the network side hands it on: the parts of a parsed HTTP request the service looks at.
#pragma once

#include <optional>
#include <string>

// A header's value, when the request has it.
using HeaderValue = std::optional<std::string>;

struct HttpRequest {
  std::string method;
  std::string target;
  HeaderValue authorization;
  bool keep_alive = true;
  // What only browsers send: cross-site requests carry them, agents and tools do not.
  HeaderValue origin, referer, sec_fetch_site, user_agent;
  // What proxies add to the requests they forward.
  HeaderValue via, forwarded_for;
  HeaderValue host;
  std::string body;  // a form's fields, in a POST
};

// The host a Host header names, without its port or an IPv6 address's brackets: "web.example.com",
// "10.0.0.5", "::1"; lower case, without a final dot.
std::string host_of(const std::string& header);

// What in a request only a browser sends ("Origin: https://example.com"), empty when nothing: a
// Sec-Fetch-Site other than "none" (a typed address or a bookmark), an Origin, a Referer, or a
// user agent that names itself Mozilla/ (older browsers send no Sec-Fetch- headers).
std::string browser_sign(const HttpRequest& request);
// What in a request a proxy added ("Via: 1.1 squid"), empty when nothing.
std::string proxy_sign(const HttpRequest& request);
