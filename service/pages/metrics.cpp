// The service's metrics (`/metrics`) in Prometheus' text exposition format; kept in memory, from zero at every start.
#include "pages/metrics.h"

#include <cstdio>

namespace {

// Commits take milliseconds on a disk that honours its syncs, more on a busy one.
const std::vector<double> kCommitBounds = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                           0.1,    0.25,  0.5,    1,     2.5,  5,     10};

constexpr const char* kResultNames[] = {"recorded", "no_entry", "refused", "rejected", "error"};
constexpr const char* kMethodNames[] = {"kerberos", "ntlm-winbind", "accounts"};
constexpr const char* kProofNames[] = {"accepted", "rejected", "unavailable"};
constexpr const char* kUnavailableNames[] = {"winbind", "domain_controller"};
// A proof takes microseconds from a keytab or the accounts file, milliseconds to a second from a
// domain controller, up to the verification's deadline (10 s) when winbind hangs.
const std::vector<double> kProofBounds = {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                          0.05,   0.1,     0.25,   0.5,   1,      2.5,   5,     10};

struct CauseName {
  RefusalCause cause;
  const char* name;
};
// Every cause's label, in the order of RefusalCause.
constexpr CauseName kCauses[] = {
    {RefusalCause::WrongPassword, "wrong_password"},
    {RefusalCause::UnknownUser, "unknown_user"},
    {RefusalCause::Throttled, "throttled"},
    {RefusalCause::NoChallenge, "no_challenge"},
    {RefusalCause::MalformedToken, "malformed_token"},
    {RefusalCause::Ntlmv1, "ntlmv1"},
    {RefusalCause::Anonymous, "anonymous"},
    {RefusalCause::IntegrityCode, "integrity_code"},
    {RefusalCause::TargetName, "target_name"},
    {RefusalCause::OtherScheme, "other_scheme"},
    {RefusalCause::HostNameTooLong, "host_name_too_long"},
    {RefusalCause::TooManyAddresses, "too_many_addresses"},
    {RefusalCause::EntriesPerAccount, "entries_per_account"},
    {RefusalCause::FromBrowser, "from_browser"},
    {RefusalCause::Forwarded, "forwarded"},
    {RefusalCause::OtherHost, "other_host"},
    {RefusalCause::Other, "other"},
};

bool starts_with(const std::string& text, const std::string& start) {
  return text.compare(0, start.size(), start) == 0;
}

std::string number(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

std::string head(const std::string& name, const std::string& type, const std::string& help) {
  return "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

std::string sample(const std::string& name, const std::string& labels, std::uint64_t value) {
  return name + (labels.empty() ? "" : "{" + labels + "}") + " " + std::to_string(value) + "\n";
}

template <std::size_t N>
std::string by_result(const std::string& name, const std::array<std::atomic<std::uint64_t>, N>& counts,
                      std::initializer_list<LogonResult> results) {
  std::string out;
  for (LogonResult r : results)
    out += sample(name, std::string("result=\"") + kResultNames[static_cast<std::size_t>(r)] + "\"",
                  counts[static_cast<std::size_t>(r)].load());
  return out;
}

std::string gauge(const std::string& name, const std::string& help, std::int64_t value) {
  return head(name, "gauge", help) + name + " " + std::to_string(value) + "\n";
}

// What the map holds now; a rise in the last three is what an administrator looks into.
std::string map_gauges(const MapTotals& t) {
  return gauge("pellamor_map_entries", "Entries of the user map logged on now.", t.logged_on) +
         gauge("pellamor_map_stale_entries", "Entries logged on now whose agent has missed its refreshes.", t.stale) +
         gauge("pellamor_map_conflicting_addresses",
               "Addresses claimed by entries of different users at different hosts.", t.conflicts) +
         gauge("pellamor_map_uncredited_entries",
               "Entries logged on now that are not credited at an address they report.", t.uncredited) +
         gauge("pellamor_map_unproven_entries", "Entries logged on now found at an address that no entry proves.",
               t.unproven);
}

}  // namespace

Histogram::Histogram(std::vector<double> bounds) : bounds_(std::move(bounds)), counts_(bounds_.size() + 1, 0) {}

void Histogram::observe(double value) {
  std::size_t bucket = 0;
  while (bucket < bounds_.size() && value > bounds_[bucket]) ++bucket;
  std::lock_guard<std::mutex> lock(mutex_);
  ++counts_[bucket];
  sum_ += value;
  ++count_;
}

std::string Histogram::text(const std::string& name, const std::string& labels) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out;
  std::uint64_t cumulative = 0;
  const std::string before_bound = labels.empty() ? "" : labels + ",";
  for (std::size_t i = 0; i < counts_.size(); ++i) {
    cumulative += counts_[i];
    const std::string bound = i < bounds_.size() ? number(bounds_[i]) : "+Inf";
    out += sample(name + "_bucket", before_bound + "le=\"" + bound + "\"", cumulative);
  }
  const std::string braced = labels.empty() ? "" : "{" + labels + "}";
  return out + name + "_sum" + braced + " " + number(sum_) + "\n" + sample(name + "_count", labels, count_);
}

UnavailableReason directory_unavailable_reason(const std::string& reason) {
  return starts_with(reason, "winbind") ? UnavailableReason::Winbind : UnavailableReason::DomainController;
}

void ServiceMetrics::count_proof(LogonMethod method, ProofResult result, double seconds) {
  ++proofs[static_cast<std::size_t>(method)][static_cast<std::size_t>(result)];
  proof_seconds[static_cast<std::size_t>(method)]->observe(seconds);
}

ServiceMetrics::ServiceMetrics()
    : commit_seconds(kCommitBounds) {
  for (std::size_t method = 0; method < static_cast<std::size_t>(LogonMethod::kCount); ++method)
    proof_seconds.push_back(std::make_unique<Histogram>(kProofBounds));
}

namespace {

// The label of a logon's outcome; none for what is no result (a challenge, a bad request, a reply
// chosen by a test option, 503).
std::optional<LogonResult> logon_result(Outcome::Kind kind) {
  switch (kind) {
    case Outcome::Kind::Login:
    case Outcome::Kind::Logout: return LogonResult::Recorded;
    case Outcome::Kind::LogoutWithoutEntry: return LogonResult::NoEntry;
    case Outcome::Kind::Refused: return LogonResult::Refused;
    case Outcome::Kind::Rejected: return LogonResult::Rejected;
    case Outcome::Kind::Error: return LogonResult::Error;
    default: return std::nullopt;
  }
}

}  // namespace

void ServiceMetrics::count_logon(const std::string& action, const Outcome& outcome) {
  const std::optional<LogonResult> result = logon_result(outcome.kind);
  if (!result) return;
  if (*result == LogonResult::Refused || *result == LogonResult::Rejected)
    ++refusals[static_cast<std::size_t>(outcome.cause)];
  if (action == "login") ++logins[static_cast<std::size_t>(*result)];
  if (action == "logout") ++logouts[static_cast<std::size_t>(*result)];
}

std::string metrics_text(const ServiceMetrics& m, const ServiceCounters& counters, const MetricsGauges& gauges) {
  using R = LogonResult;
  std::string out =
      head("pellamor_logins_total", "counter",
           "Logins answered, by result: recorded, refused (a claim beyond the limits), rejected (authentication "
           "failed), error (the user map could not be written).") +
      by_result("pellamor_logins_total", m.logins, {R::Recorded, R::Refused, R::Rejected, R::Error}) +
      head("pellamor_logouts_total", "counter",
           "Logouts answered, by result: recorded, no_entry (nothing to remove), rejected, error.") +
      by_result("pellamor_logouts_total", m.logouts, {R::Recorded, R::NoEntry, R::Rejected, R::Error}) +
      head("pellamor_refusals_total", "counter", "Logins and logouts refused or rejected, by reason.");
  for (const CauseName& c : kCauses)
    out += sample("pellamor_refusals_total", std::string("reason=\"") + c.name + "\"",
                  m.refusals[static_cast<std::size_t>(c.cause)].load());
  out += head("pellamor_logons_total", "counter",
              "Proofs of a user, by method (kerberos, ntlm-winbind, accounts) and result (accepted, rejected, "
              "unavailable: nobody could tell).");
  for (std::size_t method = 0; method < m.proofs.size(); ++method) {
    for (std::size_t result = 0; result < m.proofs[method].size(); ++result)
      out += sample("pellamor_logons_total",
                    std::string("method=\"") + kMethodNames[method] + "\",result=\"" + kProofNames[result] + "\"",
                    m.proofs[method][result].load());
  }
  out += head("pellamor_verification_seconds", "histogram", "How long each proof of a user took, by method.");
  for (std::size_t method = 0; method < m.proof_seconds.size(); ++method)
    out += m.proof_seconds[method]->text("pellamor_verification_seconds",
                                        std::string("method=\"") + kMethodNames[method] + "\"");
  out += head("pellamor_unavailable_total", "counter",
              "Logons answered 503 because the directory could not be asked, by reason: winbind, "
              "domain_controller (winbind answers, no domain controller does).");
  for (std::size_t reason = 0; reason < m.unavailable.size(); ++reason)
    out += sample("pellamor_unavailable_total", std::string("reason=\"") + kUnavailableNames[reason] + "\"",
                  m.unavailable[reason].load());
  if (!gauges.directory.empty()) {
    out += head("pellamor_directory_up", "gauge",
                "Whether each part of the directory the service uses answers now (1) or not (0): winbind with "
                "its domain controller, the keytab.");
    for (const auto& part : gauges.directory)
      out += "pellamor_directory_up{part=\"" + part.first + "\"} " + (part.second ? "1" : "0") + "\n";
  }
  out += head("pellamor_throttled_pairs", "gauge",
              "Accounts refused unchecked from one address (an IPv4 address or IPv6 /64) after too many failed "
              "logons.") +
         "pellamor_throttled_pairs " + std::to_string(gauges.throttled_pairs) + "\n";
  out += head("pellamor_throttled_accounts", "gauge",
              "Accounts refused unchecked from addresses they have not logged on from.") +
         "pellamor_throttled_accounts " + std::to_string(gauges.throttled_accounts) + "\n";
  if (gauges.map) out += map_gauges(*gauges.map);
  out += head("pellamor_commit_seconds", "histogram",
              "Commits of the user map's writer, from their begin to the end of their synchronous write.") +
         m.commit_seconds.text("pellamor_commit_seconds");
  out += head("pellamor_connections_open", "gauge", "Connections open now.") + "pellamor_connections_open " +
         std::to_string(m.connections.open.load()) + "\n";
  out += head("pellamor_connections_refused_total", "counter",
              "Connections refused beyond the connection limits (answered 503 or closed at once).") +
         sample("pellamor_connections_refused_total", "", m.connections.refused.load());
  out += head("pellamor_connections_total", "counter", "Connections served.") +
         sample("pellamor_connections_total", "", counters.connections.load());
  out += head("pellamor_requests_total", "counter", "HTTP requests read.") +
         sample("pellamor_requests_total", "", counters.requests.load());
  // The version rides on a constant gauge's label, as Prometheus' own programs show theirs.
  out += head("pellamor_build_info", "gauge", "The version of the service, as its label; always 1.") +
         sample("pellamor_build_info", "version=\"" PELLAMOR_VERSION "\"", 1);
  return out;
}
