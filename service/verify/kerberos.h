// Kerberos logons ("Negotiate"): SPNEGO and Kerberos tokens accepted through GSSAPI with the service's keytab.
#pragma once

#include <memory>
#include <string>

#include "verify/verifier.h"

struct gss_cred_id_struct;
struct gss_ctx_id_struct;

// The service's own keys, read from a keytab once. Tickets for any principal
// in the keytab are accepted, so the keytab holds exactly the HTTP/ names by
// which agents reach the service. Replays are refused by MIT krb5's replay
// cache (in KRB5RCACHEDIR, /var/tmp by default).
class KerberosAcceptor {
 public:
  // Null, with the reason, when the keytab cannot be read or holds no keys.
  static std::unique_ptr<KerberosAcceptor> open(const std::string& keytab, std::string* error);
  ~KerberosAcceptor();
  KerberosAcceptor(const KerberosAcceptor&) = delete;
  KerberosAcceptor& operator=(const KerberosAcceptor&) = delete;

  gss_cred_id_struct* credential() const { return credential_; }

 private:
  explicit KerberosAcceptor(gss_cred_id_struct* credential) : credential_(credential) {}
  gss_cred_id_struct* const credential_;
};

struct KerberosStep {
  enum class Kind { Continue, Accepted, Refused };
  Kind kind = Kind::Refused;
  Bytes reply_token;      // for the client: the next SPNEGO token, or the mutual-authentication token
  VerifiedUser who;       // when accepted
  std::string principal;  // when accepted: the client's principal, e.g. alice@EXAMPLE.COM
  std::string reason;     // when refused
};

// One connection's security context: SPNEGO may take more than one round.
class KerberosExchange {
 public:
  KerberosExchange() = default;
  ~KerberosExchange();
  KerberosExchange(const KerberosExchange&) = delete;
  KerberosExchange& operator=(const KerberosExchange&) = delete;

  // Takes the client's token (decoded from base64). The user a ticket names
  // comes from the PAC's logon information when the ticket carries one (an
  // Active Directory KDC), so that a Kerberos logon is recorded under the same
  // DOMAIN\user as an NTLM one; otherwise from the principal: user@REALM gives
  // the realm's first label, in capitals, as the domain.
  KerberosStep accept(const KerberosAcceptor& acceptor, const Bytes& token);

 private:
  void reset();
  gss_ctx_id_struct* context_ = nullptr;
};
