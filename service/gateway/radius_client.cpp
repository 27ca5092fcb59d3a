// The RADIUS accounting client: records sent to the servers through radcli, with its retries and fail-over.
#include "gateway/radius_client.h"

#include <arpa/inet.h>
#include <radcli/radcli.h>

#include <cstdint>
#include <utility>

namespace {

// The attributes this client sends, so that no dictionary file is needed on disk.
constexpr char kDictionary[] =
    "ATTRIBUTE User-Name 1 string\n"
    "ATTRIBUTE NAS-IP-Address 4 ipaddr\n"
    "ATTRIBUTE NAS-Port 5 integer\n"
    "ATTRIBUTE Framed-IP-Address 8 ipaddr\n"
    "ATTRIBUTE Class 25 string\n"
    "ATTRIBUTE NAS-Identifier 32 string\n"
    "ATTRIBUTE Acct-Status-Type 40 integer\n"
    "ATTRIBUTE Acct-Delay-Time 41 integer\n"
    "ATTRIBUTE Acct-Session-Id 44 string\n"
    "ATTRIBUTE Acct-Session-Time 46 integer\n"
    "ATTRIBUTE Acct-Terminate-Cause 49 integer\n"
    "ATTRIBUTE Event-Timestamp 55 date\n"
    "ATTRIBUTE NAS-Port-Type 61 integer\n"
    "ATTRIBUTE Framed-IPv6-Address 168 ipv6addr\n";

// radcli's list of servers: "HOST:PORT:SECRET,...".
std::string server_list(const RadiusSettings& settings) {
  std::string list;
  for (const std::string& server : settings.servers) {
    if (!list.empty()) list += ',';
    list += server + ":" + settings.secret;
  }
  return list;
}

bool add_option(rc_handle* handle, const char* name, const std::string& value) {
  return rc_add_config(handle, name, value.c_str(), "pellamor-radius", 0) == 0;
}

bool configure(rc_handle* handle, const RadiusSettings& settings) {
  const std::string servers = server_list(settings);
  // radcli wants an authentication server too; it is never asked.
  return add_option(handle, "authserver", servers) && add_option(handle, "acctserver", servers) &&
         add_option(handle, "radius_timeout", std::to_string(settings.timeout_seconds)) &&
         add_option(handle, "radius_retries", std::to_string(settings.retries)) &&
         add_option(handle, "radius_deadtime", "0") && add_option(handle, "bindaddr", "*") &&
         rc_apply_config(handle) == 0 &&
         rc_read_dictionary_from_buffer(handle, kDictionary, sizeof kDictionary - 1) == 0;
}

std::uint32_t status_type(RecordKind kind) {
  switch (kind) {
    case RecordKind::start: return PW_STATUS_START;
    case RecordKind::interim_update: return PW_STATUS_ALIVE;
    case RecordKind::stop: return PW_STATUS_STOP;
  }
  return PW_STATUS_ALIVE;
}

std::uint32_t terminate_cause(StopCause cause) {
  switch (cause) {
    case StopCause::user_request: return PW_USER_REQUEST;
    case StopCause::idle_timeout: return PW_ACCT_IDLE_TIMEOUT;
    case StopCause::lost_service: return PW_LOST_SERVICE;
  }
  return PW_LOST_SERVICE;
}

// The pairs of one request, freed with it.
class PairList {
 public:
  explicit PairList(const rc_handle* rh) : rh_(rh) {}
  ~PairList() { rc_avpair_free(pairs_); }
  PairList(const PairList&) = delete;
  PairList& operator=(const PairList&) = delete;

  bool text(int attribute, const std::string& value) {
    return value.empty() ||
           rc_avpair_add(rh_, &pairs_, attribute, value.data(), static_cast<int>(value.size()), 0) != nullptr;
  }
  bool number(int attribute, std::uint32_t value) {
    return rc_avpair_add(rh_, &pairs_, attribute, &value, -1, 0) != nullptr;
  }
  // Framed-IP-Address or Framed-IPv6-Address; false for what is neither.
  bool address(const std::string& text) {
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) return number(PW_FRAMED_IP_ADDRESS, ntohl(v4.s_addr));
    in6_addr v6{};
    return inet_pton(AF_INET6, text.c_str(), &v6) == 1 &&
           rc_avpair_add(rh_, &pairs_, PW_FRAMED_IPV6_ADDRESS, &v6, sizeof v6, 0) != nullptr;
  }
  VALUE_PAIR* get() { return pairs_; }

 private:
  const rc_handle* rh_;
  VALUE_PAIR* pairs_ = nullptr;
};

}  // namespace

struct RadiusClient::Handle {
  rc_handle* rh = nullptr;
  ~Handle() {
    if (rh != nullptr) rc_destroy(rh);
  }
};

std::unique_ptr<RadiusClient> RadiusClient::open(const RadiusSettings& settings, std::string* error) {
  auto handle = std::make_unique<Handle>();
  handle->rh = rc_new();
  if (handle->rh == nullptr || rc_config_init(handle->rh) == nullptr) {
    *error = "cannot set up the RADIUS client";
    return nullptr;
  }
  if (!configure(handle->rh, settings)) {
    *error = "the RADIUS client does not take the servers given";
    return nullptr;
  }
  return std::unique_ptr<RadiusClient>(new RadiusClient(std::move(handle), settings.nas_identifier));
}

RadiusClient::RadiusClient(std::unique_ptr<Handle> handle, std::string nas_identifier)
    : handle_(std::move(handle)), nas_identifier_(std::move(nas_identifier)) {}

RadiusClient::~RadiusClient() = default;

Failure RadiusClient::send(const AccountingRecord& record) {
  PairList pairs(handle_->rh);
  bool built = pairs.number(PW_ACCT_STATUS_TYPE, status_type(record.kind)) &&
               pairs.text(PW_ACCT_SESSION_ID, record.session_id) &&
               pairs.text(PW_USER_NAME, record.identity.user_name) && pairs.address(record.identity.address) &&
               pairs.text(PW_CLASS, record.identity.group_class) &&
               pairs.text(PW_NAS_IDENTIFIER, nas_identifier_) && pairs.number(PW_NAS_PORT_TYPE, PW_VIRTUAL) &&
               pairs.number(PW_EVENT_TIMESTAMP, static_cast<std::uint32_t>(record.when));
  if (built && record.kind != RecordKind::start)
    built = pairs.number(PW_ACCT_SESSION_TIME, static_cast<std::uint32_t>(record.session_seconds));
  if (built && record.kind == RecordKind::stop)
    built = pairs.number(PW_ACCT_TERMINATE_CAUSE, terminate_cause(record.cause));
  if (!built) return Failure::internal("cannot build the record for " + record.identity.address, "RADIUS");
  const int result = rc_acct(handle_->rh, 0, pairs.get());
  if (result == OK_RC) return {};
  return Failure::unavailable(result == TIMEOUT_RC ? "no server acknowledged the record"
                                                   : "the record was not accepted (radcli error " +
                                                         std::to_string(result) + ")",
                              "RADIUS");
}
