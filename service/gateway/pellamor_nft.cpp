// Entry point of pellamor-nft: keeps a gateway's nftables sets of logged-on users' addresses from the logon services' change feed.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/text.h"
#include "gateway/feed_client.h"
#include "gateway/nft_ruleset.h"
#include "gateway/nft_sets.h"

namespace {

constexpr const char* kUsage =
    "Usage: pellamor-nft [--service http://HOST:PORT]... [--group NAME=GROUP]...\n"
    "\n"
    "Follows the Pellamor logon services' change feed and keeps the nftables table inet pellamor:\n"
    "its set users holds every IPv4 address a user is logged on at, each until that logon expires,\n"
    "and a set NAME for each --group the addresses of that group's members. The site's own chains\n"
    "and rules in the table match them (ip saddr @users accept); pellamor-nft touches nothing else.\n"
    "\n"
    "  --service URL       a logon service, default http://127.0.0.1:8080; give it once for each\n"
    "                      service that shares the map: when one fails, the next is asked\n"
    "  --group NAME=GROUP  keep set NAME of the members of GROUP, a SID or DOMAIN\\Name\n"
    "  --help              this text\n"
    "  --version           the program's version\n";

// How long a service may hold a request for changes; below its idle time-out (30 s).
constexpr int kWaitSeconds = 25;

struct NftOptions {
  std::vector<ServiceAddress> services;
  std::vector<GroupSet> groups;
};

void say(const std::string& line) {
  std::fprintf(stderr, "pellamor-nft: %s\n", line.c_str());
  std::fflush(stderr);
}

// 0: run, 1: help or version shown, 2: bad command line (reported).
int parse_command_line(int argc, char** argv, NftOptions* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--help" || name == "--version") {
      std::printf("%s", name == "--help" ? kUsage : "pellamor-nft " PELLAMOR_VERSION "\n");
      return 1;
    }
    const bool takes_value = name == "--service" || name == "--group";
    if (!takes_value || i + 1 >= argc) {
      say(takes_value ? name + " needs a value" : "unknown option " + name + " (see --help)");
      return 2;
    }
    const std::string value = argv[++i];
    std::string error;
    ServiceAddress service;
    GroupSet group;
    if (name == "--service" && parse_service_url(value, &service, &error)) {
      options->services.push_back(service);
    } else if (name == "--group" && parse_group_set(value, &group)) {
      options->groups.push_back(group);
    } else {
      say(name + " " + (error.empty() ? "expects NAME=GROUP, NAME letters, digits and _ (not users), not \"" + value + "\""
                                      : error));
      return 2;
    }
  }
  if (options->services.empty()) options->services.push_back(ServiceAddress{"127.0.0.1", "8080", "http://127.0.0.1:8080"});
  return 0;
}

std::int64_t now_seconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The sets as the snapshot has them: made when missing, then listed, then brought there at once.
bool resync(NftRuleset& ruleset, NftSets& sets, const std::vector<FeedEntry>& snapshot, std::string* error) {
  if (!ruleset.run(sets.declarations(), error)) return false;
  std::map<std::string, std::set<std::string>> present;
  for (const std::string& set : sets.set_names()) {
    if (!ruleset.elements(kNftTable, set, &present[set], error)) return false;
  }
  return ruleset.run(sets.resync(snapshot, present, now_seconds()), error);
}

bool apply(NftRuleset& ruleset, NftSets& sets, const FeedUpdate& update, std::string* error) {
  if (update.snapshot) {
    // How long nftables took, which a large site weighs against its own loads of the sets.
    const auto started = std::chrono::steady_clock::now();
    if (!resync(ruleset, sets, update.entries, error)) return false;
    const auto taken = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", static_cast<double>(taken.count()) / 1000);
    say("in step with the map: " + std::to_string(update.entries.size()) + " credited addresses (the sets updated in " +
        seconds + " s)");
    return true;
  }
  const std::string commands = sets.apply(update.events, now_seconds());
  return commands.empty() || ruleset.run(commands, error);
}

// Follows the feed until the program is stopped. A service that cannot be reached is asked again
// after a pause; the sets keep their elements meanwhile, each until its logon would have expired.
void follow(const NftOptions& options) {
  FeedClient feed(options.services);
  NftRuleset ruleset;
  NftSets sets(options.groups);
  int pause = 1;
  for (;;) {
    FeedUpdate update;
    std::vector<std::string> notes;
    const Failure failure = feed.next(kWaitSeconds, &update, &notes);
    for (const std::string& note : notes) say(note);
    std::string error;
    if (failure.ok() && apply(ruleset, sets, update, &error)) {
      pause = 1;
      continue;
    }
    if (failure.ok()) {
      say("cannot update the sets: " + clip(error, 1000) + "; taking a new snapshot");
      feed.restart();
    } else {
      say(failure.message() + "; asking again in " + std::to_string(pause) + " s");
    }
    std::this_thread::sleep_for(std::chrono::seconds(pause));
    pause = std::min(pause * 2, 30);
  }
}

}  // namespace

int main(int argc, char** argv) {
  NftOptions options;
  const int parsed = parse_command_line(argc, argv, &options);
  if (parsed != 0) return parsed == 1 ? 0 : 2;
  follow(options);
}
