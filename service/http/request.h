// A request as the network side hands it on: the parts of a parsed HTTP request the service looks at.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "http/reply.h"

struct HttpRequest {
  std::string method;
  std::string target;
  std::optional<std::string> authorization;
  bool keep_alive = true;
};

// Where a request's reply goes: called exactly once, on whichever thread the reply is ready on.
using Responder = std::function<void(Reply)>;
