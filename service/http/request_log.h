// The request log: one JSON object per line for every HTTP request, written through at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "http/query.h"

struct RequestRecord {
  std::uint64_t conn = 0;  // serial number of the TCP connection, from 1
  std::uint64_t seq = 0;   // number of the request on its connection, from 1
  std::string peer;
  std::string method;
  std::string target;
  std::vector<QueryParam> params;
  std::string authorization = "none";  // none, NTLM-negotiate, NTLM-authenticate, NTLM-malformed, other
  int status = 0;
  std::optional<std::string> user;
  std::optional<std::string> domain;
  std::optional<bool> authenticated;
  std::string result;
  std::vector<std::string> uncredited;  // a login's reported addresses that other live logins come from
};

// A host name on stderr is cut to this many bytes, so that the reason after it stays on the line.
constexpr std::size_t kMaxReportedHost = 256;

// The request's line on stderr, "conn N from PEER, host HOST: RESULT" (the host when the request
// names one), limited with others of `kind`.
void report_request(const RequestRecord& record, const std::string& kind);

// A parameter given more than once becomes an array of its values, in order.
std::string params_json(const std::vector<QueryParam>& params);
std::string request_record_json(const RequestRecord& record, std::int64_t now);

class RequestLog {
 public:
  static std::unique_ptr<RequestLog> open(const std::string& path, std::string* error);
  ~RequestLog();
  RequestLog(const RequestLog&) = delete;
  RequestLog& operator=(const RequestLog&) = delete;

  void append(const RequestRecord& record, std::int64_t now);
  // Opens the file by its name again, for log rotation: lines go on to the old file
  // until the new one is open. On failure they go on to the old one.
  bool reopen(std::string* error);

 private:
  RequestLog(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  const std::string path_;
  int fd_;
  std::mutex mutex_;
};
