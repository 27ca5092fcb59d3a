// What a request's headers tell of its sender: a browser, or a proxy forwarding it.
#include "http/request.h"

#include <cctype>

namespace {

std::string shown(const char* name, const HeaderValue& value) {
  constexpr std::size_t kShown = 100;  // enough to recognise it in the request log
  return std::string(name) + ": " + value->substr(0, kShown);
}

}  // namespace

std::string browser_sign(const HttpRequest& request) {
  if (request.sec_fetch_site && *request.sec_fetch_site != "none") return shown("Sec-Fetch-Site", request.sec_fetch_site);
  if (request.origin) return shown("Origin", request.origin);
  if (request.referer) return shown("Referer", request.referer);
  if (request.user_agent && request.user_agent->rfind("Mozilla/", 0) == 0) return shown("User-Agent", request.user_agent);
  return "";
}

std::string proxy_sign(const HttpRequest& request) {
  if (request.via) return shown("Via", request.via);
  if (request.forwarded_for) return shown("X-Forwarded-For", request.forwarded_for);
  return "";
}

std::string host_of(const std::string& header) {
  std::string host = header;
  if (!host.empty() && host[0] == '[') {
    host = host.substr(1, host.find(']') - 1);  // npos - 1: to the end
  } else {
    host = host.substr(0, host.find(':'));
  }
  if (!host.empty() && host.back() == '.') host.pop_back();
  for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return host;
}
