// Kerberos logons ("Negotiate"): SPNEGO and Kerberos tokens accepted through GSSAPI with the service's keytab.
#include "verify/kerberos.h"

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <krb5.h>

#include <cstdlib>
#include <cstring>

#include "verify/pac.h"
#include "verify/ticket_name.h"
#include "common/text.h"

namespace {

constexpr char kLogonInfo[] = "urn:mspac:logon-info";

// Releases a buffer GSSAPI filled.
struct BufferGuard {
  gss_buffer_desc buffer{0, nullptr};
  ~BufferGuard() {
    OM_uint32 minor = 0;
    gss_release_buffer(&minor, &buffer);
  }
  Bytes bytes() const {
    const auto* data = static_cast<const std::uint8_t*>(buffer.value);
    return data == nullptr ? Bytes() : Bytes(data, data + buffer.length);
  }
  std::string text() const { return std::string(static_cast<const char*>(buffer.value), buffer.length); }
};

struct NameGuard {
  gss_name_t name = GSS_C_NO_NAME;
  ~NameGuard() {
    OM_uint32 minor = 0;
    if (name != GSS_C_NO_NAME) gss_release_name(&minor, &name);
  }
};

std::string status_text(OM_uint32 code, int type) {
  std::string out;
  OM_uint32 more = 0;
  do {
    OM_uint32 minor = 0;
    BufferGuard part;
    if (GSS_ERROR(gss_display_status(&minor, code, type, GSS_C_NO_OID, &more, &part.buffer))) break;
    out += (out.empty() ? "" : "; ") + part.text();
  } while (more != 0);
  return out;
}

// The mechanism's own words ("Request is a replay", "Clock skew too great") say most.
std::string why_refused(OM_uint32 major, OM_uint32 minor) {
  const std::string mechanism = minor == 0 ? "" : status_text(minor, GSS_C_MECH_CODE);
  return "Kerberos token refused: " + (mechanism.empty() ? status_text(major, GSS_C_GSS_CODE) : mechanism);
}

std::string display_name(gss_name_t name) {
  OM_uint32 minor = 0;
  BufferGuard text;
  if (GSS_ERROR(gss_display_name(&minor, name, &text.buffer, nullptr))) return "";
  return text.text();
}

// The service principal GSSAPI accepted a completed context's ticket as.
std::string accepted_service(gss_ctx_id_t context) {
  OM_uint32 minor = 0;
  NameGuard service;
  if (GSS_ERROR(gss_inquire_context(&minor, context, nullptr, &service.name, nullptr, nullptr, nullptr, nullptr,
                                    nullptr)))
    return "";
  return display_name(service.name);
}

// False, with the reason, when the ticket's PAC is there but cannot be read:
// recording the user under another name than their NTLM logons would split them.
Failure user_of_ticket(gss_name_t client, const std::string& principal, const std::string& service,
                       VerifiedUser* who) {
  OM_uint32 minor = 0;
  int authenticated = 0, complete = 0, more = -1;
  gss_buffer_desc attribute{sizeof kLogonInfo - 1, const_cast<char*>(kLogonInfo)};
  BufferGuard value, shown;
  const OM_uint32 major = gss_get_name_attribute(&minor, client, &attribute, &authenticated, &complete,
                                                 &value.buffer, &shown.buffer, &more);
  if (GSS_ERROR(major) || !authenticated) return user_without_pac(principal, service, who);
  PacLogonInfo info;
  std::string why;
  if (!read_pac_logon_info(value.bytes(), &info, &why))
    return Failure::refused("the PAC of " + principal + " cannot be read: " + why);
  *who = VerifiedUser{utf16_to_utf8(info.user), utf16_to_utf8(info.domain), info.groups};
  return Failure();
}

}  // namespace

std::string keep_replay_cache_in(const std::string& folder) {
  if (const char* set = std::getenv("KRB5RCACHEDIR")) return set;
  setenv("KRB5RCACHEDIR", folder.c_str(), 1);
  return folder;
}

std::string realm_of(const std::string& principal) {
  const std::size_t at = principal.rfind('@');
  return at == std::string::npos ? "" : principal.substr(at + 1);
}

Failure user_without_pac(const std::string& principal, const std::string& service, VerifiedUser* who) {
  const std::string realm = realm_of(principal);
  if (realm.empty() || realm != realm_of(service))
    return Failure::refused("Kerberos ticket of " + principal + " carries no PAC, and " +
                            (realm.empty() ? "no realm" : realm) + " is not the realm of " + service);
  *who = VerifiedUser{principal, "", {}};
  return Failure();
}

namespace {

// The mechanisms the service takes tokens of: Kerberos, raw or under SPNEGO.
gss_OID_desc kSpnegoOid{6, const_cast<char*>("\x2b\x06\x01\x05\x05\x02")};

// GSSAPI loads every mechanism listed in /etc/gss/mech and /etc/gss/mech.d (gss-ntlmssp's NTLM, for one),
// gives credentials acquired for no particular mechanism to all of them, and hands a token that names
// one of them to that plug-in's accept, unauthenticated: a fault there is the service's. Only the
// mechanisms built into the library are loaded (the variable is read before the first GSSAPI call).
void load_built_in_mechanisms_only() { setenv("GSS_MECH_CONFIG", "/dev/null", 1); }

}  // namespace

std::unique_ptr<KerberosAcceptor> KerberosAcceptor::open(const std::string& keytab,
                                                         const std::vector<std::string>& names, std::string* error) {
  load_built_in_mechanisms_only();
  krb5_context held = nullptr;
  if (const krb5_error_code code = krb5_init_context(&held)) {
    // Without a context, the library's own table of messages (a static text, nothing to free).
    *error = std::string("cannot read the Kerberos configuration: ") + krb5_get_error_message(nullptr, code);
    return nullptr;
  }
  gss_key_value_element_desc element{"keytab", keytab.c_str()};
  gss_key_value_set_desc store{1, &element};
  gss_OID_desc wanted[] = {*gss_mech_krb5, kSpnegoOid};
  gss_OID_set_desc mechanisms{2, wanted};
  gss_cred_id_t credential = GSS_C_NO_CREDENTIAL;
  OM_uint32 minor = 0;
  OM_uint32 major = gss_acquire_cred_from(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &mechanisms, GSS_C_ACCEPT, &store,
                                          &credential, nullptr, nullptr);
  if (!GSS_ERROR(major)) {
    // SPNEGO negotiates Kerberos alone (MIT takes Microsoft's OID for it as the same mechanism).
    gss_OID_set_desc kerberos_only{1, gss_mech_krb5};
    major = gss_set_neg_mechs(&minor, credential, &kerberos_only);
  }
  if (GSS_ERROR(major)) {
    OM_uint32 ignored = 0;
    gss_release_cred(&ignored, &credential);
    krb5_free_context(held);
    *error = "cannot use keytab " + keytab + ": " +
             (minor == 0 ? status_text(major, GSS_C_GSS_CODE) : status_text(minor, GSS_C_MECH_CODE));
    return nullptr;
  }
  return std::unique_ptr<KerberosAcceptor>(new KerberosAcceptor(held, credential, names));
}

KerberosAcceptor::~KerberosAcceptor() {
  OM_uint32 minor = 0;
  gss_cred_id_t credential = credential_;
  gss_release_cred(&minor, &credential);
  krb5_free_context(held_);
}

bool KerberosAcceptor::names_service(const std::string& principal) const {
  const std::size_t slash = principal.find('/');
  if (slash == std::string::npos || principal.substr(0, slash) != "HTTP") return false;
  const std::string host = principal.substr(slash + 1, principal.rfind('@') - slash - 1);
  for (const std::string& name : names_) {
    if (equal_ignoring_case(host, name)) return true;
  }
  return false;
}

std::string KerberosAcceptor::listed() const {
  std::string out;
  for (const std::string& name : names_) out += (out.empty() ? "HTTP/" : ", HTTP/") + name;
  return out;
}

KerberosExchange::~KerberosExchange() { reset(); }

void KerberosExchange::reset() {
  OM_uint32 minor = 0;
  if (context_ != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &context_, GSS_C_NO_BUFFER);
  context_ = GSS_C_NO_CONTEXT;
}

namespace {

Failure not_this_service(const std::string& principal, const KerberosAcceptor& acceptor) {
  return Failure::refused("Kerberos ticket for " + principal + " is not this service (" + acceptor.listed() + ")");
}

}  // namespace

KerberosStep KerberosExchange::accept(const KerberosAcceptor& acceptor, const Bytes& token) {
  KerberosStep step;
  // MIT krb5 takes a ticket for any principal whose key it has (an alias of the same account
  // too): the ticket's own name is read from the token, before anything is decrypted or recorded
  // in the replay cache, and a ticket that cannot be read is not taken on trust.
  const TicketName ticket = ticket_service(token);
  if (ticket.kind == TicketName::Kind::Unreadable || (ticket.kind == TicketName::Kind::Named &&
                                                      !acceptor.names_service(ticket.principal))) {
    reset();
    step.failure = ticket.kind == TicketName::Kind::Unreadable
                       ? Failure::refused("Kerberos ticket whose service cannot be read")
                       : not_this_service(ticket.principal, acceptor);
    return step;
  }
  gss_buffer_desc input{token.size(), const_cast<std::uint8_t*>(token.data())};
  BufferGuard output;
  NameGuard client;
  OM_uint32 minor = 0;
  const OM_uint32 major = gss_accept_sec_context(&minor, &context_, acceptor.credential(), &input,
                                                 GSS_C_NO_CHANNEL_BINDINGS, &client.name, nullptr, &output.buffer,
                                                 nullptr, nullptr, nullptr);
  if (GSS_ERROR(major)) {
    reset();
    step.failure = Failure::refused(why_refused(major, minor));
    return step;
  }
  step.reply_token = output.bytes();
  if (major & GSS_S_CONTINUE_NEEDED) {
    step.kind = KerberosStep::Kind::Continue;
    return step;
  }
  // The keytab may hold other services' keys (a machine account's holds cifs/ and host/): the key
  // that opened the ticket must be one of this service's too.
  step.target = accepted_service(context_);
  reset();  // each request authenticates anew
  if (!acceptor.names_service(step.target)) {
    step.failure = not_this_service(step.target.empty() ? "an unnamed service" : step.target, acceptor);
    return step;
  }
  step.principal = display_name(client.name);
  step.failure = user_of_ticket(client.name, step.principal, step.target, &step.who);
  if (!step.failure.ok()) return step;
  step.kind = KerberosStep::Kind::Accepted;
  return step;
}
