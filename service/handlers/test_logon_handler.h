// The agents' endpoint as the test options shape it: chosen statuses, HTTP versions and interval
// headers, and a retry without credentials accepted. Routed only when a test option is given.
#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_set>

#include "handlers/logon_handler.h"

class TestLogonHandler : public LogonHandler {
 public:
  using LogonHandler::LogonHandler;

 private:
  void without_credentials(const LogonRequest& logon, const Exchange& exchange, ReplyCallback respond) override;
  void with_credentials(const LogonRequest& logon, const Exchange& exchange, ReplyCallback respond) override;
  void commit(const LogonRequest& logon, const Identity& who, const ClientConnection& connection,
              const std::shared_ptr<RequestRecord>& record, ReplyCallback respond) override;
  Reply final_reply(Reply reply) const override;
  void add_interval_header(Reply* reply) const override;
  // Whether the connection's last request without credentials was answered with a challenge;
  // either way it is forgotten.
  bool forget_challenge(std::uint64_t connection);

  std::mutex mutex_;
  // Connections whose next request without credentials is accepted (--accept-unauthenticated-retry).
  std::unordered_set<std::uint64_t> challenged_;
};
