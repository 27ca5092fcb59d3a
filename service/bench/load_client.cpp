// Load client for the logon service: concurrent agents doing the full NTLMv2 (or Kerberos) login, and Squid helpers
// asking who is where, counted per second.
#include <fcntl.h>
#include <gssapi/gssapi.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ntlm/ntlm_client.h"

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
  std::string kerberos_host;  // when set: Kerberos logins with a ticket for HTTP@host from KRB5CCNAME
};

struct Totals {
  std::atomic<long> logins{0};
  std::atomic<long> errors{0};
  std::atomic<long> lookups{0};
  std::atomic<long> lookup_errors{0};
};

// The address client `index` reports: the helper loops ask for those of repeated logins. Logins
// under new host names report others, so that each address asked about has one entry.
std::string client_address(int index, bool unique_hosts = false) {
  return (unique_hosts ? "198.51.100." : "192.0.2.") + std::to_string(index % 250 + 1);
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

// The agent's whole exchange: unauthenticated request, negotiate, authenticate.
bool one_login(asio::io_context& io, const tcp::resolver::results_type& server, const NtlmCredentials& credentials,
               const std::string& target) {
  tcp::socket socket(io);
  beast::error_code ec;
  asio::connect(socket, server, ec);
  if (ec) return false;
  beast::flat_buffer buffer;
  std::string challenge_header;
  if (exchange(socket, buffer, target, "", &challenge_header) != 401) return false;
  NtlmClient client(credentials);
  if (exchange(socket, buffer, target, "NTLM " + base64_encode(client.negotiate()), &challenge_header) != 401)
    return false;
  if (challenge_header.rfind("NTLM ", 0) != 0) return false;
  const std::optional<Bytes> challenge = base64_decode(challenge_header.substr(5));
  Bytes authenticate;
  std::string why;
  if (!challenge || !client.authenticate(*challenge, &authenticate, &why)) return false;
  std::string unused;
  const bool ok = exchange(socket, buffer, target, "NTLM " + base64_encode(authenticate), &unused) == 200;
  socket.shutdown(tcp::socket::shutdown_both, ec);
  return ok;
}

// A SPNEGO token for HTTP@host, as a browser or WinHTTP makes one: a fresh authenticator each time.
std::string kerberos_token(const std::string& host) {
  static gss_OID_desc spnego{6, const_cast<char*>("\x2b\x06\x01\x05\x05\x02")};
  const std::string service = "HTTP@" + host;
  gss_buffer_desc service_name{service.size(), const_cast<char*>(service.data())};
  OM_uint32 minor = 0;
  gss_name_t name = GSS_C_NO_NAME;
  if (GSS_ERROR(gss_import_name(&minor, &service_name, GSS_C_NT_HOSTBASED_SERVICE, &name))) return "";
  gss_ctx_id_t context = GSS_C_NO_CONTEXT;
  gss_buffer_desc output{0, nullptr};
  const OM_uint32 major = gss_init_sec_context(&minor, GSS_C_NO_CREDENTIAL, &context, name, &spnego, GSS_C_MUTUAL_FLAG,
                                               0, GSS_C_NO_CHANNEL_BINDINGS, GSS_C_NO_BUFFER, nullptr, &output,
                                               nullptr, nullptr);
  std::string token;
  if (!GSS_ERROR(major) && output.length > 0) {
    const auto* data = static_cast<const std::uint8_t*>(output.value);
    token = "Negotiate " + base64_encode(Bytes(data, data + output.length));
  }
  gss_release_buffer(&minor, &output);
  gss_delete_sec_context(&minor, &context, GSS_C_NO_BUFFER);
  gss_release_name(&minor, &name);
  return token;
}

// The agent's exchange under Kerberos: unauthenticated request, then the ticket.
bool one_kerberos_login(asio::io_context& io, const tcp::resolver::results_type& server, const std::string& host,
                        const std::string& target) {
  tcp::socket socket(io);
  beast::error_code ec;
  asio::connect(socket, server, ec);
  if (ec) return false;
  beast::flat_buffer buffer;
  std::string offers;
  if (exchange(socket, buffer, target, "", &offers) != 401) return false;
  const std::string token = kerberos_token(host);
  const bool ok = !token.empty() && exchange(socket, buffer, target, token, &offers) == 200;
  socket.shutdown(tcp::socket::shutdown_both, ec);
  return ok;
}

void client_loop(int index, const Settings& s, Clock::time_point deadline, Totals* totals) {
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
  const std::string query = "&persistent=1&domain=" + s.domain + "&ip=" + client_address(index, s.unique_hosts);
  int errors = 0;
  for (long n = 0; Clock::now() < deadline && errors < kMaxErrorsPerClient; ++n) {
    const std::string name = s.unique_hosts ? unique_prefix + std::to_string(n) : host;
    const std::string target = "/tarnwise?action=login&hostname=" + name + query;
    const bool ok = s.kerberos_host.empty() ? one_login(io, server, credentials, target)
                                            : one_kerberos_login(io, server, s.kerberos_host, target);
    if (ok) {
      ++totals->logins;
    } else {
      ++errors;
      ++totals->errors;
    }
  }
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
  for (long n = 0; started && Clock::now() < deadline; ++n) {
    const std::string question = client_address(static_cast<int>((index + n) % spread)) + "\n";
    std::string answer;
    if (write(to_helper[1], question.data(), question.size()) != static_cast<ssize_t>(question.size()) ||
        !read_line(from_helper[0], &pending, &answer)) {
      ++totals->lookup_errors;
      break;
    }
    ++(answer.rfind("BH", 0) == 0 ? totals->lookup_errors : totals->lookups);
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
    else if (name == "--hosts" && (value == "unique" || value == "repeated")) s->unique_hosts = value == "unique";
    else if (name == "--kerberos") s->kerberos_host = value;
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
  return argc % 2 == 1 && !s->port.empty() && (s->clients == 0 || !s->user.empty()) && s->clients >= 0 &&
         s->helper_loops >= 0 && s->clients + s->helper_loops > 0 && helpers_ok && s->seconds > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!parse_settings(argc, argv, &settings)) {
    std::fprintf(stderr,
                 "usage: pellamor-load --port P --account 'DOMAIN\\user:password' [--address A] [--clients N] "
                 "[--seconds S] [--hosts repeated|unique] [--helper-loops N --helper PROGRAM] [--kerberos SERVICE-HOST]\n");
    return 2;
  }
  Totals totals;
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(settings.seconds));
  std::vector<std::thread> clients;
  for (int i = 0; i < settings.clients; ++i) clients.emplace_back(client_loop, i, std::cref(settings), deadline, &totals);
  for (int i = 0; i < settings.helper_loops; ++i)
    clients.emplace_back(helper_loop, i, std::cref(settings), deadline, &totals);
  for (std::thread& t : clients) t.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("clients=%d logins=%ld errors=%ld seconds=%.2f logins_per_second=%.1f helper_loops=%d lookups=%ld "
              "lookup_errors=%ld lookups_per_second=%.1f\n",
              settings.clients, totals.logins.load(), totals.errors.load(), elapsed, totals.logins.load() / elapsed,
              settings.helper_loops, totals.lookups.load(), totals.lookup_errors.load(), totals.lookups.load() / elapsed);
  const bool logins_ok = settings.clients == 0 || (totals.logins.load() > 0 && totals.errors.load() == 0);
  const bool lookups_ok = settings.helper_loops == 0 || (totals.lookups.load() > 0 && totals.lookup_errors.load() == 0);
  return logins_ok && lookups_ok ? 0 : 1;
}
