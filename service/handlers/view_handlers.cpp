// The views of the user map and of the service: the console and the status document, the Squid
// helper's lookup, the metrics and the health check. Each is one endpoint's handler.
#include "handlers/view_handlers.h"

#include <algorithm>

#include "common/diagnostics.h"
#include "common/text.h"
#include "pages/console_page.h"

namespace {

Reply read_failed(const MapPage& page, RequestRecord& record) {
  report_limited("error: the user map cannot be read", page.failure.message());
  record.outcome = Outcome::of(Outcome::Kind::Error, page.failure.message());
  return page.failure.transient() ? map_unavailable("the user map cannot be reached; try again later")
                          : text_reply(500, "the user map cannot be read");
}

Reply status_document(const MapPage& page, const StatusQuery& query, std::int64_t interval,
                      const ServiceCounters& counters, std::int64_t now) {
  Reply reply;
  reply.headers.push_back("Cache-Control: no-store");
  reply.content_type = "application/json";
  reply.body = status_json(page, query, interval, counters, now);
  return reply;
}

// A view that takes no parameters refuses any, so that no script relies on one that does nothing.
bool takes_no_parameters(const std::string& path, RequestRecord& record, ReplyCallback& respond) {
  if (record.params.empty()) return true;
  record.outcome = Outcome::of(Outcome::Kind::BadRequest, path + " takes no parameters");
  respond(text_reply(400, path + " takes no parameters"));
  return false;
}

}  // namespace

StatusHandler::StatusHandler(bool json, const Options& options, UserMap& users, const ServiceCounters& counters)
    : json_(json), options_(options), users_(users), counters_(counters) {}

void StatusHandler::handle(const Exchange& exchange, ReplyCallback respond) {
  const std::shared_ptr<RequestRecord>& record = exchange.record;
  StatusQuery query;
  std::string error;
  if (!read_status_query(record->params, &query, &error)) {
    record->outcome = Outcome::of(Outcome::Kind::BadRequest, error);
    return respond(text_reply(400, error));
  }
  const std::int64_t now = now_epoch_seconds();
  query.map.stale_before = now - stale_after(options_.interval);
  // The console always shows the totals and the last day; so does any JSON view but a lookup by
  // address alone, which the map's reader of lookups answers at once.
  ViewExtras extras;
  extras.totals = !json_ || query.map.ip.empty() || !query.search.empty();
  extras.history = !json_;
  const auto reply_to = std::make_shared<ReplyCallback>(std::move(respond));
  users_.read(query.map, now, [this, query, now, record, reply_to](const MapPage& page) {
    if (!page.failure.ok()) return (*reply_to)(read_failed(page, *record));
    record->outcome = Outcome::of(Outcome::Kind::Served, "status");
    if (json_) return (*reply_to)(status_document(page, query, options_.interval, counters_, now));
    Reply reply;
    reply.headers.push_back("Cache-Control: no-store");
    reply.content_type = "text/html; charset=utf-8";
    reply.body = console_html(page, query, ConsoleContext{now, options_.interval, &counters_});
    (*reply_to)(std::move(reply));
  }, extras);
}

LookupHandler::LookupHandler(const Options& options, UserMap& users, const ServiceCounters& counters)
    : options_(options), users_(users), counters_(counters) {}

void LookupHandler::handle(const Exchange& exchange, ReplyCallback respond) {
  const std::shared_ptr<RequestRecord>& record = exchange.record;
  StatusQuery query;
  std::string error;
  const bool only_ip = record->params.size() == 1 && record->params[0].name == "ip" && !record->params[0].value.empty();
  if (!only_ip) {
    error = "/lookup takes one parameter, ip, a numeric IPv4 or IPv6 address";
  } else {
    read_status_query(record->params, &query, &error);
  }
  if (!error.empty()) {
    record->outcome = Outcome::of(Outcome::Kind::BadRequest, error);
    return respond(text_reply(400, error));
  }
  const std::int64_t now = now_epoch_seconds();
  query.map.stale_before = now - stale_after(options_.interval);
  // The entry seen last comes first.
  query.map.limit = 1;
  const auto reply_to = std::make_shared<ReplyCallback>(std::move(respond));
  users_.read(query.map, now, [this, query, now, record, reply_to](const MapPage& page) {
    if (!page.failure.ok()) return (*reply_to)(read_failed(page, *record));
    record->outcome = Outcome::of(Outcome::Kind::Served, "lookup");
    (*reply_to)(status_document(page, query, options_.interval, counters_, now));
  });
}

MetricsHandler::MetricsHandler(const ServiceMetrics& metrics, const ServiceCounters& counters, UserMap& users,
                               LogonThrottle& throttle, DirectoryParts directory)
    : metrics_(metrics), counters_(counters), users_(users), throttle_(throttle), directory_(std::move(directory)) {}

void MetricsHandler::handle(const Exchange& exchange, ReplyCallback respond) {
  const std::shared_ptr<RequestRecord>& record = exchange.record;
  if (!takes_no_parameters("/metrics", *record, respond)) return;
  const auto reply_to = std::make_shared<ReplyCallback>(std::move(respond));
  users_.count_current(now_epoch_seconds(), [this, record, reply_to](std::int64_t count, const Failure& failure) {
    MetricsGauges gauges;
    if (failure.ok()) {
      gauges.map_entries = count;
    } else {  // the metrics go out without the count, and stderr says why
      report_limited("error: the user map cannot be read", "metrics without the count of entries: " + failure.message());
    }
    const auto steady = std::chrono::steady_clock::now().time_since_epoch();
    const LogonThrottle::Refusing refusing =
        throttle_.refusing(std::chrono::duration_cast<std::chrono::seconds>(steady).count());
    gauges.throttled_pairs = refusing.pairs;
    gauges.throttled_accounts = refusing.accounts;
    if (directory_) gauges.directory = directory_();
    record->outcome = Outcome::of(Outcome::Kind::Served, "metrics");
    Reply metrics = text_reply(200, metrics_text(metrics_, counters_, gauges));
    metrics.content_type = "text/plain; version=0.0.4; charset=utf-8";
    metrics.headers.push_back("Cache-Control: no-store");
    (*reply_to)(std::move(metrics));
  });
}

HealthHandler::HealthHandler(UserMap& users, std::chrono::milliseconds deadline,
                             HealthCheck::ProofMethods methods)
    : check_(users, deadline, std::move(methods)) {}

void HealthHandler::handle(const Exchange& exchange, ReplyCallback respond) {
  const std::shared_ptr<RequestRecord>& record = exchange.record;
  if (!takes_no_parameters("/healthz", *record, respond)) return;
  const auto reply_to = std::make_shared<ReplyCallback>(std::move(respond));
  check_.ask([record, reply_to](const HealthResult& result) {
    record->outcome = Outcome::of(Outcome::Kind::Health, result.text);
    // One kind of line for each way the check fails, without the times in it.
    const std::string kind = result.text.substr(0, std::min<std::size_t>(result.text.find(" begun"), 80));
    if (!result.healthy) report_limited("health check failed: " + kind, "health check failed: " + result.text);
    Reply answer = text_reply(result.healthy ? 200 : 503, result.text + "\n");
    answer.headers.push_back("Cache-Control: no-store");
    (*reply_to)(std::move(answer));
  });
}
