// The RADIUS accounting client: records sent to the servers through radcli, with its retries and fail-over.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/failure.h"
#include "gateway/radius_sessions.h"

struct RadiusSettings {
  std::vector<std::string> servers;  // "HOST:PORT" ("[v6]:PORT"), asked in this order
  std::string secret;
  std::string nas_identifier;
  int timeout_seconds = 3;  // for one try at one server
  int retries = 3;          // tries at one server before the next
};

class RadiusClient {
 public:
  // nullptr, with `error` saying why, when radcli does not take the settings.
  static std::unique_ptr<RadiusClient> open(const RadiusSettings& settings, std::string* error);
  ~RadiusClient();
  RadiusClient(const RadiusClient&) = delete;
  RadiusClient& operator=(const RadiusClient&) = delete;

  // Sends the record and waits for a server's acknowledgement: unavailable when none gave one.
  Failure send(const AccountingRecord& record);

 private:
  struct Handle;
  explicit RadiusClient(std::unique_ptr<Handle> handle, std::string nas_identifier);

  std::unique_ptr<Handle> handle_;
  std::string nas_identifier_;
};
