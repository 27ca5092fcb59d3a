// A small JSON writer for the request log and the status document.
#include "common/json.h"

#include <cstdio>

#include "common/text.h"

std::string json_string(std::string_view bytes) {
  const std::string text = to_valid_utf8(bytes);
  std::string out = "\"";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (u < 0x20 || u == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
      out += escaped;
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
  return out;
}

std::string json_array(const std::vector<std::string>& raw_items) {
  std::string out = "[";
  for (std::size_t i = 0; i < raw_items.size(); ++i) {
    if (i != 0) out.push_back(',');
    out += raw_items[i];
  }
  out.push_back(']');
  return out;
}

std::string json_string_array(const std::vector<std::string>& values) {
  std::vector<std::string> items;
  items.reserve(values.size());
  for (const std::string& v : values) items.push_back(json_string(v));
  return json_array(items);
}

JsonObject& JsonObject::add_raw(std::string_view key, std::string_view json) {
  if (!body_.empty()) body_.push_back(',');
  body_ += json_string(key);
  body_.push_back(':');
  body_ += json;
  return *this;
}

JsonObject& JsonObject::add_string(std::string_view key, std::string_view value) {
  return add_raw(key, json_string(value));
}

JsonObject& JsonObject::add_number(std::string_view key, std::int64_t value) {
  return add_raw(key, std::to_string(value));
}

JsonObject& JsonObject::add_bool(std::string_view key, bool value) {
  return add_raw(key, value ? "true" : "false");
}
