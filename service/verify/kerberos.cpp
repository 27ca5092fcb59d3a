// Kerberos logons ("Negotiate"): SPNEGO and Kerberos tokens accepted through GSSAPI with the service's keytab.
#include "verify/kerberos.h"

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>

#include <cstring>

#include "verify/pac.h"

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

VerifiedUser user_of_principal(const std::string& principal) {
  const std::size_t at = principal.rfind('@');
  const std::string realm = at == std::string::npos ? "" : principal.substr(at + 1);
  std::u16string domain;
  utf8_to_utf16(realm.substr(0, realm.find('.')), &domain);
  return VerifiedUser{principal.substr(0, at), utf16_to_utf8(unicode_upper(domain)), {}};
}

// False, with the reason, when the ticket's PAC is there but cannot be read:
// recording the user under another name than their NTLM logons would split them.
bool user_of_ticket(gss_name_t client, const std::string& principal, VerifiedUser* who, std::string* why) {
  OM_uint32 minor = 0;
  int authenticated = 0, complete = 0, more = -1;
  gss_buffer_desc attribute{sizeof kLogonInfo - 1, const_cast<char*>(kLogonInfo)};
  BufferGuard value, shown;
  const OM_uint32 major = gss_get_name_attribute(&minor, client, &attribute, &authenticated, &complete,
                                                 &value.buffer, &shown.buffer, &more);
  if (GSS_ERROR(major) || !authenticated) {
    *who = user_of_principal(principal);
    return true;
  }
  PacLogonInfo info;
  if (!read_pac_logon_info(value.bytes(), &info, why)) {
    *why = "the PAC of " + principal + " cannot be read: " + *why;
    return false;
  }
  *who = VerifiedUser{utf16_to_utf8(info.user), utf16_to_utf8(info.domain), info.groups};
  return true;
}

}  // namespace

std::unique_ptr<KerberosAcceptor> KerberosAcceptor::open(const std::string& keytab, std::string* error) {
  gss_key_value_element_desc element{"keytab", keytab.c_str()};
  gss_key_value_set_desc store{1, &element};
  gss_cred_id_t credential = GSS_C_NO_CREDENTIAL;
  OM_uint32 minor = 0;
  const OM_uint32 major = gss_acquire_cred_from(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, GSS_C_NO_OID_SET,
                                                GSS_C_ACCEPT, &store, &credential, nullptr, nullptr);
  if (GSS_ERROR(major)) {
    *error = "cannot use keytab " + keytab + ": " +
             (minor == 0 ? status_text(major, GSS_C_GSS_CODE) : status_text(minor, GSS_C_MECH_CODE));
    return nullptr;
  }
  return std::unique_ptr<KerberosAcceptor>(new KerberosAcceptor(credential));
}

KerberosAcceptor::~KerberosAcceptor() {
  OM_uint32 minor = 0;
  gss_cred_id_t credential = credential_;
  gss_release_cred(&minor, &credential);
}

KerberosExchange::~KerberosExchange() { reset(); }

void KerberosExchange::reset() {
  OM_uint32 minor = 0;
  if (context_ != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &context_, GSS_C_NO_BUFFER);
  context_ = GSS_C_NO_CONTEXT;
}

KerberosStep KerberosExchange::accept(const KerberosAcceptor& acceptor, const Bytes& token) {
  gss_buffer_desc input{token.size(), const_cast<std::uint8_t*>(token.data())};
  BufferGuard output;
  NameGuard client;
  OM_uint32 minor = 0;
  const OM_uint32 major = gss_accept_sec_context(&minor, &context_, acceptor.credential(), &input,
                                                 GSS_C_NO_CHANNEL_BINDINGS, &client.name, nullptr, &output.buffer,
                                                 nullptr, nullptr, nullptr);
  KerberosStep step;
  if (GSS_ERROR(major)) {
    reset();
    step.reason = why_refused(major, minor);
    return step;
  }
  step.reply_token = output.bytes();
  if (major & GSS_S_CONTINUE_NEEDED) {
    step.kind = KerberosStep::Kind::Continue;
    return step;
  }
  reset();  // each request authenticates anew
  step.principal = display_name(client.name);
  if (!user_of_ticket(client.name, step.principal, &step.who, &step.reason)) return step;
  step.kind = KerberosStep::Kind::Accepted;
  return step;
}
