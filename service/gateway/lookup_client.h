// The gateway helper's questions to the logon services: HTTP GETs with a deadline, over connections kept open.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/failure.h"

struct ServiceAddress {
  std::string host;  // numeric address or a name
  std::string port;
  std::string url;   // as given, for messages
};

// Reads "http://HOST:PORT" (or "http://HOST", port 80; "[v6]" for an IPv6 address).
bool parse_service_url(const std::string& url, ServiceAddress* out, std::string* error);

// The logon services one helper asks. Each keeps one connection open between questions (HTTP
// keep-alive) and its address once looked up, so that a question costs one exchange, not a new
// connection and a name lookup; a kept connection the service has closed meanwhile is replaced,
// and the question asked again on the new one.
class LookupClient {
 public:
  explicit LookupClient(std::vector<ServiceAddress> services);
  ~LookupClient();
  LookupClient(const LookupClient&) = delete;
  LookupClient& operator=(const LookupClient&) = delete;

  // GETs `target` and returns the body of a 200 reply. The service that answered last is asked
  // first; when it fails (no connection, no complete reply in time, another status) the others in
  // turn, each given an equal share of what is left of `timeout_ms`, counted from the start of the
  // call. Unavailable, naming the logon service(s) and each one's failure, when none answered.
  // `notes` receives a line for each service that failed before another one answered.
  Failure get(const std::string& target, int timeout_ms, std::string* body, std::vector<std::string>* notes);

  // How ask() asks: the largest reply taken, a status taken besides 200, and whether the services
  // share `timeout_ms` (a question answered at once) or each has all of it (one that a service
  // answers only when it has something to say).
  struct Asking {
    std::size_t max_reply;
    int also;
    bool shared;
  };
  struct Answer {
    int status = 0;
    std::string body;
  };
  // get(), asked as `asking` says.
  Failure ask(const std::string& target, int timeout_ms, const Asking& asking, Answer* answer,
              std::vector<std::string>* notes);

 private:
  struct Service;
  std::vector<std::unique_ptr<Service>> services_;
  std::size_t current_ = 0;  // the one that answered last
};
