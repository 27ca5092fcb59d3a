// HTTP replies, written as raw text so that test hooks can shape the status line and headers exactly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Reply {
  int status = 200;
  std::string version = "1.1";
  std::vector<std::string> headers;  // complete "Name: value" lines
  std::string content_type = "text/plain; charset=utf-8";
  std::string body;
  bool close = false;  // close the connection once the reply is written
};

Reply text_reply(int status, std::string body);
std::string reason_phrase(int status);
std::string serialize_reply(const Reply& reply, std::int64_t now);
