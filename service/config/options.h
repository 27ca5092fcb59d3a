// The service's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/networks.h"

struct Options {
  // Who verifies NTLM answers: the accounts file, or the domain through winbind.
  enum class Verification { Accounts, Winbind };

  std::string address = "127.0.0.1";
  unsigned port = 8080;
  Verification verify = Verification::Accounts;
  std::string accounts_path;  // empty: no accounts, every authenticate is refused
  std::string keytab_path;    // empty: no Kerberos ("Negotiate"), NTLM only
  std::string db_path = "pellamor-users.sqlite";
  std::int64_t interval = 900;                  // seconds, sent as "Persistent-Time: "
  std::int64_t nonpersistent_lifetime = 43200;  // seconds a one-shot login stays listed
  std::int64_t web_logon_hours = 8;             // hours a logon through the browser's page stays listed
  std::int64_t history_days = 90;  // the map's events are kept this long
  std::string request_log_path;
  std::string service_log_path;  // empty: the service's lines go to standard error, as given
  // --copy-map: the maps (as --db takes them) to copy from and to, instead of serving.
  std::string copy_from;
  std::string copy_to;
  bool accept_unauthenticated_retry = false;
  std::int64_t max_connections = 1000;
  std::int64_t max_connections_per_peer = 64;  // per IPv4 address or IPv6 /64
  std::int64_t first_byte_timeout = 5;  // seconds a new connection may send nothing
  std::int64_t request_timeout = 10;  // seconds from a request's first byte to its last
  std::int64_t idle_timeout = 30;     // seconds a connection may send nothing
  // Host names clients may name as their target ("HTTP/<name>"); empty: this machine's.
  std::vector<std::string> service_names;
  bool allow_empty_password = false;
  // Both below the common domain lockout threshold of 5, so that guessers cannot lock an account.
  unsigned failed_logon_limit = 3;        // failures of one account from one address; 0: no limit
  unsigned failed_logon_account_limit = 4;  // failures of one account from all addresses; 0: no limit
  std::int64_t failed_logon_seconds = 60;  // window of those failures, and how long the pair is then refused
  std::int64_t max_addresses_per_login = 16;   // addresses one login may report
  std::int64_t max_entries_per_account = 100;  // live entries of one account at different hosts; 0: no limit
  // Who may read the status pages besides loopback: peers in these networks, and members of this
  // group (a SID, or a name that winbind resolves at start) once they log on.
  NetworkList status_allow;
  NetworkList lookup_allow;  // peers that may ask /lookup only, as a site's Squid box does
  std::string admin_group;
  std::string admin_group_sid;  // not an option: the group's SID, found at start
  // Peers (NAT, relays) whose logins are trusted for the addresses they report, as if they were their own.
  NetworkList trusted_relays;
  // Where a login is also credited with the addresses it reports but does not come from.
  NetworkList credit_claims;
  // Balancers whose connections begin with a PROXY header naming the client.
  NetworkList proxy_protocol;

  // Test hooks: what the service answers, for exercising the agent's failure handling.
  std::optional<int> test_first_status;
  std::optional<int> test_final_status;
  std::optional<std::string> test_final_version;
  std::optional<std::string> test_interval_header;
  bool test_no_interval_header = false;
};

enum class ParseOutcome { Run, Help, Version, Error, CopyMap };

ParseOutcome parse_options(int argc, char** argv, Options* out, std::string* error);
std::string usage_text();
std::string version_text();  // "pellamor-service 1.0.0"

bool uses_test_features(const Options& options);
bool is_loopback_address(const std::string& address);
