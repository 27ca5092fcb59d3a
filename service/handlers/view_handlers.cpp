// The views of the user map and of the service: the console and the status document, the Squid
// helper's lookup, the metrics and the health check. Each is one endpoint's handler.
#include "handlers/view_handlers.h"

#include <algorithm>

#include "common/diagnostics.h"
#include "common/json.h"
#include "common/text.h"
#include "pages/console_page.h"
#include "pages/status_pages.h"

namespace {

Reply status_document(const MapPage& page, const StatusQuery& query, std::int64_t interval,
                      const ServiceCounters& counters, std::int64_t now, const std::string& asked_groups = "") {
  Reply reply;
  reply.headers.push_back("Cache-Control: no-store");
  reply.content_type = "application/json";
  reply.body = status_json(page, query, interval, counters, now, asked_groups);
  return reply;
}

// A view that takes no parameters refuses any, so that no script relies on one that does nothing.
bool takes_no_parameters(const std::string& path, RequestRecord& record, ReplyCallback& respond) {
  if (record.params.empty()) return true;
  record.outcome = Outcome::of(Outcome::Kind::BadRequest, path + " takes no parameters");
  respond(text_reply(400, path + " takes no parameters"));
  return false;
}

// The most groups one lookup asks about: Squid sends those of one acl line.
constexpr std::size_t kMaxAskedGroups = 32;

// A lookup's parameters: one ip, and the groups asked about.
bool read_lookup_params(const std::vector<QueryParam>& params, std::string* ip, std::vector<std::string>* groups,
                        std::string* error) {
  bool well_formed = true;
  for (const QueryParam& p : params) {
    if (p.name == "group" && !p.value.empty()) groups->push_back(p.value);
    else if (p.name == "ip" && ip->empty() && !p.value.empty()) *ip = p.value;
    else well_formed = false;
  }
  if (!well_formed || ip->empty() || groups->size() > kMaxAskedGroups)
    *error = "/lookup takes one parameter ip, a numeric IPv4 or IPv6 address, and at most " +
             std::to_string(kMaxAskedGroups) + " group parameters";
  return error->empty();
}

// Whether the entry is in each group asked: what the helper answers by.
std::string asked_groups_json(const LogonEntry* entry, const std::vector<std::string>& asked,
                              const std::vector<std::string>& sids) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < asked.size(); ++i) {
    const bool member = entry != nullptr && !sids[i].empty() &&
                        std::any_of(entry->groups.begin(), entry->groups.end(),
                                    [&](const EntryGroup& g) { return equal_ignoring_case(g.sid, sids[i]); });
    JsonObject group;
    group.add_string("group", asked[i]);
    if (sids[i].empty()) group.add_raw("sid", "null");
    else group.add_string("sid", sids[i]);
    out.push_back(group.add_bool("member", member).str());
  }
  return json_array(out);
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

LookupHandler::LookupHandler(const Options& options, UserMap& users, const ServiceCounters& counters,
                             GroupNames& group_names)
    : options_(options), users_(users), counters_(counters), group_names_(group_names) {}

void LookupHandler::handle(const Exchange& exchange, ReplyCallback respond) {
  const std::shared_ptr<RequestRecord>& record = exchange.record;
  StatusQuery query;
  std::string ip;
  std::vector<std::string> asked;
  std::string error;
  if (read_lookup_params(record->params, &ip, &asked, &error))
    read_status_query({QueryParam{"ip", ip}}, &query, &error);
  if (!error.empty()) {
    record->outcome = Outcome::of(Outcome::Kind::BadRequest, error);
    return respond(text_reply(400, error));
  }
  const auto reply_to = std::make_shared<ReplyCallback>(std::move(respond));
  if (asked.empty()) return answer(query, {}, {}, record, reply_to);
  group_names_.find(asked, [this, query, asked, record, reply_to](Failure failure, std::vector<std::string> sids) {
    if (failure.ok()) return answer(query, asked, sids, record, reply_to);
    record->outcome = Outcome::of(Outcome::Kind::Error, failure.message());
    (*reply_to)(map_unavailable("the directory cannot name the groups asked: " + failure.why));
  });
}

void LookupHandler::answer(const StatusQuery& asked_query, const std::vector<std::string>& asked,
                           const std::vector<std::string>& sids, const std::shared_ptr<RequestRecord>& record,
                           const std::shared_ptr<ReplyCallback>& reply_to) {
  StatusQuery query = asked_query;
  const std::int64_t now = now_epoch_seconds();
  query.map.stale_before = now - stale_after(options_.interval);
  // The entry seen last comes first.
  query.map.limit = 1;
  users_.read(query.map, now, [this, query, now, asked, sids, record, reply_to](const MapPage& page) {
    if (!page.failure.ok()) return (*reply_to)(read_failed(page, *record));
    record->outcome = Outcome::of(Outcome::Kind::Served, "lookup");
    const LogonEntry* first = page.entries.empty() ? nullptr : &page.entries.front();
    const std::string groups = asked.empty() ? "" : asked_groups_json(first, asked, sids);
    (*reply_to)(status_document(page, query, options_.interval, counters_, now, groups));
  });
}

MetricsHandler::MetricsHandler(const ServiceMetrics& metrics, const ServiceCounters& counters, UserMap& users,
                               LogonThrottle& throttle, DirectoryParts directory, std::int64_t interval)
    : metrics_(metrics),
      counters_(counters),
      users_(users),
      throttle_(throttle),
      directory_(std::move(directory)),
      interval_(interval) {}

void MetricsHandler::handle(const Exchange& exchange, ReplyCallback respond) {
  const std::shared_ptr<RequestRecord>& record = exchange.record;
  if (!takes_no_parameters("/metrics", *record, respond)) return;
  const auto reply_to = std::make_shared<ReplyCallback>(std::move(respond));
  // The totals alone: a page of no entries.
  MapQuery none;
  none.limit = 0;
  const std::int64_t now = now_epoch_seconds();
  none.stale_before = now - stale_after(interval_);
  users_.read(none, now, [this, record, reply_to](MapPage page) {
    MetricsGauges gauges;
    if (page.failure.ok() && page.totals) {
      gauges.map = page.totals;
    } else {  // the metrics go out without the counts, and stderr says why
      report_limited("error: the user map cannot be read",
                     "metrics without the count of entries: " + page.failure.message());
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
  }, ViewExtras{true, false});
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
