// Text in the console's HTML pages.
#include "pages/html_text.h"

#include <ctime>

#include "common/text.h"

std::string html_escape(const std::string& bytes) {
  const std::string text = to_valid_utf8(bytes);
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

std::string html_name(const std::string& bytes) { return "<bdi>" + html_escape(escape_controls(bytes)) + "</bdi>"; }

std::string percent_encoded(const std::string& text) {
  static const char* hex_digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '-' || c == '_' || c == ':';
    if (plain) {
      out.push_back(static_cast<char>(c));
    } else {
      out += '%';
      out += hex_digits[c >> 4];
      out += hex_digits[c & 15];
    }
  }
  return out;
}

std::string relative_time(std::int64_t then, std::int64_t now) {
  const std::int64_t ago = now - then;
  if (ago >= 0 && ago < 45) return "just now";
  if (ago < 0 && ago > -45) return "in under a minute";
  const std::int64_t span = ago < 0 ? -ago : ago;
  const std::int64_t minutes = (span + 30) / 60;
  const std::string amount = minutes < 90          ? std::to_string(minutes) + " min"
                             : minutes < 36 * 60 ? std::to_string(minutes / 60) + " h"
                                                   : std::to_string(minutes / (24 * 60)) + " d";
  return ago < 0 ? "in " + amount : amount + " ago";
}

std::string local_time(std::int64_t epoch_seconds, const char* format) {
  const std::time_t t = static_cast<std::time_t>(epoch_seconds);
  std::tm local{};
  char text[64] = "";
  if (localtime_r(&t, &local) != nullptr) std::strftime(text, sizeof text, format, &local);
  return text;
}

std::string time_cell(std::int64_t then, std::int64_t now) {
  return "<td><time datetime=\"" + iso8601_utc(then) + "\" title=\"" +
         html_escape(local_time(then, "%Y-%m-%d %H:%M:%S %Z")) + " (" + iso8601_utc(then) + ")\">" +
         relative_time(then, now) + "</time></td>";
}
