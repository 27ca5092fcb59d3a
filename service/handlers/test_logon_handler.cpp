// The agents' endpoint as the test options shape it: chosen statuses, HTTP versions and interval
// headers, and a retry without credentials accepted. Routed only when a test option is given.
#include "handlers/test_logon_handler.h"

void TestLogonHandler::without_credentials(const LogonRequest& logon, const Exchange& exchange,
                                           ReplyCallback respond) {
  if (forget_challenge(exchange.connection.id) && options_.accept_unauthenticated_retry) {
    const std::string domain = logon.domains.empty() ? "" : logon.domains.back();
    return complete(logon, Identity{"", domain, false, {}, {}}, exchange.connection, exchange.record,
                    std::move(respond));
  }
  if (options_.test_first_status && *options_.test_first_status != 401) {
    const int status = *options_.test_first_status;
    exchange.record->outcome = Outcome::of(Outcome::Kind::TestStatus, "first status " + std::to_string(status));
    return respond(text_reply(status, "status chosen by --test-first-status"));
  }
  if (options_.accept_unauthenticated_retry) {
    std::lock_guard<std::mutex> lock(mutex_);
    challenged_.insert(exchange.connection.id);
  }
  LogonHandler::without_credentials(logon, exchange, std::move(respond));
}

void TestLogonHandler::with_credentials(const LogonRequest& logon, const Exchange& exchange, ReplyCallback respond) {
  forget_challenge(exchange.connection.id);
  LogonHandler::with_credentials(logon, exchange, std::move(respond));
}

void TestLogonHandler::commit(const LogonRequest& logon, const Identity& who, const ClientConnection& connection,
                              const std::shared_ptr<RequestRecord>& record, ReplyCallback respond) {
  if (!options_.test_final_status || *options_.test_final_status == 200)
    return LogonHandler::commit(logon, who, connection, record, std::move(respond));
  const int status = *options_.test_final_status;
  record->outcome = Outcome::of(Outcome::Kind::TestStatus, "final status " + std::to_string(status));
  respond(final_reply(text_reply(status, "status chosen by --test-final-status")));
}

Reply TestLogonHandler::final_reply(Reply reply) const {
  if (options_.test_final_version) {
    reply.version = *options_.test_final_version;
    reply.close = reply.version != "1.1";
  }
  return reply;
}

void TestLogonHandler::add_interval_header(Reply* reply) const {
  if (options_.test_no_interval_header) return;
  if (!options_.test_interval_header) return LogonHandler::add_interval_header(reply);
  reply->headers.push_back(*options_.test_interval_header);
}

bool TestLogonHandler::forget_challenge(std::uint64_t connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  return challenged_.erase(connection) > 0;
}
