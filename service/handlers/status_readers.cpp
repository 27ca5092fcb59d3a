// Who may read the status views, which tell who is logged on where: loopback and --status-allow at
// once, members of the administrators' group once they log on as agents do, nobody else.
#include "handlers/status_readers.h"

#include "common/address.h"
#include "common/text.h"
#include "ntlm/ntlm_server.h"

ReadersOnly::ReadersOnly(const StatusAccess& access, const Options& options, Handler& view)
    : access_(access),
      options_(options),
      view_(view),
      names_(options.service_names.empty() ? default_service_names() : options.service_names) {}

Outcome ReadersOnly::misdirected(const Exchange& exchange) const {
  // A proxy connects from its own address, loopback or a listed network as likely as not: what it
  // forwards comes from its users, whom that address says nothing of. Only a trusted relay's pass.
  const std::string proxy = proxy_sign(exchange.request);
  if (!proxy.empty() && !options_.trusted_relays.contains(exchange.connection.peer_address))
    return Outcome::refusal(Outcome::Kind::Refused,
                            "a request a proxy forwarded (" + proxy + ") from " + exchange.connection.peer_address +
                                ", which is no --trusted-relay",
                            RefusalCause::Forwarded);
  return other_site(exchange.request, names_);
}

Outcome other_site(const HttpRequest& request, const std::vector<std::string>& names) {
  // A page of another site whose name is made to resolve to this service's address (DNS
  // rebinding) reads the service's pages as its own: its requests name that site. An address or
  // localhost names no other site.
  if (!request.host) return Outcome{};
  const std::string host = host_of(*request.host);
  if (host == "localhost" || !canonical_address(host).empty()) return Outcome{};
  for (const std::string& name : names) {
    if (equal_ignoring_case(host, name)) return Outcome{};
  }
  return Outcome::refusal(Outcome::Kind::Refused,
                          "a request for " + host.substr(0, 100) + ", which is none of the service's names "
                          "(--service-name)", RefusalCause::OtherHost);
}

void ReadersOnly::handle(const Exchange& exchange, ReplyCallback respond) {
  RequestRecord& record = *exchange.record;
  Outcome wrong_place = misdirected(exchange);
  if (wrong_place.kind != Outcome::Kind::Unset) {
    const bool proxied = wrong_place.cause == RefusalCause::Forwarded;
    record.outcome = std::move(wrong_place);
    report_request(record, "refused: status pages");
    return respond(text_reply(403, proxied ? "the status pages answer no request that a proxy forwarded\n"
                                           : "the status pages answer requests for the service's names only\n"));
  }
  if (access_.open_to(exchange.connection.peer_address)) return view_.handle(exchange, std::move(respond));
  const std::string open = access_.open_text();
  if (!access_.admits_logons()) {
    record.outcome = Outcome::refusal(Outcome::Kind::Refused, "the status pages answer " + open +
                                                                  " only (--status-allow, --lookup-allow), not " +
                                                                  exchange.connection.peer_address);
    report_request(record, "refused: status pages");
    return respond(text_reply(403, "the status pages answer " + open + " only\n"));
  }
  if (!exchange.request.authorization) {
    record.outcome = Outcome::of(Outcome::Kind::Challenge);
    Reply reply = exchange.connection.auth.challenge();
    reply.body = "the status pages answer members of " + access_.group_name() + " and " + open + "\n";
    return respond(std::move(reply));
  }
  exchange.connection.auth.authenticate(
      *exchange.request.authorization, std::move(respond),
      [this, exchange](Authentication handshake, ReplyCallback respond) {
        const std::optional<Identity> who = settle_handshake(std::move(handshake), *exchange.record, respond);
        if (who) admit(*who, exchange, std::move(respond));
      });
}

void ReadersOnly::admit(const Identity& who, const Exchange& exchange, ReplyCallback respond) {
  RequestRecord& record = *exchange.record;
  record.user = who.user;
  record.domain = who.domain;
  record.authenticated = true;
  if (access_.admits(who.groups)) return view_.handle(exchange, std::move(respond));
  const std::string name = qualified_name(who.domain, who.user);
  record.outcome = Outcome::refusal(
      Outcome::Kind::Refused, name + " is not a member of " + access_.group_name() + ", who may read the status pages");
  report_request(record, "refused: status pages");
  respond(text_reply(403, name + " may not read the status pages: they answer members of " + access_.group_name() +
                              "\n"));
}
