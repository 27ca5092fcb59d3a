// The request log: one JSON object per line for every HTTP request, written through at once.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "requests/request_record.h"

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
