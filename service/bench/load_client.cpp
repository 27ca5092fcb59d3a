// Load client for the logon service: concurrent agents doing the full NTLMv2 (or Kerberos) login, and Squid helpers
// asking who is where, counted per second.
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ntlm/ntlm_client.h"
#include "spnego_token.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr int kMaxErrorsPerClient = 100;

struct Settings {
  std::string address = "127.0.0.1";
  std::string port;
  std::string domain;
  std::string user;
  std::string password;
  int clients = 1;
  double seconds = 3;
  bool unique_hosts = false;  // a new host name per login, so that every login is a real write
  std::string helper;         // the Squid helper program, for helper loops
  int helper_loops = 0;
  // When set: the helpers ask for random addresses of a filled map's N entries (filled_address)
  // instead of the login clients' addresses.
  long helper_map = 0;
  // When set: each question names these groups after the address, as Squid's %SRC %DATA does.
  std::string helper_groups;
  std::string kerberos_host;  // when set: Kerberos logins with a ticket for HTTP@host from KRB5CCNAME
  long kerberos_tokens = 4000;  // made before the timed run; the run ends early when they are used up
  // Every client connects from `source`, or client i from the i-th address after `sources`: peers
  // as the service sees them. Neither: the system's choice.
  std::string source;
  std::string sources;
  bool refused = false;  // every login is expected to be refused (a flood of unknown users): counted as answers
  // When set: says "ready" on stderr once the tokens are made, and starts the timed run at a line on
  // stdin, so that another load can be under way by then.
  bool start_on_input = false;
};

struct Totals {
  std::atomic<long> logins{0};
  std::atomic<long> errors{0};
  std::atomic<long> lookups{0};
  std::atomic<long> lookup_errors{0};
  std::atomic<long> unavailable{0};  // logins answered 503: the service turned them away
  std::mutex latencies_mutex;
  std::vector<double> latencies_ms;  // of each counted login
};

// Kerberos tokens made before the timed run, each a new authenticator, so that the replay cache
// sees each one once; the clients take them in turn.
struct TokenPool {
  std::vector<std::string> tokens;
  std::atomic<std::size_t> next{0};
  const std::string* take() {
    const std::size_t i = next++;
    return i < tokens.size() ? &tokens[i] : nullptr;
  }
};

// The address of entry `index` of a map that the benchmark filled: 10.0.0.0 upward, one each.
std::string filled_address(long index) {
  return "10." + std::to_string(index >> 16 & 255) + "." + std::to_string(index >> 8 & 255) + "." +
         std::to_string(index & 255);
}

// One GET on an open connection; returns the status, 0 on a transport error.
int exchange(tcp::socket& socket, beast::flat_buffer& buffer, const std::string& target,
             const std::string& authorization, std::string* www_authenticate) {
  http::request<http::empty_body> request{http::verb::get, target, 11};
  request.set(http::field::host, "pellamor-service");
  request.set(http::field::user_agent, "Pellamor");
  if (!authorization.empty()) request.set(http::field::authorization, authorization);
  beast::error_code ec;
  http::write(socket, request, ec);
  if (ec) return 0;
  http::response<http::string_body> response;
  http::read(socket, buffer, response, ec);
  if (ec) return 0;
  *www_authenticate = std::string(response[http::field::www_authenticate]);
  return static_cast<int>(response.result_int());
}

// The local address of login `n` of client `index`: `sources` counted up by the index, or `source`.
// Logins under new host names come each from an address of its own, as new PCs do at a site: the
// n-th after the clients' first ones, in a block of the process's own (its id picks one of 200
// blocks of 65,536 addresses), so that no address gathers the entries of every login of a client,
// or of every run.
std::string source_address(const Settings& s, int index, long n) {
  if (s.sources.empty()) return s.source;
  beast::error_code ec;
  const auto first = asio::ip::make_address_v4(s.sources, ec);  // checked with the settings
  std::uint32_t offset = static_cast<std::uint32_t>(index);
  if (s.unique_hosts) {
    const std::uint32_t block = static_cast<std::uint32_t>(getpid() % 200) << 16;
    offset = block + static_cast<std::uint32_t>((static_cast<long>(s.clients) * n + index) % 65536);
  }
  return asio::ip::make_address_v4(first.to_uint() + offset).to_string();
}

// The address login `n` of client `index` reports: the helper loops ask for those of repeated
// logins. A client with an address of its own reports that one, as a PC does. The others report
// test addresses; logins under new host names other ones, so that each address asked about has
// one entry.
std::string client_address(const Settings& s, int index, long n) {
  if (!s.sources.empty()) return source_address(s, index, n);
  return (s.unique_hosts ? "198.51.100." : "192.0.2.") + std::to_string(index % 250 + 1);
}

// A connection to the server from the client's own address, if it has one.
bool open_connection(tcp::socket& socket, const tcp::resolver::results_type& server, const std::string& source) {
  beast::error_code ec;
  if (!source.empty()) {
    const tcp::endpoint from(asio::ip::make_address(source, ec), 0);
    if (ec) return false;
    socket.open(from.protocol(), ec);
    // We set IP_BIND_ADDRESS_NO_PORT because a bind before connect otherwise takes a port at once,
    // one that no closed connection still in TIME_WAIT holds: thousands of logins from one
    // address would run out of ports within seconds, and the run would measure that. The port
    // is then chosen at connect, as for any connection, and may be reused.
    const int one = 1;
    if (!ec && setsockopt(socket.native_handle(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one) != 0)
      return false;
    if (!ec) socket.bind(from, ec);
    if (ec) return false;
    socket.connect(*server.begin(), ec);
  } else {
    asio::connect(socket, server, ec);
  }
  return !ec;
}

// The agent's whole exchange: unauthenticated request, negotiate, authenticate. Returns the
// final answer's status, 0 when the exchange broke off before it.
int one_login(asio::io_context& io, const tcp::resolver::results_type& server, const std::string& source,
              const NtlmCredentials& credentials, const std::string& target) {
  tcp::socket socket(io);
  if (!open_connection(socket, server, source)) return 0;
  beast::flat_buffer buffer;
  std::string challenge_header;
  if (exchange(socket, buffer, target, "", &challenge_header) != 401) return 0;
  NtlmClient client(credentials);
  // A peer with too many verifications under way is answered 503 at once: that is the final answer.
  const int offered = exchange(socket, buffer, target, "NTLM " + base64_encode(client.negotiate()), &challenge_header);
  if (offered != 401) return offered;
  if (challenge_header.rfind("NTLM ", 0) != 0) return 0;
  const std::optional<Bytes> challenge = base64_decode(challenge_header.substr(5));
  Bytes authenticate;
  std::string why;
  if (!challenge || !client.authenticate(*challenge, &authenticate, &why)) return 0;
  std::string unused;
  const int status = exchange(socket, buffer, target, "NTLM " + base64_encode(authenticate), &unused);
  beast::error_code ec;
  socket.shutdown(tcp::socket::shutdown_both, ec);
  return status;
}

// The Authorization header of a Kerberos login: a fresh authenticator each time.
std::string kerberos_token(const std::string& host) {
  const std::string token = spnego_token(host);
  return token.empty() ? "" : "Negotiate " + base64_encode(Bytes(token.begin(), token.end()));
}

// Makes `count` tokens for HTTP@host on every core at once; false when one could not be made.
bool make_tokens(const std::string& host, long count, TokenPool* pool) {
  pool->tokens.assign(static_cast<std::size_t>(count), "");
  std::atomic<long> next{0};
  std::atomic<bool> failed{false};
  std::vector<std::thread> makers;
  for (unsigned i = 0; i < std::max(1u, std::thread::hardware_concurrency()); ++i)
    makers.emplace_back([&] {
      for (long n = next++; n < count && !failed; n = next++) {
        pool->tokens[static_cast<std::size_t>(n)] = kerberos_token(host);
        if (pool->tokens[static_cast<std::size_t>(n)].empty()) failed = true;
      }
    });
  for (std::thread& t : makers) t.join();
  return !failed;
}

// The agent's exchange under Kerberos: unauthenticated request, then the ticket. Returns the
// final answer's status, 0 when the exchange broke off before it.
int one_kerberos_login(asio::io_context& io, const tcp::resolver::results_type& server, const std::string& source,
                       const std::string& token, const std::string& target) {
  tcp::socket socket(io);
  if (!open_connection(socket, server, source)) return 0;
  beast::flat_buffer buffer;
  std::string offers;
  if (exchange(socket, buffer, target, "", &offers) != 401) return 0;
  const int status = exchange(socket, buffer, target, token, &offers);
  beast::error_code ec;
  socket.shutdown(tcp::socket::shutdown_both, ec);
  return status;
}

void client_loop(int index, const Settings& s, Clock::time_point deadline, TokenPool* tokens, Totals* totals) {
  asio::io_context io;
  tcp::resolver resolver(io);
  beast::error_code ec;
  const auto server = resolver.resolve(s.address, s.port, ec);
  if (ec) {
    totals->errors += kMaxErrorsPerClient;
    return;
  }
  NtlmCredentials credentials;
  utf8_to_utf16(s.user, &credentials.user);
  utf8_to_utf16(s.domain, &credentials.domain);
  credentials.workstation = u"BENCH" + std::u16string(1, static_cast<char16_t>(u'A' + index % 26));
  std::u16string password;
  utf8_to_utf16(s.password, &password);
  credentials.nt_hash = nt_hash(password);
  const std::string host = "bench" + std::to_string(index);
  // The process id keeps the names of one run apart from those of earlier runs.
  const std::string unique_prefix = host + "-" + std::to_string(getpid()) + "-";
  std::vector<double> latencies_ms;
  int errors = 0;
  for (long n = 0; Clock::now() < deadline && errors < kMaxErrorsPerClient; ++n) {
    const std::string name = s.unique_hosts ? unique_prefix + std::to_string(n) : host;
    const std::string source = source_address(s, index, n);
    const std::string target = "/tarnwise?action=login&hostname=" + name + "&persistent=1&domain=" + s.domain +
                               "&ip=" + client_address(s, index, n);
    const std::string* token = s.kerberos_host.empty() ? nullptr : tokens->take();
    if (!s.kerberos_host.empty() && token == nullptr) break;
    const auto started = Clock::now();
    const int status = token == nullptr ? one_login(io, server, source, credentials, target)
                                        : one_kerberos_login(io, server, source, *token, target);
    const bool ok = s.refused ? status != 0 && status != 200 : status == 200;
    if (status == 503) ++totals->unavailable;
    if (ok) {
      ++totals->logins;
      latencies_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - started).count());
    } else {
      ++errors;
      ++totals->errors;
    }
  }
  std::lock_guard<std::mutex> lock(totals->latencies_mutex);
  totals->latencies_ms.insert(totals->latencies_ms.end(), latencies_ms.begin(), latencies_ms.end());
}

// The median of the logins' times, 0 when there were none.
double median_ms(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t half = values.size() / 2;
  return values.size() % 2 ? values[half] : (values[half - 1] + values[half]) / 2;
}

// User and system time of this process so far, in milliseconds.
double cpu_ms() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// Reads one answer line from the helper; false when it ended.
bool read_line(int fd, std::string* pending, std::string* line) {
  for (;;) {
    const std::size_t end = pending->find('\n');
    if (end != std::string::npos) {
      *line = pending->substr(0, end);
      pending->erase(0, end + 1);
      return true;
    }
    char chunk[4096];
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) return false;
    pending->append(chunk, static_cast<std::size_t>(n));
  }
}

// One helper process asked one question at a time, as Squid asks a helper without concurrency,
// about the addresses the login clients report (or would report), in turn.
void helper_loop(int index, const Settings& s, Clock::time_point deadline, Totals* totals) {
  int to_helper[2];
  int from_helper[2];
  // Close-on-exec, so that no other loop's helper holds this one's input open.
  if (pipe2(to_helper, O_CLOEXEC) != 0 || pipe2(from_helper, O_CLOEXEC) != 0) {
    ++totals->lookup_errors;
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, to_helper[0], 0);
  posix_spawn_file_actions_adddup2(&actions, from_helper[1], 1);
  posix_spawn_file_actions_addclose(&actions, to_helper[1]);
  posix_spawn_file_actions_addclose(&actions, from_helper[0]);
  const std::string service = "http://" + s.address + ":" + s.port;
  std::vector<std::string> args = {s.helper, "--service", service};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const bool started = posix_spawn(&pid, s.helper.c_str(), &actions, nullptr, argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  close(to_helper[0]);
  close(from_helper[1]);
  std::string pending;
  const int spread = std::max(s.clients, 32);
  std::uint64_t random = 0x9E3779B97F4A7C15ull * static_cast<std::uint64_t>(index + 1);
  for (long n = 0; started && Clock::now() < deadline; ++n) {
    random ^= random << 13;
    random ^= random >> 7;
    random ^= random << 17;
    const std::string address = s.helper_map > 0 ? filled_address(static_cast<long>(random % s.helper_map))
                                                 : client_address(s, static_cast<int>((index + n) % spread), 0);
    const std::string question = address + (s.helper_groups.empty() ? "" : " " + s.helper_groups) + "\n";
    std::string answer;
    if (write(to_helper[1], question.data(), question.size()) != static_cast<ssize_t>(question.size()) ||
        !read_line(from_helper[0], &pending, &answer)) {
      ++totals->lookup_errors;
      break;
    }
    // Every address asked about has a user (in the groups asked): an answer without one is as wrong
    // as no answer.
    ++(answer.rfind("OK", 0) == 0 ? totals->lookups : totals->lookup_errors);
  }
  if (!started) ++totals->lookup_errors;
  close(to_helper[1]);
  close(from_helper[0]);
  if (started) waitpid(pid, nullptr, 0);
}

bool parse_settings(int argc, char** argv, Settings* s) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const std::string value = argv[i + 1];
    if (name == "--address") s->address = value;
    else if (name == "--port") s->port = value;
    else if (name == "--clients") s->clients = std::atoi(value.c_str());
    else if (name == "--seconds") s->seconds = std::atof(value.c_str());
    else if (name == "--helper") s->helper = value;
    else if (name == "--helper-loops") s->helper_loops = std::atoi(value.c_str());
    else if (name == "--helper-map") s->helper_map = std::atol(value.c_str());
    else if (name == "--helper-groups") s->helper_groups = value;
    else if (name == "--hosts" && (value == "unique" || value == "repeated")) s->unique_hosts = value == "unique";
    else if (name == "--kerberos") s->kerberos_host = value;
    else if (name == "--kerberos-tokens") s->kerberos_tokens = std::atol(value.c_str());
    else if (name == "--source") s->source = value;
    else if (name == "--sources") s->sources = value;
    else if (name == "--refused" && (value == "yes" || value == "no")) s->refused = value == "yes";
    else if (name == "--start-on-input" && (value == "yes" || value == "no")) s->start_on_input = value == "yes";
    else if (name == "--account") {
      const std::size_t slash = value.find('\\');
      const std::size_t colon = value.find(':');
      if (slash == std::string::npos || colon == std::string::npos || colon < slash) return false;
      s->domain = value.substr(0, slash);
      s->user = value.substr(slash + 1, colon - slash - 1);
      s->password = value.substr(colon + 1);
    } else {
      return false;
    }
  }
  const bool helpers_ok = s->helper_loops == 0 || !s->helper.empty();
  beast::error_code ec;
  if (!s->sources.empty()) asio::ip::make_address_v4(s->sources, ec);
  if (ec) return false;
  return argc % 2 == 1 && !s->port.empty() && (s->clients == 0 || !s->user.empty()) && s->clients >= 0 &&
         s->helper_loops >= 0 && s->clients + s->helper_loops > 0 && helpers_ok && s->seconds > 0 && s->kerberos_tokens > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!parse_settings(argc, argv, &settings)) {
    std::fprintf(stderr,
                 "usage: pellamor-load --port P --account 'DOMAIN\\user:password' [--address A] [--clients N] "
                 "[--seconds S] [--hosts repeated|unique] [--helper-loops N --helper PROGRAM [--helper-map ENTRIES] "
                 "[--helper-groups 'GROUP...']] "
                 "[--kerberos SERVICE-HOST [--kerberos-tokens N]] [--source ADDRESS | --sources FIRST-ADDRESS] "
                 "[--refused yes|no] [--start-on-input yes|no]\n");
    return 2;
  }
  TokenPool tokens;
  const double cpu_making = cpu_ms();
  if (!settings.kerberos_host.empty() && settings.clients > 0 &&
      !make_tokens(settings.kerberos_host, settings.kerberos_tokens, &tokens)) {
    std::fprintf(stderr, "pellamor-load: no Kerberos ticket for HTTP@%s\n", settings.kerberos_host.c_str());
    return 1;
  }
  const double token_cpu_ms = cpu_ms() - cpu_making;
  if (settings.start_on_input) {
    std::fprintf(stderr, "ready\n");
    std::fflush(stderr);
    std::string pending;
    std::string go;
    if (!read_line(0, &pending, &go)) return 1;
  }
  Totals totals;
  const double cpu_before = cpu_ms();
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(settings.seconds));
  std::vector<std::thread> clients;
  for (int i = 0; i < settings.clients; ++i) clients.emplace_back(client_loop, i, std::cref(settings), deadline, &tokens, &totals);
  for (int i = 0; i < settings.helper_loops; ++i)
    clients.emplace_back(helper_loop, i, std::cref(settings), deadline, &totals);
  for (std::thread& t : clients) t.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const long logins = totals.logins.load();
  // The client's own CPU time per login, helpers' lookups included: what the figure owes to this client.
  const double cpu_per_login = logins > 0 ? (cpu_ms() - cpu_before) / static_cast<double>(logins) : 0;
  std::printf("clients=%d logins=%ld errors=%ld seconds=%.2f logins_per_second=%.1f median_login_ms=%.2f "
              "client_cpu_ms_per_login=%.3f token_cpu_ms_each=%.3f unavailable=%ld helper_loops=%d lookups=%ld lookup_errors=%ld "
              "lookups_per_second=%.1f\n",
              settings.clients, logins, totals.errors.load(), elapsed, logins / elapsed, median_ms(totals.latencies_ms),
              cpu_per_login, tokens.tokens.empty() ? 0.0 : token_cpu_ms / static_cast<double>(tokens.tokens.size()), totals.unavailable.load(),
              settings.helper_loops, totals.lookups.load(), totals.lookup_errors.load(), totals.lookups.load() / elapsed);
  const bool logins_ok = settings.clients == 0 || (totals.logins.load() > 0 && totals.errors.load() == 0);
  const bool lookups_ok = settings.helper_loops == 0 || (totals.lookups.load() > 0 && totals.lookup_errors.load() == 0);
  return logins_ok && lookups_ok ? 0 : 1;
}
