// What the service's handlers see of a request, and what each of them is: one endpoint's answer.
#include "handlers/handler.h"

#include "common/diagnostics.h"

Reply map_unavailable(const std::string& why) {
  Reply reply = text_reply(503, why);
  reply.headers.push_back("Retry-After: 10");
  return reply;
}

Reply read_failed(const MapPage& page, RequestRecord& record) {
  report_limited("error: the user map cannot be read", page.failure.message());
  record.outcome = Outcome::of(Outcome::Kind::Error, page.failure.message());
  return page.failure.transient() ? map_unavailable("the user map cannot be reached; try again later")
                                  : text_reply(500, "the user map cannot be read");
}

std::optional<Identity> settle_handshake(Authentication handshake, RequestRecord& record, ReplyCallback& respond) {
  record.authorization = handshake.authorization;
  if (handshake.user) record.user = handshake.user;
  if (handshake.domain) record.domain = handshake.domain;
  if (handshake.proven) return handshake.proven;
  record.outcome = std::move(handshake.outcome);
  if (!handshake.report_kind.empty()) report_request(record, handshake.report_kind);
  respond(std::move(handshake.reply));
  return std::nullopt;
}

void name_groups(GroupNames& names, const Identity& who, std::function<void(Identity named)> then) {
  if (who.groups.empty()) return then(who);
  names.name(who.groups, [who, then = std::move(then)](std::vector<std::string> group_names) {
    Identity named = who;
    named.group_names = std::move(group_names);
    then(std::move(named));
  });
}

std::vector<EntryGroup> entry_groups(const Identity& who) {
  std::vector<EntryGroup> groups;
  for (std::size_t i = 0; i < who.groups.size(); ++i)
    groups.push_back(EntryGroup{who.groups[i], i < who.group_names.size() ? who.group_names[i] : ""});
  return groups;
}
