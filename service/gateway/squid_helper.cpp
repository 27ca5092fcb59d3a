// Entry point of pellamor-squid-helper: answers Squid's external ACL questions "who is at this address?" from the logon service.
#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "gateway/helper_protocol.h"
#include "common/line_limiter.h"
#include "gateway/lookup_client.h"

namespace {

constexpr const char* kUsage =
    "Usage: pellamor-squid-helper [--service http://HOST:PORT]... [--timeout SECONDS]\n"
    "\n"
    "A Squid external ACL helper. Squid writes one line per question, \"[channel-ID] ADDRESS\n"
    "[GROUP...]\" (FORMAT %SRC, or %SRC %DATA with the acl's groups: DOMAIN\\Name, Name of the\n"
    "service's domain, or a SID; the channel ID comes with the concurrency= option); the helper\n"
    "asks the Pellamor logon service who is logged on at ADDRESS and answers one line:\n"
    "  OK user=\"DOMAIN\\\\name\"   the most recently seen authenticated entry at ADDRESS\n"
    "     [group=\"GROUP\"]        ... in GROUP, the first of those asked that it is in\n"
    "  ERR message=\"...\"          nobody is logged on at ADDRESS (or it is not an address),\n"
    "                             or the user there is in none of the groups asked\n"
    "  BH message=\"...\"           the service could not be asked (down, time-out, bad reply)\n"
    "\n"
    "  --service URL      a logon service, default http://127.0.0.1:8080; give it once for each\n"
    "                     service that shares the map: when one fails, the next is asked\n"
    "  --timeout SECONDS  longest wait for one answer, default 2 (0.05 to 60), shared among\n"
    "                     the services asked for it\n"
    "  --help             this text\n"
    "  --version          the program's version\n";

struct HelperOptions {
  std::vector<ServiceAddress> services;  // none given: http://127.0.0.1:8080
  int timeout_ms = 2000;
};

// Lines on stderr, which Squid keeps in its cache.log: a service that is down would otherwise
// write one for every question. At most 10 of a kind a minute; then how many were left out.
class HelperLog {
 public:
  void write(const std::string& kind, const std::string& line) {
    std::vector<std::string> lines;
    limiter_.collect(now(), false, &lines);
    if (limiter_.admit(kind, now(), &lines)) lines.push_back(line);
    print(lines);
  }
  // What was left out, when the helper ends.
  void finish() {
    std::vector<std::string> lines;
    limiter_.collect(now(), true, &lines);
    print(lines);
  }

 private:
  static std::int64_t now() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  static void print(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) std::fprintf(stderr, "pellamor-squid-helper: %s\n", line.c_str());
    if (!lines.empty()) std::fflush(stderr);
  }

  LineLimiter limiter_{10, 60, 4};
};

bool parse_timeout(const std::string& text, int* out) {
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(seconds >= 0.05 && seconds <= 60)) return false;
  *out = static_cast<int>(seconds * 1000);
  return true;
}

// 0: run, 1: help or version shown, 2: bad command line (reported).
int parse_command_line(int argc, char** argv, HelperOptions* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--help" || name == "-h" || name == "--version") {
      std::fputs(name == "--version" ? "pellamor-squid-helper " PELLAMOR_VERSION "\n" : kUsage, stdout);
      return 1;
    }
    const bool valued = name == "--service" || name == "--timeout";
    if (!valued || i + 1 >= argc) {
      std::fprintf(stderr, "pellamor-squid-helper: %s\n",
                   (valued ? name + " needs a value" : "unknown option \"" + name + "\" (see --help)").c_str());
      return 2;
    }
    const std::string value = argv[++i];
    std::string error = "--timeout expects seconds from 0.05 to 60, not \"" + value + "\"";
    ServiceAddress service;
    const bool ok = name == "--service" ? parse_service_url(value, &service, &error)
                                        : parse_timeout(value, &options->timeout_ms);
    if (ok && name == "--service") options->services.push_back(service);
    if (!ok) {
      std::fprintf(stderr, "pellamor-squid-helper: %s%s\n", name == "--service" ? "--service " : "", error.c_str());
      return 2;
    }
  }
  return 0;
}

bool numeric_address(const std::string& text) {
  unsigned char bytes[16];
  return inet_pton(AF_INET, text.c_str(), bytes) == 1 || inet_pton(AF_INET6, text.c_str(), bytes) == 1;
}

std::string answer(const HelperRequest& request, const HelperOptions& options, LookupClient* services,
                   HelperLog* log) {
  if (!numeric_address(request.address)) return answer_err(request, "not an address");
  std::string body;
  std::vector<std::string> notes;
  // The lookup answers with the entry credited at the address that was seen last.
  const Failure unasked = services->get(lookup_target(request), options.timeout_ms, &body, &notes);
  for (const std::string& note : notes) log->write("failed over", note);
  if (!unasked.ok()) {
    log->write("no answer", request.address + ": " + unasked.why);
    return answer_bh(request, unasked.message());
  }
  const std::optional<FoundUser> found = user_from_status(body);
  if (!found) {
    log->write("unreadable answer", request.address + ": unreadable status document");
    return answer_bh(request, "logon service: unreadable status document");
  }
  if (!found->found) return answer_err(request, "nobody is logged on at " + request.address);
  if (!request.groups.empty() && found->group.empty())
    return answer_err(request, found->name + " is in none of the groups asked");
  return answer_ok(request, found->name, found->group);
}

}  // namespace

int main(int argc, char** argv) {
  HelperOptions options;
  const int parsed = parse_command_line(argc, argv, &options);
  if (parsed != 0) return parsed == 1 ? 0 : 2;
  if (options.services.empty())
    options.services.push_back(ServiceAddress{"127.0.0.1", "8080", "http://127.0.0.1:8080"});
  LookupClient services(options.services);
  HelperLog log;
  std::string line;
  while (std::getline(std::cin, line)) {
    const std::string reply = answer(parse_helper_line(line), options, &services, &log) + "\n";
    std::fputs(reply.c_str(), stdout);
    std::fflush(stdout);
  }
  log.finish();
  return 0;
}
