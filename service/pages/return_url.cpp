// Where the logon page may send a browser back to: the web address it asked the proxy for.
#include "pages/return_url.h"

#include "common/text.h"

namespace {

// Squid's URLs run to a few kilobytes at most; a longer one is no address a user asked for.
constexpr std::size_t kMaxUrl = 4096;

bool plain_character(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte > 0x20 && byte < 0x7f && c != '"' && c != '\'' && c != '<' && c != '>' && c != '\\' && c != '`';
}

// The length of the scheme and "://" that `url` begins with, or 0 when it is neither http nor https.
std::size_t scheme_length(const std::string& url) {
  for (const std::string scheme : {"http://", "https://"}) {
    if (url.size() > scheme.size() && equal_ignoring_case(url.substr(0, scheme.size()), scheme)) return scheme.size();
  }
  return 0;
}

}  // namespace

bool returnable_url(const std::string& url) {
  if (url.size() > kMaxUrl) return false;
  for (const char c : url) {
    if (!plain_character(c)) return false;
  }
  const std::size_t start = scheme_length(url);
  if (start == 0) return false;
  // The authority, before the path: a host and perhaps a port. "http:///x" names none, and a user
  // name ("http://intranet@elsewhere/") only disguises where the address leads.
  const std::size_t end = url.find_first_of("/?#", start);
  const std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  return !authority.empty() && authority[0] != ':' && authority.find('@') == std::string::npos;
}
