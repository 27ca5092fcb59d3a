// A small JSON writer for the request log and the status document.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A quoted JSON string; bytes that are not UTF-8 are taken as Latin-1.
std::string json_string(std::string_view bytes);

std::string json_array(const std::vector<std::string>& raw_items);
std::string json_string_array(const std::vector<std::string>& values);

class JsonObject {
 public:
  JsonObject& add_string(std::string_view key, std::string_view value);
  JsonObject& add_number(std::string_view key, std::int64_t value);
  JsonObject& add_bool(std::string_view key, bool value);
  JsonObject& add_raw(std::string_view key, std::string_view json);
  std::string str() const { return "{" + body_ + "}"; }

 private:
  std::string body_;
};
