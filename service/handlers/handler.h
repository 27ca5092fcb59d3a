// What the service's handlers see of a request, and what each of them is: one endpoint's answer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "auth/authenticator.h"
#include "http/reply_callback.h"
#include "http/request.h"
#include "requests/request_record.h"
#include "usermap/user_map.h"
#include "verify/group_names.h"

// One TCP connection as the handlers see it: who is at the other end, and its authenticator.
struct ClientConnection {
  ClientConnection(std::uint64_t id, std::string peer, std::string peer_address, Verification& verification)
      : id(id), peer(std::move(peer)), peer_address(std::move(peer_address)), auth(verification, this->peer_address) {}

  const std::uint64_t id;
  const std::string peer;          // "ip:port"
  const std::string peer_address;  // "ip"
  std::uint64_t requests = 0;
  Authenticator auth;
};

// One request on its way through the service. The connection reads nothing more until the
// request is answered, so it outlives the handler's work.
struct Exchange {
  HttpRequest request;
  ClientConnection& connection;
  std::shared_ptr<RequestRecord> record;  // its line in the request log, with the decoded parameters
};

class Handler {
 public:
  virtual ~Handler() = default;
  // Answers through `respond`, exactly once, when its work is done: at once, or on the thread
  // that did the work (a verification, the user map's writer or one of its readers).
  virtual void handle(const Exchange& exchange, ReplyCallback respond) = 0;
};

// 503 for a user map whose store cannot be reached for now (a database server that is down or
// too busy): the same request may succeed in a while.
Reply map_unavailable(const std::string& why);

// The answer to a read of the map that failed (503 when it may succeed later), noted in the record
// and on stderr.
Reply read_failed(const MapPage& page, RequestRecord& record);

// Notes in the request's record what its handshake came to and, unless the handshake proved a user,
// answers with the handshake's own reply. The user proven, if any.
std::optional<Identity> settle_handshake(Authentication handshake, RequestRecord& record, ReplyCallback& respond);

// Calls `then` with `who` and the directory's names of its groups: at once when there are none to
// name or every name is remembered, otherwise on the directory's thread. A logon never fails for a
// name: an unnamed group is kept by its SID alone.
void name_groups(GroupNames& names, const Identity& who, std::function<void(Identity named)> then);

// The groups of `who` as a map entry keeps them.
std::vector<EntryGroup> entry_groups(const Identity& who);
