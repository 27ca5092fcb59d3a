// Load client for the logon service: many concurrent agents doing the full NTLMv2 (or Kerberos) login, counted per second.
#include <gssapi/gssapi.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ntlm_client.h"

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
  std::string kerberos_host;  // when set: Kerberos logins with a ticket for HTTP@host from KRB5CCNAME
};

struct Totals {
  std::atomic<long> logins{0};
  std::atomic<long> errors{0};
};

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
  const std::string query = "&persistent=1&domain=" + s.domain + "&ip=192.0.2." + std::to_string(index % 250 + 1);
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

bool parse_settings(int argc, char** argv, Settings* s) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const std::string value = argv[i + 1];
    if (name == "--address") s->address = value;
    else if (name == "--port") s->port = value;
    else if (name == "--clients") s->clients = std::atoi(value.c_str());
    else if (name == "--seconds") s->seconds = std::atof(value.c_str());
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
  return argc % 2 == 1 && !s->port.empty() && !s->user.empty() && s->clients > 0 && s->seconds > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!parse_settings(argc, argv, &settings)) {
    std::fprintf(stderr,
                 "usage: pellamor-load --port P --account 'DOMAIN\\user:password' [--address A] [--clients N] "
                 "[--seconds S] [--hosts repeated|unique] [--kerberos SERVICE-HOST]\n");
    return 2;
  }
  Totals totals;
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(settings.seconds));
  std::vector<std::thread> clients;
  for (int i = 0; i < settings.clients; ++i) clients.emplace_back(client_loop, i, std::cref(settings), deadline, &totals);
  for (std::thread& t : clients) t.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("clients=%d logins=%ld errors=%ld seconds=%.2f logins_per_second=%.1f\n", settings.clients,
              totals.logins.load(), totals.errors.load(), elapsed, totals.logins.load() / elapsed);
  return totals.logins.load() > 0 && totals.errors.load() == 0 ? 0 : 1;
}
