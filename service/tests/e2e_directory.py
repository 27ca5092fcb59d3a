#!/usr/bin/env python3
# End-to-end tests of pellamor-service in an Active Directory domain (ad_domain.py): NTLM answers
# verified by the domain controller through a member's winbind, Kerberos logins with the service's
# keytab, the throttle against the domain's lockout, and a domain controller that goes away.
import base64
import os
import re
import signal
import subprocess
import sys
import threading
import time
import unittest
import urllib.request

import ad_domain as directory
import e2e_service  # noqa: E402
from e2e_service import Raw, Service, code, health, login_target, make_workdir, ntlm_authenticate, ntlm_negotiate

PASSWORDS = directory.PASSWORDS
ALICE_NT_HASH = "be2929b503cf53fe397f467acb5f2501"  # of PASSWORDS["alice"]
DOMAIN = None  # the shared domain, entered by setUpModule


def domain_service(*options, winbind=None, env=None):
    # The service inside the domain's namespace, verifying NTLM answers through the member's winbind.
    return Service("--verify", "winbind", "--service-name", directory.SERVICE_NAMES, *options, accounts=None,
                   prefix=DOMAIN.with_winbind([], winbind), env=env or DOMAIN.kerberos_env("service-cache"))


def curl(service, target, *auth, host="127.0.0.1", env=None):
    # curl in the namespace (its hosts file names the service): the final status, the reply's header
    # block, and curl's verbose output.
    args = ["curl", "-sv", "--max-time", "20", "-D", "-", "-o", "/dev/null", "-w", "\n%{http_code}", *auth,
            "http://%s:%d%s" % (host, service.port, target)]
    out = subprocess.run(DOMAIN.inside(args), capture_output=True, text=True, env=env, timeout=30)
    head, _, status = out.stdout.rpartition("\n")
    return int(status), head.strip().split("\n\n")[-1], out.stderr


def ntlm(service, host, credentials, *extra):
    return curl(service, login_target(host), "--ntlm", "-u", credentials, *extra)[0]


def negotiate(service, target, env, server=directory.SERVICE_HOST):
    # curl's Kerberos login with env's ticket cache, to the service by a host name; target: a host or a target.
    return curl(service, target if target.startswith("/") else login_target(target), "--negotiate", "-u", ":",
                host=server, env=env)


def der(tag, content, long_form=False):
    size = len(content)
    if long_form or size > 127:  # BER takes any long form, with leading zeros
        length = size.to_bytes(4 if long_form else (size.bit_length() + 7) // 8, "big")
        return bytes([tag, 0x80 | len(length)]) + length + content
    return bytes([tag, size]) + content


KERBEROS_OID = bytes.fromhex("06092a864886f712010202")


def raw_kerberos_token(spnego, long_form=False):
    # The Kerberos token inside a SPNEGO token, alone, its AP-REQ's length in long form if asked.
    at = spnego.index(KERBEROS_OID + b"\x01\x00") + len(KERBEROS_OID) + 2
    assert spnego[at] == 0x6E and spnego[at + 1] & 0x80
    length_bytes = spnego[at + 1] & 0x7F
    size = int.from_bytes(spnego[at + 2:at + 2 + length_bytes], "big")
    start = at + 2 + length_bytes
    ap_req = der(0x6E, spnego[start:start + size], long_form)
    return der(0x60, KERBEROS_OID + b"\x01\x00" + ap_req)


# A SPNEGO token that offers NTLM alone, with an NTLM negotiate message as its first token.
SPNEGO_OFFERING_NTLM = der(0x60, bytes.fromhex("06062b0601050502") + der(0xA0, der(0x30, der(
    0xA0, der(0x30, bytes.fromhex("060a2b06010401823702020a"))) + der(0xA2, der(0x04, bytes.fromhex(
        "4e544c4d5353500001000000078208a200000000000000000000000000000000" "0a00614a0000000f"))))))


def racing_guesses(service, user, sources):
    # Wrong answers for user, one connection from each source, sent together once every challenge has come:
    # their statuses.
    target = login_target("RACE")
    conns = [Raw(service, source) for source in sources]
    answers = [ntlm_authenticate(conn.challenge(target), user, directory.DOMAIN, "00" * 16) for conn in conns]
    together, statuses = threading.Barrier(len(conns)), {}

    def answer(i):
        together.wait()
        statuses[i] = code(conns[i].get(target, answers[i])[0])
    threads = [threading.Thread(target=answer, args=(i,)) for i in range(len(conns))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return [statuses.get(i) for i in range(len(conns))]


class DirectoryNtlm(unittest.TestCase):
    def test_the_domain_verifies_ntlm_answers_and_names_its_refusals(self):
        with domain_service() as service:
            self.assertEqual(ntlm(service, "PC1", "pellamor\\ALICE:" + PASSWORDS["alice"]), 200)
            [entry] = service.entries("PC1")  # the domain's spelling of the names
            self.assertEqual((entry["user"], entry["domain"], entry["authenticated"]), ("alice", "PELLAMOR", True))
            cases = [  # (user, password, reason)
                ("alice", "wrong", "wrong password for PELLAMOR\\alice"),
                ("nobody", "wrong", "unknown user PELLAMOR\\nobody"),
                ("carol", PASSWORDS["carol"], "account PELLAMOR\\carol is disabled"),
                ("dave", PASSWORDS["dave"], "password of PELLAMOR\\dave must be changed at the next logon"),
                ("erin", PASSWORDS["erin"], "account PELLAMOR\\erin has expired"),
            ]
            for i, (user, password, reason) in enumerate(cases):
                self.assertEqual(ntlm(service, "BAD%d" % i, "PELLAMOR\\%s:%s" % (user, password)), 401, user)
                self.assertEqual(service.entries("BAD%d" % i), [], user)
                self.assertIn("host BAD%d: rejected: %s\n" % (i, reason), service.stderr())
            # A Windows client's message integrity code is checked with the session key the domain returns.
            target = login_target("MIC")
            for flip, status in ((0, 200), (1, 401)):  # one bit of the MIC
                conn = Raw(service)
                answer = ntlm_authenticate(conn.challenge(target), "alice", "PELLAMOR", ALICE_NT_HASH, with_mic=True)
                message = bytearray(base64.b64decode(answer.split()[1]))
                message[75] ^= flip
                self.assertEqual(code(conn.get(target, "NTLM " + base64.b64encode(message).decode())[0]), status)
            self.assertIn("rejected: message integrity code does not match for PELLAMOR\\alice", service.stderr())
            self.assertEqual(service.status()["counters"]["rejected"], len(cases) + 1)
        # A user outside winbind's group: the start fails in one line that says so.
        as_nobody = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
        result = subprocess.run(DOMAIN.with_winbind([*as_nobody, e2e_service.SERVICE, "--verify", "winbind", "--db",
                                                     os.path.join(make_workdir(), "map.sqlite")]),
                                capture_output=True, text=True, timeout=30)
        self.assertEqual((result.returncode, result.stdout, len(result.stderr.splitlines())), (1, "", 1))
        self.assertIn("pellamor-service: winbind's privileged pipe /var/lib/samba/winbindd_privileged/pipe, through "
                      "which NTLM answers are verified: permission denied for user nobody, who is not in the group "
                      "winbindd_priv (adduser nobody winbindd_priv", result.stderr)

    def test_the_throttle_keeps_a_guesser_below_the_domain_lockout(self):
        # The domain takes every spelling for frank (blanks, case, domain or UPN suffix) and counts each guess;
        # so does the throttle.
        spellings = ("PELLAMOR\\frank", "PELLAMOR\\ frank", "pellamor\\frank ", "PELLAMOR\\FRANK ",
                     "frank@pellamor.test", " Frank@PELLAMOR.TEST", "\\frank", "Pellamor\\fRaNk", "PELLAMOR\\frank")
        guesses = [name + ":guess-%d" % i for i, name in enumerate(spellings)]
        limit = directory.LOCKOUT - 2
        with domain_service("--failed-logon-limit", str(limit)) as service:
            self.assertEqual([ntlm(service, "GUESS", guess) for guess in guesses], [401] * len(guesses))
            throttled = [r["result"] for r in service.log() if r["authorization"] == "NTLM-authenticate"][limit:]
            self.assertEqual([r.split(" for ")[0] for r in throttled],  # never reached the domain
                             ["rejected: too many failed logons"] * (len(guesses) - limit))
            self.assertEqual(DOMAIN.bad_password_count("frank"), limit)
            right = "PELLAMOR\\frank:" + PASSWORDS["frank"]
            self.assertEqual(ntlm(service, "FRANK", right, "--interface", "127.0.0.2"), 200)  # not locked out
        # Answers that arrive together are all checked before the first of them fails: each counts as a failure
        # from before it is checked. From one address, then from two (the account's limit).
        for sources, most in ((["127.0.0.1"] * 4, limit), (["127.0.0.1"] * 4 + ["127.0.0.2"] * 4, limit + 1)):
            with domain_service("--failed-logon-limit", str(limit), "--failed-logon-account-limit",
                                str(limit + 1)) as service:
                self.assertEqual(ntlm(service, "FRANK", right, "--interface", "127.0.0.3"), 200)  # frank's own machine
                self.assertEqual(racing_guesses(service, "frank", sources), [401] * len(sources))
                self.assertEqual(DOMAIN.bad_password_count("frank"), most)
                self.assertEqual(ntlm(service, "FRANK", right, "--interface", "127.0.0.3"), 200)  # not locked out
        # Without the throttle, the domain locks.
        with domain_service("--failed-logon-limit", "0", "--failed-logon-account-limit", "0") as service:
            for i in range(directory.LOCKOUT):
                self.assertEqual(ntlm(service, "GUESS", "PELLAMOR\\grace:guess-%d" % i), 401)
            self.assertEqual(ntlm(service, "GRACE", "PELLAMOR\\grace:" + PASSWORDS["grace"]), 401)
            self.assertIn("rejected: account PELLAMOR\\grace is locked out", service.stderr())


class DirectoryKerberos(unittest.TestCase):
    def test_kerberos_logins_name_the_user_as_ntlm_does_and_bad_tickets_are_refused(self):
        alice = DOMAIN.kinit("alice")
        with domain_service("--keytab", DOMAIN.keytab) as service:
            head = Raw(service).get(login_target("PCK"))[1]
            self.assertEqual(re.findall(r"WWW-Authenticate: (.*)\r", head + "\r"), ["Negotiate", "NTLM"])
            status, head, verbose = negotiate(service, "PCK", alice)
            self.assertEqual(status, 200)
            self.assertRegex(head, r"\nWWW-Authenticate: Negotiate [A-Za-z0-9+/=]{40,}\n")  # mutual authentication
            [entry] = service.entries("PCK")
            self.assertEqual((entry["user"], entry["domain"]), ("alice", "PELLAMOR"))
            self.assertEqual([(r["authorization"], r.get("user"), r["result"]) for r in service.log()
                              if r["params"].get("hostname") == "PCK"], [("none", None, "challenge"),
                                                                          ("Kerberos", "alice", "login")])
            self.assertEqual(ntlm(service, "PCK", "PELLAMOR\\alice:" + PASSWORDS["alice"]), 200)
            self.assertEqual(len(service.entries("PCK")), 1)  # one user, whichever way they logged in
            # Windows without a ticket sends raw NTLM under "Negotiate": it is answered under that scheme.
            conn, target = Raw(service), login_target("PCN")
            challenge = conn.get(target, ntlm_negotiate().replace("NTLM", "Negotiate"))[2]["www-authenticate"]
            self.assertRegex(challenge, r"^Negotiate TlRMTVNTUAACAAAA")
            answer = ntlm_authenticate(challenge, "alice", "PELLAMOR", ALICE_NT_HASH, with_mic=True)
            self.assertEqual(code(conn.get(target, answer.replace("NTLM", "Negotiate", 1))[0]), 200)
            self.assertEqual([(e["user"], e["domain"]) for e in service.entries("PCN")], [("alice", "PELLAMOR")])

            skewed = DOMAIN.kerberos_env("ccache-alice-skewed")  # the client's clock an hour ahead
            with open(alice["KRB5CCNAME"][5:], "rb") as f:
                cache = bytearray(f.read())
            cache[8:12] = (3600).to_bytes(4, "big")  # the cache header's offset to the KDC's time
            with open(skewed["KRB5CCNAME"][5:], "wb") as f:
                f.write(cache)
            ticket = re.search(r"Authorization: (Negotiate \S+)", verbose).group(1)
            refusals = [  # (what, status, reason)
                ("replay", code(Raw(service).get(login_target("PCR"), ticket)[0]), "token refused: Request is a replay"),
                ("other service", negotiate(service, "PCO", alice, directory.OTHER_HOST)[0],
                 "ticket for HTTP/other.pellamor.test@PELLAMOR.TEST is not this service"),
                ("clock skew", negotiate(service, "PCS", skewed)[0], "token refused: Clock skew too great"),
                # An alias of the service's own account opens with its key, but names another service.
                ("alias", negotiate(service, "PCA", alice, directory.ALIAS_HOST)[0],
                 "ticket for HTTP/alias.pellamor.test@PELLAMOR.TEST is not this service "
                 "(HTTP/web.pellamor.test, HTTP/nopac.pellamor.test)"),
            ]
            for what, status, reason in refusals:
                self.assertEqual(status, 401, what)
                self.assertRegex(service.stderr(), r"rejected: Kerberos %s" % re.escape(reason))
            self.assertEqual([service.entries(host) for host in ("PCR", "PCO", "PCS", "PCA")], [[], [], [], []])
            # A ticket without a PAC tells no NetBIOS domain: the user is recorded by the whole principal.
            self.assertEqual(negotiate(service, "PCP", alice, directory.NOPAC_HOST)[0], 200)
            self.assertEqual([(e["user"], e["domain"]) for e in service.entries("PCP")], [("alice@PELLAMOR.TEST", "")])
            # ivan is in many groups: his ticket is larger than a usual header block.
            status, _, verbose = negotiate(service, "PCI", DOMAIN.kinit("ivan"))
            self.assertGreater(len(re.search(r"Authorization: Negotiate (\S+)", verbose).group(1)), 17000)
            self.assertEqual((status, [e["user"] for e in service.entries("PCI")]), (200, ["ivan"]))

    def test_only_kerberos_tickets_opened_by_the_services_own_keys_log_on(self):
        alice = DOMAIN.kinit("alice")
        with domain_service("--keytab", DOMAIN.wide_keytab) as service:
            def token_for(host):  # refused by the name it carries, before its ticket is opened or cached
                verbose = negotiate(service, "PCW", alice, host)[2]
                return base64.b64decode(re.search(r"Authorization: Negotiate (\S+)", verbose).group(1))
            other, alias = token_for(directory.OTHER_HOST), token_for(directory.ALIAS_HOST)
            refusals = [  # (what, token, reason)
                # The name a ticket carries is not covered by its checksum: another service's key opens it.
                ("renamed", other.replace(b"other.pellamor.test", b"nopac.pellamor.test"),
                 "Kerberos ticket for HTTP/other.pellamor.test@PELLAMOR.TEST is not this service"),
                ("long form", raw_kerberos_token(alias, long_form=True),
                 "Kerberos ticket for HTTP/alias.pellamor.test@PELLAMOR.TEST is not this service"),
                ("cut short", raw_kerberos_token(alias)[:-40], "Kerberos ticket whose service cannot be read"),
            ] + [("NTLM in SPNEGO", SPNEGO_OFFERING_NTLM, "Kerberos token refused")] * 3
            for what, token, reason in refusals:
                conn = Raw(service)
                status_line = conn.get(login_target("PCW"), "Negotiate " + base64.b64encode(token).decode())[0]
                self.assertEqual((code(status_line), service.log()[-1]["result"].split(": ", 1)[-1][:len(reason)]),
                                 (401, reason), what)
            self.assertEqual((service.entries("PCW"), service.proc.poll()), ([], None))
            self.assertEqual(negotiate(service, "PCK", alice)[0], 200)

    def test_the_replay_cache_is_the_services_own(self):
        # MIT krb5's default folder for it is shared (TMPDIR, /var/tmp): a file planted there by another user
        # would stop every Kerberos logon. The service keeps it beside its map.
        shared, env = make_workdir(), DOMAIN.kerberos_env("service-cache")
        del env["KRB5RCACHEDIR"]
        env["TMPDIR"] = shared
        planted = os.path.join(shared, "krb5_%d.rcache2" % os.geteuid())
        open(planted, "w").close()
        os.chown(planted, 65534, 65534)
        with domain_service("--keytab", DOMAIN.keytab, env=env) as service:
            self.assertEqual(negotiate(service, "PCK", DOMAIN.kinit("alice"))[0], 200)
            self.assertTrue(os.path.getsize(os.path.join(service.dir, os.path.basename(planted))) > 0)


class StatusReaders(unittest.TestCase):
    def test_the_map_answers_loopback_listed_networks_and_the_administrators_group(self):
        ntlm_as = {user: ("--ntlm", "-u", "PELLAMOR\\%s:%s" % (user, PASSWORDS[user])) for user in ("alice", "heidi")}
        kerberos = ("--negotiate", "-u", ":")
        cases = [  # (client's address, its logon, Kerberos tickets, status); alice is an administrator through a group
            ("127.0.0.1", (), None, 200), ("192.0.2.5", (), None, 200),  # loopback, and a listed network
            ("192.0.2.99", (), None, 401), ("192.0.2.99", ntlm_as["alice"], None, 200),
            ("192.0.2.99", ntlm_as["heidi"], None, 403), ("192.0.2.99", kerberos, DOMAIN.kinit("alice"), 200),
            ("192.0.2.99", kerberos, DOMAIN.kinit("heidi"), 403)]
        options = ("--keytab", DOMAIN.keytab, "--admin-group", directory.ADMINS, "--status-allow",
                   "192.0.2.0/29")
        with domain_service(*options) as service:
            for source, logon, tickets, status in cases:
                for page in ("/", "/status.json", "/metrics"):
                    got, head, _ = curl(service, page, "--interface", source, *logon, host=directory.SERVICE_HOST,
                                        env=tickets)
                    self.assertEqual(got, status, (source, logon, page))
                    if status == 401:  # what a browser needs to log on with the user's Windows logon
                        self.assertEqual(re.findall(r"WWW-Authenticate: (.*)", head), ["Negotiate", "NTLM"])
            self.assertIn("refused: PELLAMOR\\heidi is not a member of %s, who" % directory.ADMINS, service.stderr())
            # The agents' endpoint stays open to every address, and so does the balancers' health check.
            self.assertEqual(ntlm(service, "PCS", ntlm_as["heidi"][2], "--interface", "192.0.2.99"), 200)
            self.assertEqual(curl(service, "/healthz", "--interface", "192.0.2.99", host=directory.SERVICE_HOST)[0], 200)


def metric(service, line_start):
    with urllib.request.urlopen(service.url("/metrics"), timeout=30) as reply:
        [value] = [line.rsplit(" ", 1)[1] for line in reply.read().decode().splitlines() if line.startswith(line_start)]
    return float(value)


def undegraded(service):
    status, body = health(service)
    return status == 200 and "degraded" not in body


def within(seconds, condition, what):
    # Waits up to `seconds` for the condition: a deadline the service must meet, not a measured time.
    give_up = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > give_up:
            raise AssertionError("not within %d s: %s" % (seconds, what))
        time.sleep(0.2)


class DomainOutage(unittest.TestCase):
    def test_a_start_without_winbind_and_outages_of_winbind_and_the_dc_give_503_and_heal(self):
        alice = "PELLAMOR\\alice:" + PASSWORDS["alice"]
        tickets = DOMAIN.kinit("alice")
        # A service started while winbind does not answer: its socket folder is empty until winbind "comes up".
        late = os.path.join(make_workdir(), "winbindd")
        os.mkdir(late, 0o755)
        with domain_service("--keytab", DOMAIN.keytab, winbind=late) as service:
            self.assertIn("pellamor-service: winbind does not answer (WBC_ERR_WINBIND_NOT_AVAILABLE): is it running, "
                          "and is this machine a member of the domain (net ads join); the service starts without it",
                          service.stderr())
            status, head, _ = curl(service, login_target("EARLY"), "--ntlm", "-u", alice)
            self.assertEqual(status, 503)
            self.assertIn("\nRetry-After: 30\n", head + "\n")
            self.assertEqual(negotiate(service, "EARLYK", tickets)[0], 200)  # Kerberos needs no winbind
            # Kerberos still proves users: a balancer keeps the service, told what is degraded.
            self.assertEqual(health(service)[0], 200)
            self.assertIn("; degraded: NTLM through winbind: winbind does not answer", health(service)[1])
            os.link(os.path.join(DOMAIN.member_winbind, "pipe"), os.path.join(late, "pipe"))  # winbind answers now
            within(20, lambda: ntlm(service, "LATE", alice) == 200, "NTLM logons once winbind answers")
            within(20, lambda: undegraded(service), "/healthz once winbind answers")
            self.assertEqual([e["user"] for e in service.entries("LATE")], ["alice"])
        # Outages under a running service: each is told by /healthz within 20 s, which stays 200 while Kerberos
        # works, NTLM logons get 503 within 15 s (curl gives up after 15 s), Kerberos logons go on, and all heals
        # without a restart.
        outages = [  # (what, begin, end, the reason /healthz gives)
            ("winbind hangs", lambda: DOMAIN.signal_winbind(signal.SIGSTOP), lambda: DOMAIN.signal_winbind(signal.SIGCONT),
             "winbind did not answer within 5 s"),
            ("winbind ends", DOMAIN.stop_winbind, DOMAIN.start_winbind, "winbind does not answer ("),
            ("the DC ends", DOMAIN.stop_dc, DOMAIN.start_dc, "no domain controller of PELLAMOR answers winbind"),
        ]
        with domain_service("--keytab", DOMAIN.keytab) as service:
            self.assertEqual(negotiate(service, "K0", tickets)[0], 200)  # the service's ticket is in the cache now
            self.assertEqual(health(service)[0], 200)
            for i, (what, begin, end, reason) in enumerate(outages):
                begin()
                try:
                    if what == "winbind hangs":
                        self.check_peers_that_flood_the_directory_leave_kerberos_alone(service, alice, tickets)
                    within(20, lambda: "degraded: NTLM through winbind: " in health(service)[1],
                           "/healthz to name it: " + what)
                    self.assertEqual(health(service)[0], 200, what)
                    self.assertIn(reason, health(service)[1], what)
                    status, head, _ = curl(service, login_target("DURING%d" % i), "--ntlm", "-u", alice,
                                           "--max-time", "15")
                    self.assertEqual(status, 503, what)
                    self.assertIn("\nRetry-After: 30\n", head + "\n", what)
                    self.assertEqual(service.entries("DURING%d" % i), [], what)
                    self.assertEqual(negotiate(service, "K%d" % (i + 1), tickets)[0], 200, what)
                    self.assertEqual(metric(service, 'pellamor_directory_up{part="winbind"}'), 0, what)
                finally:
                    end()
                DOMAIN.wait_for(lambda: ntlm(service, "AFTER%d" % i, alice) == 200, "NTLM logons after: " + what)
                within(20, lambda: undegraded(service), "/healthz after: " + what)
            self.assertIn("unavailable: no domain controller of PELLAMOR answers winbind", service.stderr())
            self.assertEqual(metric(service, 'pellamor_directory_up{part="winbind"}'), 1)
            self.assertEqual(metric(service, 'pellamor_directory_up{part="keytab"}'), 1)
            for reason in ("winbind", "domain_controller"):
                self.assertGreaterEqual(metric(service, 'pellamor_unavailable_total{reason="%s"}' % reason), 1, reason)
            self.assertEqual(metric(service, 'pellamor_logons_total{method="kerberos",result="accepted"}'), 5)
            self.assertGreaterEqual(metric(service, 'pellamor_logons_total{method="ntlm-winbind",result="accepted"}'), 3)
            self.assertEqual(metric(service, 'pellamor_verification_seconds_count{method="kerberos"}'), 5)

    def check_peers_that_flood_the_directory_leave_kerberos_alone(self, service, alice, tickets):
        # At once after winbind hangs, before the service has noticed: four peers each start eight NTLM
        # logons. Four of each wait for winbind, taking every thread that waits for the directory; the
        # others are refused at once. A Kerberos logon from another address is still answered before
        # winbind's calls give up.
        flood = {"127.0.0.%d" % n: [subprocess.Popen(
            DOMAIN.inside(["curl", "-s", "-o", "/dev/null", "-D", "-", "-w", "%{http_code}", "--max-time", "15",
                           "--interface", "127.0.0.%d" % n, "--ntlm", "-u", alice,
                           "http://127.0.0.1:%d%s" % (service.port, login_target("F%d" % n))]),
            stdout=subprocess.PIPE, text=True) for _ in range(8)] for n in range(2, 6)}
        within(5, lambda: all(any(c.poll() is not None for c in calls) for calls in flood.values()),
               "the first refusal of each flooding peer")
        # A peer at its limit is turned away at its first NTLM message (curl sends it with its first
        # request): no challenge is issued.
        again = subprocess.run(DOMAIN.inside(["curl", "-s", "-o", "/dev/null", "-D", "-", "--max-time", "4",
                                              "--interface", "127.0.0.2", "--ntlm", "-u", alice,
                                              "http://127.0.0.1:%d%s" % (service.port, login_target("F2"))]),
                               capture_output=True, text=True).stdout
        self.assertEqual([line.split()[1] for line in again.splitlines() if line.startswith("HTTP/")], ["503"], again)
        status, _, _ = curl(service, login_target("KFLOOD"), "--negotiate", "-u", ":", "--max-time", "4",
                            "--interface", "127.0.0.6", host=directory.SERVICE_HOST, env=tickets)
        self.assertEqual(status, 200, "Kerberos beside a flood of NTLM logons")
        for peer, calls in flood.items():
            replies = [c.communicate()[0] for c in calls]
            busy = [r for r in replies if r.endswith("503") and "\nRetry-After: 1\n" in r]
            self.assertEqual(len(busy), 4, peer)
        self.assertIn("this peer has 4 verifications under way", service.stderr())


def setUpModule():
    global DOMAIN
    DOMAIN = directory.shared()
    setUpModule.entered = DOMAIN.entered()
    setUpModule.entered.__enter__()


def tearDownModule():
    e2e_service.tearDownModule()
    setUpModule.entered.__exit__(None, None, None)
    directory.release()


if __name__ == "__main__":
    unittest.main(argv=sys.argv, verbosity=2)
