// Squid's external ACL helper protocol, as the gateway helper speaks it: request lines, answers, the service's reply.
#include "gateway/helper_protocol.h"
#include "common/text.h"
#include "gateway/json_reader.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <vector>

namespace {

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::size_t start = line.find_first_not_of(" \t\r");
  while (start != std::string::npos) {
    const std::size_t end = line.find_first_of(" \t\r", start);
    out.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
    start = end == std::string::npos ? end : line.find_first_not_of(" \t\r", end);
  }
  return out;
}

bool is_number(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

std::string percent_decoded(const std::string& text) {
  std::string out;
  std::string unused;
  percent_decode(text, PercentEscapes::KeepMalformed, &out, &unused);
  return out;
}

// Squid's quoted value: backslash before a backslash or a quote; line breaks as \r and \n.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    if (c == '\r' || c == '\n') {
      out += c == '\r' ? "\\r" : "\\n";
      continue;
    }
    out.push_back(c);
  }
  return out + "\"";
}

std::string prefixed(const HelperRequest& request, const std::string& answer) {
  return request.channel.empty() ? answer : request.channel + " " + answer;
}

// Reads the entry the reader stands at; keeps user, domain and whether it was authenticated.
bool read_entry(JsonReader* json, FoundUser* out) {
  std::string user;
  std::string domain;
  bool authenticated = false;
  const bool ok = json->members([&](const std::string& key) {
    if (key == "user" || key == "domain") return json->string(key == "user" ? &user : &domain);
    if (key == "authenticated") authenticated = json->at('t');
    return json->skip_value();
  });
  out->found = ok && authenticated && !user.empty();
  out->name = domain.empty() ? user : domain + "\\" + user;
  return ok;
}

std::string lowered(const std::string& text) {
  std::string out;
  for (char c : text) out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  return out;
}

}  // namespace

HelperRequest parse_helper_line(const std::string& line) {
  const std::vector<std::string> f = fields(line);
  HelperRequest request;
  std::size_t next = 0;
  if (f.size() >= 2 && is_number(f[0])) request.channel = f[next++];
  if (next < f.size() && f[next] != "-") request.address = percent_decoded(f[next]);
  return request;
}

std::string answer_ok(const HelperRequest& request, const std::string& user) {
  return prefixed(request, "OK user=" + quoted(user));
}

std::string answer_err(const HelperRequest& request, const std::string& message) {
  return prefixed(request, "ERR message=" + quoted(message));
}

std::string answer_bh(const HelperRequest& request, const std::string& message) {
  return prefixed(request, "BH message=" + quoted(message));
}

bool parse_reply_head(const std::string& head, ReplyHead* out) {
  *out = ReplyHead();
  const std::string status_line = head.substr(0, head.find("\r\n"));
  if (status_line.rfind("HTTP/1.", 0) != 0 || status_line.size() < 12 || status_line[8] != ' ') return false;
  const std::string code = status_line.substr(9, 3);
  if (!is_number(code)) return false;
  out->status = std::stoi(code);
  out->status_text = status_line.substr(9);
  bool close = status_line[7] == '0';  // HTTP/1.0 closes unless asked to keep the connection
  bool chunked = false;
  for (std::size_t start = status_line.size() + 2; start < head.size();) {
    const std::size_t end = std::min(head.find("\r\n", start), head.size());
    const std::string line = head.substr(start, end - start);
    start = end + 2;
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string name = lowered(line.substr(0, colon));
    const std::vector<std::string> value = fields(line.substr(colon + 1));
    const std::string first = value.empty() ? "" : lowered(value[0]);
    if (name == "content-length") {
      if (value.size() != 1 || !is_number(first) || first.size() > 18) return false;
      out->content_length = std::stoll(first);
    } else if (name == "connection") {
      if (first == "close") close = true;
      if (first == "keep-alive") close = false;
    } else if (name == "transfer-encoding") {
      chunked = true;
    }
  }
  // A body without a length (or in chunks, which the service never sends) ends with the connection.
  if (chunked) out->content_length = -1;
  out->keep_alive = !close && !chunked && out->content_length >= 0;
  return true;
}

std::optional<FoundUser> user_from_status(const std::string& text) {
  JsonReader json(text);
  FoundUser found;
  bool read = false;
  // Reading stops at the first entry of "users": the rest of the document does not matter.
  json.members([&](const std::string& key) {
    if (key != "users") return json.skip_value();
    // An empty list completes; otherwise the reader stops at the first entry, which is read.
    read = json.elements([&] { return false; }) || (json.at('{') && read_entry(&json, &found));
    return false;
  });
  if (!read) return std::nullopt;
  return found;
}
