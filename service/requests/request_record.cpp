// A request's line in the request log, and its line on stderr: who asked what, and what came of it.
#include "requests/request_record.h"

#include "common/diagnostics.h"
#include "common/json.h"
#include "common/text.h"

namespace {

// A line of the log stays a few KiB however large the request: longer values are cut (marked),
// and parameters beyond the first 32 are left out, so that the log grows with the number of
// requests only.
constexpr std::size_t kMaxValue = 1024;
constexpr std::size_t kMaxParamValue = 256;
constexpr std::size_t kMaxParams = 32;

}  // namespace

std::string params_json(const std::vector<QueryParam>& params) {
  std::vector<std::string> names;
  std::vector<std::vector<std::string>> values;
  for (std::size_t n = 0; n < params.size() && n < kMaxParams; ++n) {
    const std::string name = clip(params[n].name, kMaxParamValue);
    std::size_t i = 0;
    while (i < names.size() && names[i] != name) ++i;
    if (i == names.size()) {
      names.push_back(name);
      values.emplace_back();
    }
    values[i].push_back(clip(params[n].value, kMaxParamValue));
  }
  JsonObject object;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (values[i].size() == 1) {
      object.add_string(names[i], values[i][0]);
    } else {
      object.add_raw(names[i], json_string_array(values[i]));
    }
  }
  return object.str();
}

std::string request_record_json(const RequestRecord& r, std::int64_t now) {
  JsonObject object;
  object.add_string("time", iso8601_utc(now));
  object.add_number("conn", static_cast<std::int64_t>(r.conn));
  object.add_number("seq", static_cast<std::int64_t>(r.seq));
  object.add_string("peer", r.peer);
  object.add_string("method", clip(r.method, kMaxValue));
  object.add_string("target", clip(r.target, kMaxValue));
  object.add_raw("params", params_json(r.params));
  object.add_string("authorization", r.authorization);
  object.add_number("status", r.status);
  if (r.user) object.add_string("user", clip(*r.user, kMaxValue));
  if (r.domain) object.add_string("domain", clip(*r.domain, kMaxValue));
  if (r.authenticated) object.add_bool("authenticated", *r.authenticated);
  object.add_string("result", clip(outcome_text(r.outcome), kMaxValue));
  if (!r.uncredited.empty()) object.add_raw("uncredited", json_string_array(r.uncredited));
  return object.str();
}

void report_request(const RequestRecord& record, const std::string& kind) {
  std::string host;
  for (const QueryParam& param : record.params) {
    if (param.name == "hostname") host = ", host " + clip(param.value, kMaxReportedHost);
  }
  report_limited(kind, "conn " + std::to_string(record.conn) + " from " + record.peer + host + ": " +
                           outcome_text(record.outcome));
}
