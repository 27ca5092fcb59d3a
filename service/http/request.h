// A request as the network side hands it on: the parts of a parsed HTTP request the service looks at.
#pragma once

#include <optional>
#include <string>

struct HttpRequest {
  std::string method;
  std::string target;
  std::optional<std::string> authorization;
  bool keep_alive = true;
};
