// The service's metrics (`/metrics`) in Prometheus' text exposition format; kept in memory, from zero at every start.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "http/http_server.h"
#include "usermap/map_types.h"
#include "outcome/outcome.h"
#include "pages/status_pages.h"

// Counts of observed values up to each bound, their sum and their number.
class Histogram {
 public:
  explicit Histogram(std::vector<double> bounds);
  void observe(double value);
  // The _bucket, _sum and _count lines of `name`, with `labels` (`method="kerberos"`) besides the bound.
  std::string text(const std::string& name, const std::string& labels = "") const;

 private:
  const std::vector<double> bounds_;
  mutable std::mutex mutex_;
  std::vector<std::uint64_t> counts_;  // per bucket, not cumulative; the last one is above every bound
  double sum_ = 0;
  std::uint64_t count_ = 0;
};

// What a login or logout came to: a small fixed set of labels (a refusal's cause is RefusalCause).
enum class LogonResult { Recorded, NoEntry, Refused, Rejected, Error, kCount };

// Who proved (or failed to prove) a user, and what came of it.
enum class LogonMethod { Kerberos, NtlmWinbind, Accounts, kCount };
enum class ProofResult { Accepted, Rejected, Unavailable, kCount };
// Why a logon got 503 from the directory: winbind, or the domain's controller (the connection
// limits' 503s are pellamor_connections_refused_total).
enum class UnavailableReason { Winbind, DomainController, kCount };

// The reason of a verifier's 503 from its text ("winbind does not answer ...", "no domain controller ...").
UnavailableReason directory_unavailable_reason(const std::string& reason);

struct ServiceMetrics {
  ServiceMetrics();
  // Counts a request of the logon endpoint by its action ("login", "logout") and its outcome; a
  // challenge is no result.
  void count_logon(const std::string& action, const Outcome& outcome);
  // A proof of a user by `method`, which took `seconds`.
  void count_proof(LogonMethod method, ProofResult result, double seconds);
  void count_unavailable(UnavailableReason reason) { ++unavailable[static_cast<std::size_t>(reason)]; }

  std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(LogonResult::kCount)> logins{};
  std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(LogonResult::kCount)> logouts{};
  std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(RefusalCause::kCount)> refusals{};
  std::array<std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(ProofResult::kCount)>,
             static_cast<std::size_t>(LogonMethod::kCount)>
      proofs{};
  std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(UnavailableReason::kCount)> unavailable{};
  std::vector<std::unique_ptr<Histogram>> proof_seconds;  // by LogonMethod
  ConnectionCounts connections;  // counted by the network side
  Histogram commit_seconds;
};

// What is read when the metrics are asked for.
struct MetricsGauges {
  std::optional<MapTotals> map;  // none when the map could not be read
  std::size_t throttled_pairs = 0;
  std::size_t throttled_accounts = 0;
  // The directory's parts the service uses ("winbind", "keytab"), each answering or not.
  std::vector<std::pair<std::string, bool>> directory;
};

std::string metrics_text(const ServiceMetrics& metrics, const ServiceCounters& counters, const MetricsGauges& gauges);
