// How a call failed: the one shape in which every part of the service reports its failures.
#pragma once

#include <string>
#include <utility>

struct Failure {
  enum class Kind {
    none,         // no failure
    refused,      // the input or the peer was refused (a bad token, a wrong password)
    unavailable,  // a dependency could not be reached or was busy: the same call may succeed later
    internal,     // the service's own fault, or a failure for good (a full disk)
  };
  Kind kind = Kind::none;
  std::string subject;  // what failed, as the message names it ("user map"); empty: the text says it
  std::string why;

  static Failure refused(std::string why, std::string subject = {}) {
    return {Kind::refused, std::move(subject), std::move(why)};
  }
  static Failure unavailable(std::string why, std::string subject = {}) {
    return {Kind::unavailable, std::move(subject), std::move(why)};
  }
  static Failure internal(std::string why, std::string subject = {}) {
    return {Kind::internal, std::move(subject), std::move(why)};
  }

  bool ok() const { return kind == Kind::none; }
  bool transient() const { return kind == Kind::unavailable; }
  // The text as the service prints and sends it: "user map: disk I/O error".
  std::string message() const { return subject.empty() ? why : subject + ": " + why; }
};
