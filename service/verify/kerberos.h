// Kerberos logons ("Negotiate"): SPNEGO and Kerberos tokens accepted through GSSAPI with the service's keytab.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "verify/verifier.h"

struct _krb5_context;
struct gss_cred_id_struct;
struct gss_ctx_id_struct;

// MIT krb5 keeps the authenticators it has seen in KRB5RCACHEDIR, by default
// in /var/tmp, where any local user can create the file first (its owner is
// checked) and so stop every Kerberos logon. Unless KRB5RCACHEDIR is set, the
// service keeps it in `folder`, its own. Call before any thread uses GSSAPI;
// returns the folder in use.
std::string keep_replay_cache_in(const std::string& folder);

// The realm of a principal (after its last "@"), empty without one.
std::string realm_of(const std::string& principal);

// The user of a ticket without a PAC (an MIT KDC, or an account the domain
// gives none): only a client of the service principal's own realm, recorded as
// its whole principal (alice@EXAMPLE.COM, no NetBIOS domain). A principal's
// first part need not be a domain account's name, and nothing but a directory
// lookup could tell which NetBIOS domain it is in, which a Kerberos logon never
// waits for; a client of another realm (through a trust) would otherwise pass
// for a user of ours of the same name. Refused, with the reason, for the others.
Failure user_without_pac(const std::string& principal, const std::string& service, VerifiedUser* who);


// The service's own keys, read from a keytab once, and its names: tickets are
// accepted for HTTP/<one of the names> only, although GSSAPI itself would take
// one for any principal whose key is in the keytab (an alias of the same
// account too). Replays are refused by MIT krb5's replay cache (in
// KRB5RCACHEDIR, see keep_replay_cache_in).
class KerberosAcceptor {
 public:
  // Null, with the reason, when the keytab cannot be read or holds no keys.
  static std::unique_ptr<KerberosAcceptor> open(const std::string& keytab, const std::vector<std::string>& names,
                                                std::string* error);
  ~KerberosAcceptor();
  KerberosAcceptor(const KerberosAcceptor&) = delete;
  KerberosAcceptor& operator=(const KerberosAcceptor&) = delete;

  gss_cred_id_struct* credential() const { return credential_; }
  // Whether a ticket's server principal is HTTP/<one of the names>, the host without regard to case.
  bool names_service(const std::string& principal) const;
  // The principals it takes, for messages: "HTTP/a, HTTP/b".
  std::string listed() const;

 private:
  KerberosAcceptor(_krb5_context* held, gss_cred_id_struct* credential, std::vector<std::string> names)
      : held_(held), credential_(credential), names_(std::move(names)) {}
  // MIT krb5 makes a context of its own for every GSSAPI call, and reads its configuration again
  // whenever no other context holds it; one held for the acceptor's life keeps it read (a change
  // to the file is still seen: each new context compares the file's time).
  _krb5_context* const held_;
  gss_cred_id_struct* const credential_;
  const std::vector<std::string> names_;
};

struct KerberosStep {
  enum class Kind { Continue, Accepted, Refused };
  Kind kind = Kind::Refused;
  Bytes reply_token;      // for the client: the next SPNEGO token, or the mutual-authentication token
  VerifiedUser who;       // when accepted
  std::string principal;  // when accepted: the client's principal, e.g. alice@EXAMPLE.COM
  std::string target;     // when accepted: the service principal whose key opened the ticket
  Failure failure;        // when refused: why
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
  // DOMAIN\user as an NTLM one; otherwise see user_without_pac.
  KerberosStep accept(const KerberosAcceptor& acceptor, const Bytes& token);

 private:
  void reset();
  gss_ctx_id_struct* context_ = nullptr;
};
