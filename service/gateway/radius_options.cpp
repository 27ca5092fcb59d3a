// pellamor-radius's command line and its shared secret file.
#include "gateway/radius_options.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kUsage =
    "Usage: pellamor-radius --service http://HOST:PORT [--service URL]... --server HOST:PORT\n"
    "                       [--server HOST:PORT]... --secret-file FILE [options]\n"
    "\n"
    "Follows the Pellamor user map's changes and sends them to RADIUS accounting servers, for\n"
    "firewalls that learn who is at an address that way: an Accounting Start when an address is\n"
    "credited to a user, an Interim-Update at each heartbeat, a Stop when the credit ends.\n"
    "\n"
    "  --service URL          a logon service; give each service that shares the map, the next\n"
    "                         is asked when one fails\n"
    "  --server HOST:PORT     a RADIUS accounting server (port 1813 as a rule); up to 8, each\n"
    "                         tried in turn when the one before does not answer\n"
    "  --secret-file FILE     the shared secret, the file's first line; not readable by others\n"
    "  --nas-identifier NAME  the NAS-Identifier the records carry, default this host's name\n"
    "  --timeout SECONDS      wait for one server's answer, default 3 (1 to 60)\n"
    "  --retries N            tries at one server before the next, default 3 (1 to 10)\n"
    "  --help                 this text\n"
    "  --version              the program's version\n";

constexpr std::size_t kMaxServers = 8;  // as many as radcli holds

bool parse_number(const std::string& text, int low, int high, int* out) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < low || value > high) return false;
  *out = static_cast<int>(value);
  return true;
}

// "HOST:PORT" or "[v6]:PORT", with nothing in it that radcli's list of servers would split.
bool valid_server(const std::string& text) {
  const std::size_t colon = text.rfind(':');
  int port = 0;
  if (colon == std::string::npos || colon == 0 || !parse_number(text.substr(colon + 1), 1, 65535, &port)) return false;
  const std::string host = text.substr(0, colon);
  const bool bracketed = host.front() == '[' && host.back() == ']' && host.size() > 2;
  return host.find_first_of(bracketed ? ", \t" : ":, \t") == std::string::npos;
}

// An empty text when the value is good, else what is wrong with it.
std::string take_value(const std::string& name, const std::string& value, RadiusOptions* options) {
  if (name == "--service") {
    ServiceAddress service;
    std::string error;
    if (!parse_service_url(value, &service, &error)) return error;
    options->services.push_back(service);
  } else if (name == "--server") {
    if (!valid_server(value)) return "expects HOST:PORT, not \"" + value + "\"";
    if (options->radius.servers.size() == kMaxServers) return "is given more than 8 times";
    options->radius.servers.push_back(value);
  } else if (name == "--secret-file") {
    options->secret_file = value;
  } else if (name == "--nas-identifier") {
    if (value.empty()) return "expects a name";
    options->radius.nas_identifier = value;
  } else if (name == "--timeout") {
    if (!parse_number(value, 1, 60, &options->radius.timeout_seconds)) return "expects 1 to 60, not \"" + value + "\"";
  } else if (!parse_number(value, 1, 10, &options->radius.retries)) {
    return "expects 1 to 10, not \"" + value + "\"";
  }
  return {};
}

bool valued(const std::string& name) {
  for (const char* known : {"--service", "--server", "--secret-file", "--nas-identifier", "--timeout", "--retries"})
    if (name == known) return true;
  return false;
}

int complain(const std::string& text) {
  std::fprintf(stderr, "pellamor-radius: %s\n", text.c_str());
  return 2;
}

std::string missing_option(const RadiusOptions& options) {
  if (options.services.empty()) return "--service";
  if (options.radius.servers.empty()) return "--server";
  if (options.secret_file.empty()) return "--secret-file";
  return {};
}

std::string host_name() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "pellamor-radius";
  return name;
}

}  // namespace

int parse_radius_command_line(int argc, char** argv, RadiusOptions* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--help" || name == "-h" || name == "--version") {
      std::fputs(name == "--version" ? "pellamor-radius " PELLAMOR_VERSION "\n" : kUsage, stdout);
      return 1;
    }
    if (!valued(name)) return complain("unknown option \"" + name + "\" (see --help)");
    if (i + 1 >= argc) return complain(name + " needs a value");
    const std::string wrong = take_value(name, argv[++i], options);
    if (!wrong.empty()) return complain(name + " " + wrong);
  }
  const std::string missing = missing_option(*options);
  if (!missing.empty()) return complain(missing + " is needed (see --help)");
  if (options->radius.nas_identifier.empty()) options->radius.nas_identifier = host_name();
  return 0;
}

Failure read_secret_file(const std::string& path, std::string* secret) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Failure::internal(std::string("cannot open it: ") + std::strerror(errno), path);
  struct stat info {};
  std::string text(4096, '\0');
  const bool stated = fstat(fd, &info) == 0;
  const ssize_t n = stated && (info.st_mode & S_IROTH) == 0 ? read(fd, &text[0], text.size()) : -1;
  close(fd);
  if (stated && (info.st_mode & S_IROTH) != 0) return Failure::refused("others may read it (chmod o-r)", path);
  if (n < 0) return Failure::internal("cannot read it", path);
  text.resize(static_cast<std::size_t>(n));
  *secret = text.substr(0, text.find_first_of("\r\n"));
  if (secret->empty()) return Failure::refused("its first line is empty", path);
  // radcli's list of servers holds the secret; a blank or a comma in it would split the list.
  if (secret->find_first_of(", \t") != std::string::npos)
    return Failure::refused("the secret holds a blank or a comma, which this client cannot send", path);
  return {};
}
