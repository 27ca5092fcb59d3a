// Request targets: path and percent-decoded query parameters.
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
