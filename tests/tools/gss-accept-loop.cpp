// Benchmark helper: what MIT Kerberos' GSSAPI alone makes of SPNEGO tokens for HTTP@host, the
// limit of the service's Kerberos logons on the same machine.
//
//   gss-accept-loop HOST ready THREADS TOKENS     makes TOKENS tokens first, then times only
//                                                 accepting them, on THREADS threads
//   gss-accept-loop HOST together THREADS SECONDS each thread makes a token and accepts it, again
//                                                 and again, as a client and the service on one machine
//
// The client's ticket comes from KRB5CCNAME, the service's keys from KRB5_KTNAME. Prints
// "accepts_per_second=N"; exits 1 when a token is not made or not accepted.
#include <gssapi/gssapi.h>
#include <krb5.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "spnego_token.h"

namespace {

using Clock = std::chrono::steady_clock;

// Accepts one token and reads the client's name, as the service does; false when it is refused.
bool accept_token(const std::string& token) {
  OM_uint32 minor = 0;
  gss_ctx_id_t context = GSS_C_NO_CONTEXT;
  gss_buffer_desc input{token.size(), const_cast<char*>(token.data())};
  gss_buffer_desc output{0, nullptr};
  gss_name_t client = GSS_C_NO_NAME;
  const OM_uint32 major = gss_accept_sec_context(&minor, &context, GSS_C_NO_CREDENTIAL, &input, GSS_C_NO_CHANNEL_BINDINGS,
                                                 &client, nullptr, &output, nullptr, nullptr, nullptr);
  gss_buffer_desc client_name{0, nullptr};
  const bool accepted = major == GSS_S_COMPLETE && !GSS_ERROR(gss_display_name(&minor, client, &client_name, nullptr));
  gss_release_buffer(&minor, &client_name);
  gss_release_name(&minor, &client);
  gss_release_buffer(&minor, &output);
  gss_delete_sec_context(&minor, &context, GSS_C_NO_BUFFER);
  return accepted;
}

// Runs `work(thread)` on `threads` threads and returns the seconds they took together.
template <typename Work>
double on_threads(int threads, Work work) {
  const auto start = Clock::now();
  std::vector<std::thread> running;
  for (int i = 0; i < threads; ++i) running.emplace_back(work, i);
  for (std::thread& t : running) t.join();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool ready(const std::string& host, int threads, long count, double* per_second) {
  std::vector<std::string> tokens(static_cast<std::size_t>(count));
  std::atomic<long> next{0};
  std::atomic<bool> failed{false};
  on_threads(threads, [&](int) {
    for (long n = next++; n < count && !failed; n = next++)
      if ((tokens[static_cast<std::size_t>(n)] = spnego_token(host)).empty()) failed = true;
  });
  next = 0;
  const double seconds = on_threads(threads, [&](int) {
    for (long n = next++; n < count && !failed; n = next++)
      if (!accept_token(tokens[static_cast<std::size_t>(n)])) failed = true;
  });
  *per_second = static_cast<double>(count) / seconds;
  return !failed;
}

bool together(const std::string& host, int threads, double seconds, double* per_second) {
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::atomic<long> accepted{0};
  std::atomic<bool> failed{false};
  const double took = on_threads(threads, [&](int) {
    while (Clock::now() < deadline && !failed) {
      if (accept_token(spnego_token(host))) ++accepted;
      else failed = true;
    }
  });
  *per_second = static_cast<double>(accepted.load()) / took;
  return !failed;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 5 ? argv[2] : "";
  const int threads = argc == 5 ? std::atoi(argv[3]) : 0;
  if ((mode != "ready" && mode != "together") || threads < 1 || std::atof(argv[4]) <= 0) {
    std::fprintf(stderr, "usage: gss-accept-loop HOST ready THREADS TOKENS | HOST together THREADS SECONDS\n");
    return 2;
  }
  // As the service does: a context held meanwhile keeps the library's configuration read.
  krb5_context held = nullptr;
  if (krb5_init_context(&held) != 0) {
    std::fprintf(stderr, "gss-accept-loop: cannot read the Kerberos configuration\n");
    return 1;
  }
  double per_second = 0;
  const bool ok = mode == "ready" ? ready(argv[1], threads, std::atol(argv[4]), &per_second)
                                  : together(argv[1], threads, std::atof(argv[4]), &per_second);
  std::printf("accepts_per_second=%.1f\n", per_second);
  if (!ok) std::fprintf(stderr, "gss-accept-loop: a token for HTTP@%s was not made or not accepted\n", argv[1]);
  krb5_free_context(held);
  return ok ? 0 : 1;
}
