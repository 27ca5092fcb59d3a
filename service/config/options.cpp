// The service's command line.
#include "config/options.h"
#include "common/address.h"
#include "common/text.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>

namespace {

// Largest interval an agent can hold: it keeps milliseconds in 32 bits.
constexpr std::int64_t kMaxInterval = 4294967;

bool parse_number(const std::string& text, std::int64_t low, std::int64_t high, std::int64_t* out) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < low || value > high) return false;
  *out = value;
  return true;
}

bool numeric_address(const std::string& text) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, text.c_str(), buffer) == 1 || inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

using Setter = std::function<bool(Options*, const std::string&, std::string*)>;

Setter number_setter(std::int64_t low, std::int64_t high, std::function<void(Options*, std::int64_t)> store) {
  return [=](Options* o, const std::string& value, std::string* error) {
    std::int64_t n = 0;
    if (!parse_number(value, low, high, &n)) {
      *error = "expects a whole number from " + std::to_string(low) + " to " + std::to_string(high) + ", not \"" +
               value + "\"";
      return false;
    }
    store(o, n);
    return true;
  };
}

Setter text_setter(std::function<void(Options*, const std::string&)> store) {
  return [=](Options* o, const std::string& value, std::string* error) {
    if (value.empty()) {
      *error = "expects a value";
      return false;
    }
    store(o, value);
    return true;
  };
}

// Comma-separated host names, appended: the option may be given several times.
bool add_service_names(Options* o, const std::string& value, std::string* error) {
  for (const std::string& name : split_commas(value)) {
    if (name.empty() || name.find_first_of("/ \t\r\n") != std::string::npos) {
      *error = "expects host names separated by commas, without blanks or slashes, not \"" + value + "\"";
      return false;
    }
    o->service_names.push_back(name);
  }
  return true;
}

Setter networks_setter(NetworkList Options::*list) {
  return [=](Options* o, const std::string& value, std::string* error) { return (o->*list).add(value, error); };
}

const std::map<std::string, Setter>& valued_options() {
  static const std::map<std::string, Setter> options = {
      {"--address",
       [](Options* o, const std::string& v, std::string* error) {
         if (!numeric_address(v)) {
           *error = "expects a numeric IPv4 or IPv6 address, not \"" + v + "\"";
           return false;
         }
         o->address = v;
         return true;
       }},
      {"--port", number_setter(0, 65535, [](Options* o, std::int64_t n) { o->port = static_cast<unsigned>(n); })},
      {"--accounts", text_setter([](Options* o, const std::string& v) { o->accounts_path = v; })},
      {"--keytab", text_setter([](Options* o, const std::string& v) { o->keytab_path = v; })},
      {"--verify",
       [](Options* o, const std::string& v, std::string* error) {
         if (v != "accounts" && v != "winbind") {
           *error = "expects accounts or winbind, not \"" + v + "\"";
           return false;
         }
         o->verify = v == "winbind" ? Options::Verification::Winbind : Options::Verification::Accounts;
         return true;
       }},
      {"--db", text_setter([](Options* o, const std::string& v) { o->db_path = v; })},
      {"--interval", number_setter(1, kMaxInterval, [](Options* o, std::int64_t n) { o->interval = n; })},
      {"--nonpersistent-lifetime",
       number_setter(1, 10 * 365 * 86400LL, [](Options* o, std::int64_t n) { o->nonpersistent_lifetime = n; })},
      {"--web-logon-hours", number_setter(1, 24 * 365, [](Options* o, std::int64_t n) { o->web_logon_hours = n; })},
      {"--history-days", number_setter(1, 36500, [](Options* o, std::int64_t n) { o->history_days = n; })},
      {"--max-connections", number_setter(1, 100000, [](Options* o, std::int64_t n) { o->max_connections = n; })},
      {"--first-byte-timeout",
       number_setter(1, 3600, [](Options* o, std::int64_t n) { o->first_byte_timeout = n; })},
      {"--max-connections-per-peer",
       number_setter(1, 100000, [](Options* o, std::int64_t n) { o->max_connections_per_peer = n; })},
      {"--request-timeout", number_setter(1, 3600, [](Options* o, std::int64_t n) { o->request_timeout = n; })},
      {"--idle-timeout", number_setter(1, 86400, [](Options* o, std::int64_t n) { o->idle_timeout = n; })},
      {"--request-log", text_setter([](Options* o, const std::string& v) { o->request_log_path = v; })},
      {"--service-log", text_setter([](Options* o, const std::string& v) { o->service_log_path = v; })},
      {"--service-name", add_service_names},
      {"--failed-logon-limit",
       number_setter(0, 1000000, [](Options* o, std::int64_t n) { o->failed_logon_limit = static_cast<unsigned>(n); })},
      {"--failed-logon-account-limit",
       number_setter(0, 1000000,
                     [](Options* o, std::int64_t n) { o->failed_logon_account_limit = static_cast<unsigned>(n); })},
      {"--failed-logon-seconds",
       number_setter(1, 86400, [](Options* o, std::int64_t n) { o->failed_logon_seconds = n; })},
      {"--max-addresses-per-login",
       number_setter(1, 1000, [](Options* o, std::int64_t n) { o->max_addresses_per_login = n; })},
      {"--max-entries-per-account",
       number_setter(0, 100000000, [](Options* o, std::int64_t n) { o->max_entries_per_account = n; })},
      {"--status-allow", networks_setter(&Options::status_allow)},
      {"--lookup-allow", networks_setter(&Options::lookup_allow)},
      {"--trusted-relay", networks_setter(&Options::trusted_relays)},
      {"--credit-claims", networks_setter(&Options::credit_claims)},
      {"--proxy-protocol", networks_setter(&Options::proxy_protocol)},
      {"--admin-group", text_setter([](Options* o, const std::string& v) { o->admin_group = v; })},
      {"--test-first-status",
       number_setter(200, 599, [](Options* o, std::int64_t n) { o->test_first_status = static_cast<int>(n); })},
      {"--test-final-status",
       number_setter(200, 599, [](Options* o, std::int64_t n) { o->test_final_status = static_cast<int>(n); })},
      {"--test-final-version",
       [](Options* o, const std::string& v, std::string* error) {
         const bool shape = v.size() == 3 && v[0] >= '0' && v[0] <= '9' && v[1] == '.' && v[2] >= '0' && v[2] <= '9';
         if (!shape) {
           *error = "expects a version such as 1.0, not \"" + v + "\"";
           return false;
         }
         o->test_final_version = v;
         return true;
       }},
      {"--test-interval-header",
       [](Options* o, const std::string& v, std::string* error) {
         if (v.empty() || v.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
           *error = "expects one non-empty header line without line breaks";
           return false;
         }
         o->test_interval_header = v;
         return true;
       }},
  };
  return options;
}

// Options that take no value and switch something on.
const std::map<std::string, bool Options::*>& flag_options() {
  static const std::map<std::string, bool Options::*> flags = {
      {"--accept-unauthenticated-retry", &Options::accept_unauthenticated_retry},
      {"--test-no-interval-header", &Options::test_no_interval_header},
      {"--allow-empty-password", &Options::allow_empty_password},
  };
  return flags;
}

// Options that end the parse with an answer instead of a run.
const std::map<std::string, ParseOutcome>& answer_options() {
  static const std::map<std::string, ParseOutcome> answers = {
      {"--help", ParseOutcome::Help},
      {"-h", ParseOutcome::Help},
      {"--version", ParseOutcome::Version},
      {"--copy-map", ParseOutcome::CopyMap},
  };
  return answers;
}

bool check_combination(const Options& o, std::string* error) {
  if (o.verify == Options::Verification::Winbind && !o.accounts_path.empty()) {
    *error = "--accounts is read only with --verify accounts; with --verify winbind the domain verifies every user";
    return false;
  }
  if (!o.admin_group.empty() && o.verify == Options::Verification::Accounts && o.keytab_path.empty()) {
    *error = "--admin-group needs the directory to tell who is in the group: --verify winbind or --keytab (an "
             "accounts file alone cannot prove membership of a domain group)";
    return false;
  }
  if (o.test_interval_header && o.test_no_interval_header) {
    *error = "--test-interval-header and --test-no-interval-header exclude each other";
    return false;
  }
  if (uses_test_features(o) && !is_loopback_address(o.address)) {
    *error = "--accept-unauthenticated-retry and the --test-... options are refused unless --address is a loopback "
             "address (" + o.address + " is not)";
    return false;
  }
  return true;
}

}  // namespace

bool uses_test_features(const Options& o) {
  return o.accept_unauthenticated_retry || o.test_first_status || o.test_final_status || o.test_final_version ||
         o.test_interval_header || o.test_no_interval_header;
}

bool is_loopback_address(const std::string& address) {
  unsigned char v4[4];
  unsigned char v6[16];
  if (inet_pton(AF_INET, address.c_str(), v4) == 1) return v4[0] == 127;
  if (inet_pton(AF_INET6, address.c_str(), v6) != 1) return false;
  static const unsigned char loopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return std::memcmp(v6, loopback6, 16) == 0 || (is_v4_mapped(v6) && v6[12] == 127);
}

namespace {

// --copy-map FROM TO, which takes two values and no other option, at `at`.
ParseOutcome parse_copy_map(int argc, char** argv, int at, Options* out, std::string* error) {
  if (at != 1 || argc != 4 || *argv[2] == '\0' || *argv[3] == '\0') {
    *error = "--copy-map takes the map to copy and the empty map to copy it to (each as --db takes it), and "
             "nothing else";
    return ParseOutcome::Error;
  }
  out->copy_from = argv[2];
  out->copy_to = argv[3];
  return ParseOutcome::CopyMap;
}

}  // namespace

ParseOutcome parse_options(int argc, char** argv, Options* out, std::string* error) {
  *out = Options();
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    std::optional<std::string> value;
    const std::size_t equals = name.find('=');
    if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = name.substr(equals + 1);
      name = name.substr(0, equals);
    }
    const auto answer = answer_options().find(name);
    if (answer != answer_options().end() && answer->second == ParseOutcome::CopyMap)
      return parse_copy_map(argc, argv, i, out, error);
    if (answer != answer_options().end()) return answer->second;
    const auto flag = flag_options().find(name);
    const bool is_flag = flag != flag_options().end();
    if (is_flag && !value) {
      out->*(flag->second) = true;
      continue;
    }
    const auto setter = valued_options().find(name);
    if (setter == valued_options().end() || is_flag) {
      *error = is_flag ? name + " takes no value" : "unknown option \"" + name + "\" (see --help)";
      return ParseOutcome::Error;
    }
    if (!value) {
      if (i + 1 >= argc) {
        *error = name + " needs a value";
        return ParseOutcome::Error;
      }
      value = argv[++i];
    }
    std::string why;
    if (!setter->second(out, *value, &why)) {
      *error = name + " " + why;
      return ParseOutcome::Error;
    }
  }
  return check_combination(*out, error) ? ParseOutcome::Run : ParseOutcome::Error;
}

std::string usage_text() {
  return R"(Usage: pellamor-service [OPTION]...
Reference logon service for the Pellamor agent: answers GET /tarnwise with a
Kerberos ("Negotiate") or NTLM challenge, verifies the answer (the Kerberos
ticket with the service's keytab; the NTLMv2 answer through the domain's
winbind, or against an accounts file), records who is logged on where in a
user map (SQLite, or PostgreSQL for several services), and shows that map at
/ (HTML) and /status.json.

  --address A        address to listen on, numeric IPv4 or IPv6
                     (default 127.0.0.1: this machine only)
  --port P           TCP port (default 8080; 0 picks a free port). Once
                     listening, the service prints "listening on ADDR:PORT".
  --verify winbind|accounts
                     who verifies NTLM answers: the domain, through this
                     member's winbind (socket /run/samba/winbindd, privileged
                     pipe for the group winbindd_priv), or the accounts file
                     (default)
  --keytab FILE      accept Kerberos logons ("WWW-Authenticate: Negotiate")
                     for the HTTP/ principals in this keytab
  --accounts FILE    with --verify accounts: accounts allowed to log on, one
                     per line:
                       DOMAIN\user:password
                       DOMAIN\user:nthash:<32 hex digits>
                     '#' starts a comment line. Without this option no NTLM
                     login can be authenticated.
  --db FILE          SQLite user map (default pellamor-users.sqlite)
  --db postgresql://USER@HOST:PORT/DB
                     the user map in a PostgreSQL database that several
                     services may share (a libpq connection URI; keep the
                     password in ~/.pgpass, not in the URI)
  --interval SECONDS value of the "Persistent-Time: " reply header, the
                     agent's repeat interval (default 900, at most 4294967).
                     A persistent login expires after two intervals without
                     a refresh. Agents never repeat faster than every 60 s.
  --nonpersistent-lifetime SECONDS
                     how long a login from a non-persistent agent stays
                     listed without a logout (default 43200, 12 hours)
  --web-logon-hours N
                     how long a logon through the logon page (/logon) stays
                     listed without a logoff (default 8)
  --history-days N   how long the map keeps its history of logins, logouts,
                     expiries and moves, which /history.json reads
                     (default 90)
  --request-log FILE append one JSON object per line for every request
  --service-log FILE write the service's own lines (what it says on standard
                     output and error) to FILE; it and the request log are
                     reopened by name on SIGHUP, after a rotation
  --max-connections N
                     connections open at once (default 1000); the last
                     quarter only for peers that hold none, so that peers at
                     their own limit leave room for the others
  --max-connections-per-peer N
                     connections one peer may hold open: an IPv4 address, an
                     IPv6 /64, or one link's link-local addresses (default
                     64); more get 503 with Retry-After
  --first-byte-timeout SECONDS
                     a new connection that sends nothing this long is closed
                     (default 5)
  --request-timeout SECONDS
                     a request must arrive whole this long after its first
                     byte, or its connection is closed (default 10)
  --idle-timeout SECONDS
                     a connection that sends nothing this long is closed
                     (default 30)
  --service-name NAMES
                     host names by which agents reach this service, comma-
                     separated; may be repeated (default: this machine's host
                     name). A login whose NTLM answer names another target
                     than HTTP/<one of these> is refused, since it was relayed.
  --allow-empty-password
                     accept accounts with an empty password (refused at start
                     otherwise)
  --failed-logon-limit N
                     after N failed logons of one account from one address
                     within --failed-logon-seconds, that account is refused
                     from that address (an IPv6 address: its /64), unchecked,
                     for as long (default 3, below the common domain lockout
                     threshold of 5; 0 turns this off)
  --failed-logon-account-limit N
                     after N failed logons of one account from all addresses
                     together within --failed-logon-seconds, that account is
                     refused unchecked for as long from every address it has
                     not logged on from within a day (default 4; 0 turns
                     this off)
  --failed-logon-seconds S
                     that window and refusal, in seconds (default 60)
  --max-addresses-per-login N
                     a login that reports more addresses than N is recorded
                     with its first N, its own address kept (default 16)
  --max-entries-per-account N
                     live entries one account may hold at different hosts;
                     a login from a further host is refused with 403 until
                     one is logged out or expires (default 100; 0: no limit)
  --status-allow NETWORKS
                     the status pages (/, /status.json, /changes and
                     /history.json, which show who is or was logged on
                     where) also answer peers in these
                     networks, comma-separated (10.0.0.0/24,192.0.2.7,
                     fd00::/8); may be repeated. Default: loopback only.
                     List the Squid helper's machine here, or under
                     --lookup-allow.
  --lookup-allow NETWORKS
                     /lookup (who is at one address, as the Squid helper
                     asks) also answers peers in these networks, which
                     read nothing else of the map; comma-separated, may be
                     repeated. Loopback and --status-allow are answered
                     anyway.
  --admin-group GROUP
                     the status pages also answer members of this domain
                     group, logged on by Kerberos or NTLM: a group name
                     (DOMAIN\group, resolved through winbind at start) or
                     its SID (S-1-5-21-...). Others get 401, or 403 once
                     logged on. Needs --verify winbind or --keytab.
  --trusted-relay NETWORKS
                     logins from these peers (NAT gateways, relays that
                     agents reach the service through) are trusted for the
                     addresses they report; comma-separated, may be
                     repeated.
  --credit-claims NETWORKS
                     a login is also credited with the addresses it reports
                     in these networks (PCs that reach the service through
                     another of their addresses), unless another live login
                     comes from there when it reports them; comma-separated,
                     may be repeated. Default: a login is credited only with
                     the address it comes from.
  --copy-map FROM TO copy the map FROM with its history to TO, each as --db
                     takes it (SQLite to PostgreSQL or back), and exit; TO
                     must hold no entries and no history. Copy from a backup,
                     or while no service writes FROM.
  --proxy-protocol NETWORKS
                     connections from these peers (balancers) must begin
                     with a PROXY protocol header, text or binary, whose
                     client address is then the peer (proof of address,
                     limits, throttle, logs); a binary LOCAL header (the
                     balancer's health check) or a text UNKNOWN one keeps
                     the balancer as peer.
                     A header from other peers is refused with 400;
                     comma-separated, may be repeated.
  --help             show this text
  --version          show the program's version

Test features, refused unless --address is a loopback address:
  --accept-unauthenticated-retry
                     a request without credentials that follows a 401 on the
                     same connection is accepted as an unauthenticated login
                     (for clients that cannot answer the challenge)
  --test-first-status N     status (200 to 599) of the reply to a request
                            without credentials, instead of 401
  --test-final-status N     status (200 to 599) of the reply to an
                            authenticated request, instead of 200; the user
                            map is not changed unless N is 200
  --test-final-version V    HTTP version in that reply's status line, e.g. 1.0
                            (the connection is closed after it)
  --test-interval-header TEXT
                     the whole interval header line, sent verbatim
                     (e.g. 'Persistent-time: 5' or 'Persistent-Time: -1')
  --test-no-interval-header leave the interval header out
)";
}

std::string version_text() { return std::string("pellamor-service ") + PELLAMOR_VERSION + "\n"; }
