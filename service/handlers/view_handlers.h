// The views of the user map and of the service: the console and the status document, the Squid
// helper's lookup, the metrics and the health check. Each is one endpoint's handler.
#pragma once

#include <chrono>
#include <cstdint>

#include "config/options.h"
#include "handlers/handler.h"
#include "handlers/health_check.h"
#include "ntlm/throttle.h"
#include "pages/metrics.h"
#include "pages/status_pages.h"
#include "usermap/user_map.h"
#include "verify/group_names.h"

// `/` (the console) and `/status.json`: a page of the map, its filters and totals.
class StatusHandler : public Handler {
 public:
  StatusHandler(bool json, const Options& options, UserMap& users, const ServiceCounters& counters);
  void handle(const Exchange& exchange, ReplyCallback respond) override;

 private:
  const bool json_;
  const Options& options_;
  UserMap& users_;
  const ServiceCounters& counters_;
};

// `/lookup?ip=ADDRESS[&group=GROUP]...`, what the Squid helper asks: the status document of the one
// entry credited at the address that was seen last, read by the map's reader of lookups, without
// totals; with groups, whether that entry is in each of them (their names found by the directory,
// so that the proxy needs none).
class LookupHandler : public Handler {
 public:
  LookupHandler(const Options& options, UserMap& users, const ServiceCounters& counters, GroupNames& group_names);
  void handle(const Exchange& exchange, ReplyCallback respond) override;

 private:
  void answer(const StatusQuery& query, const std::vector<std::string>& asked, const std::vector<std::string>& sids,
              const std::shared_ptr<RequestRecord>& record, const std::shared_ptr<ReplyCallback>& reply_to);

  const Options& options_;
  UserMap& users_;
  const ServiceCounters& counters_;
  GroupNames& group_names_;
};

// `/metrics`, in Prometheus' text format.
class MetricsHandler : public Handler {
 public:
  // The directory's parts in use ("winbind", "keytab"), each answering or not.
  using DirectoryParts = std::function<std::vector<std::pair<std::string, bool>>()>;
  MetricsHandler(const ServiceMetrics& metrics, const ServiceCounters& counters, UserMap& users,
                 LogonThrottle& throttle, DirectoryParts directory, std::int64_t interval);
  void handle(const Exchange& exchange, ReplyCallback respond) override;

 private:
  const ServiceMetrics& metrics_;
  const ServiceCounters& counters_;
  UserMap& users_;
  LogonThrottle& throttle_;
  const DirectoryParts directory_;
  const std::int64_t interval_;  // the agents' refresh interval, which tells when an entry is stale
};

// `/healthz`, which a balancer's health check reads: whether the map takes writes and answers reads.
class HealthHandler : public Handler {
 public:
  HealthHandler(UserMap& users, std::chrono::milliseconds deadline, HealthCheck::ProofMethods methods);
  void handle(const Exchange& exchange, ReplyCallback respond) override;

 private:
  HealthCheck check_;
};
