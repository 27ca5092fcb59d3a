#!/usr/bin/env python3
# End-to-end tests of the gateway side: Squid asking the Squid helper who is at an address (users
# logged in by Kerberos in a real domain), Squid sending the others to the logon page, where headless
# Chromium logs on by Kerberos, the helper's answers, and the installed program (make install, make
# deb) with its systemd unit.
import http.server
import json
import os
import re
import socket
import subprocess
import sys
import threading
import unittest
import urllib.request
from unittest import mock

import e2e_directory
from e2e_directory import directory
import e2e_service
from e2e_service import (ACCOUNTS, BOB, Namespace, Raw, Service, code, login, login_target, make_workdir, read_text, wait_until,
                         write_file)

HELPER = os.environ.get("PELLAMOR_HELPER", "build/service/pellamor-squid-helper")
CHROMIUM = os.environ.get("PELLAMOR_CHROMIUM", "chromium")
TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def ask_helper(port, lines, timeout="10", helper=HELPER):
    out = subprocess.run([helper, "--service", "http://127.0.0.1:%d" % port, "--timeout", timeout],
                         input="".join(line + "\n" for line in lines), capture_output=True, text=True, timeout=30)
    return out.stdout.splitlines()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# Debian's squid in the foreground on loopback: its own folder, port and logs, and the shipped snippet.
class Squid:
    def __init__(self, service):
        self.dir = os.path.join(make_workdir(), "squid")
        os.makedirs(self.dir, 0o777)
        os.chmod(self.dir, 0o777)  # squid started as root works as the proxy user
        os.chmod(os.path.dirname(self.dir), 0o755)
        self.port = free_port()
        snippet = read_text(os.path.join(TOP, "service", "gateway", "squid-pellamor.conf"))
        snippet = snippet.replace("/usr/lib/pellamor/pellamor-squid-helper", os.path.abspath(HELPER)).replace(
            "pellamor.example.com", directory.SERVICE_HOST).replace(
            ":8080", ":%d" % service.port).replace("ttl=60 negative_ttl=10", "ttl=0 negative_ttl=0").replace(
            "port 8080", "port %d" % service.port)
        conf = write_file(os.path.join(self.dir, "squid.conf"), (
            "http_port 127.0.0.1:{1}\npid_filename {0}/pid\ncache_log {0}/cache.log\ncoredump_dir {0}\n"
            "access_log stdio:{0}/access.log squid\ncache deny all\n"
            "visible_hostname test\ndns_nameservers 127.0.0.1\npinger_enable off\nshutdown_lifetime 0 seconds\n"
            "hosts_file {0}/hosts\n").format(self.dir, self.port) + snippet)
        write_file(os.path.join(self.dir, "hosts"), "127.0.0.1 www.facebook.com www.wikipedia.org www.example.org\n")  # sites
        self.proc = subprocess.Popen(["squid", "-N", "-f", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(self.listening, "squid to listen")

    def listening(self):
        with socket.socket() as s:
            return s.connect_ex(("127.0.0.1", self.port)) == 0

    def fetch(self, url, source="127.0.0.1"):  # from PC1, or from another PC's address
        return self.answer(url, source)[0]

    def answer(self, url, source="127.0.0.1"):
        # The status and, of a redirect, where to.
        args = ["curl", "-s", "--max-time", "20", "-o", "/dev/null", "-w", "%{http_code} %{redirect_url}", "--interface", source, "-x",
                "http://127.0.0.1:%d" % self.port, url]
        status, _, location = subprocess.run(args, capture_output=True, text=True, timeout=30).stdout.partition(" ")
        return int(status), location

    def requests(self, url):
        # (user, status, URL) of each line about url in Squid's own log format, which doubles a backslash
        # ("time elapsed client TCP_MISS/200 bytes GET URL user ..."); the readiness probe leaves one of its own.
        lines = read_text(os.path.join(self.dir, "access.log")).splitlines()
        return [[f[7], f[3].split("/")[1], f[6]] for f in (line.split() for line in lines) if f[6] == url]


class Page(http.server.BaseHTTPRequestHandler):
    form = b""  # what /post holds: another site's page with a form that posts to the logon page

    def do_GET(self):
        body = self.form if self.path == "/post" else b""
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def read_page(url):
    with urllib.request.urlopen(url, timeout=10) as reply:
        return reply.read().decode()


class Browser:
    """Headless Chromium in the domain's namespace, driven through its DevTools pipe (fds 3 and 4)."""

    def __init__(self, env, *flags):
        profile = os.path.join(make_workdir(), "chromium")
        # On Linux Chromium loads the GSSAPI library (outside its network service's sandbox) only once it
        # has met a Negotiate challenge, and fails that first one: this profile has met one.
        os.makedirs(profile)
        write_file(os.path.join(profile, "Local State"), '{"net": {"received_http_auth_negotiate_headers": true}}')
        self.proc = subprocess.Popen(e2e_directory.DOMAIN.inside(
            ["sh", "-c", 'exec "$@" 3<&0 4>&1 </dev/null >/dev/null', "sh", CHROMIUM, "--headless", "--no-sandbox",
             "--disable-gpu", "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--remote-debugging-pipe", "--user-data-dir=" + profile, *flags, "about:blank"]),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
        self.buffer, self.sent = b"", 0
        page = [t for t in self.call("Target.getTargets")["targetInfos"] if t["type"] == "page"][0]
        self.session = self.call("Target.attachToTarget", targetId=page["targetId"], flatten=True)["sessionId"]

    def call(self, method, session=None, **params):
        self.sent += 1
        message = {"id": self.sent, "method": method, "params": params, **({"sessionId": session} if session else {})}
        self.proc.stdin.write(json.dumps(message).encode() + b"\0")
        self.proc.stdin.flush()
        while True:
            while b"\0" not in self.buffer:
                chunk = os.read(self.proc.stdout.fileno(), 65536)
                if not chunk:
                    raise AssertionError("chromium ended")
                self.buffer += chunk
            text, _, self.buffer = self.buffer.partition(b"\0")
            reply = json.loads(text)
            if reply.get("id") == self.sent:
                return reply.get("result")  # None: an error, such as a page that was being replaced

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", self.session, expression=expression, returnByValue=True)
        return None if result is None or "exceptionDetails" in result else result["result"].get("value")

    def open(self, url, then=None):
        # Goes to url and waits for the page it ends on (then: that page's address, where it leads on).
        self.call("Page.navigate", self.session, url=url)
        return self.arrive(then or url)

    def click(self, selector, then):
        self.evaluate("document.querySelector(%s).click()" % json.dumps(selector))
        return self.arrive(then)

    def arrive(self, url):
        wait_until(lambda: self.evaluate("document.readyState == 'complete' && location.href") == url, url, 60)
        return self.evaluate("document.body.innerText")

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(30)


class SquidGateway(unittest.TestCase):
    def test_squid_lets_through_only_users_the_map_credits(self):
        domain = e2e_directory.DOMAIN = directory.shared()
        alice, heidi = domain.kinit("alice"), domain.kinit("heidi")
        with domain.entered(), e2e_directory.domain_service("--keytab", domain.keytab) as service:
            squid = Squid(service)  # in the domain's namespace too, like the service and its clients
            site = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Page)  # any web site
            threading.Thread(target=site.serve_forever, daemon=True).start()
            port = site.server_address[1]
            url = "http://127.0.0.1:%d/page?" % port

            def kerberos(who, host, source, ips, action="login"):  # from PC1 (127.0.0.1) or PC2 (127.0.0.2)
                return e2e_directory.curl(service, login_target(host, ips, action), "--negotiate", "-u", ":",
                                          "--interface", source, host=directory.SERVICE_HOST, env=who)[0]
            try:
                self.assertEqual(squid.fetch(url + "q=before"), 302)
                self.assertEqual(kerberos(alice, "PC1", "127.0.0.1", "127.0.0.1"), 200)
                self.assertEqual(squid.fetch(url + "q=during"), 200)
                # The map is no web site: not even a user it names reads it through the proxy.
                self.assertEqual(squid.fetch(service.url("/status.json")), 403)
                # heidi, at PC2, reports PC1's address too: her claim is not credited, then or ever.
                self.assertEqual(kerberos(heidi, "PC2", "127.0.0.2", "127.0.0.2,127.0.0.1"), 200)
                self.assertEqual(squid.fetch(url + "q=claimed"), 200)
                # The school's policy: alice is in Marketing (through Campaigns) and may use social media; heidi,
                # a student, only reaches the allow-list. Squid asks by group names the proxy itself cannot resolve.
                social, allowed, other = ("http://www.%s:%d/" % (site, port)
                                          for site in ("facebook.com", "wikipedia.org", "example.org"))
                self.assertEqual([squid.fetch(social), squid.fetch(social, "127.0.0.2"), squid.fetch(allowed, "127.0.0.2"),
                                  squid.fetch(other, "127.0.0.2"), squid.fetch(other)], [200, 403, 200, 403, 200])
                # Her entry keeps them all by SID, named as winbind names them (in the letter case it last saw).
                groups = {(g["name"] or "").lower(): g["sid"] for g in service.entries("PC1")[0]["groups"]}
                self.assertLessEqual({"pellamor\\campaigns", "pellamor\\marketing", "pellamor\\domain users"}, set(groups))
                self.assertRegex(groups["pellamor\\marketing"], r"^S-1-5-21-[-0-9]+$")
                self.assertEqual(kerberos(alice, "PC1", "127.0.0.1", "127.0.0.1", "logout"), 200)
                self.assertEqual(squid.fetch(url + "q=after"), 302)
                self.assertEqual(kerberos(heidi, "PC2", "127.0.0.2", "127.0.0.2,127.0.0.1"), 200)
                self.assertEqual(squid.fetch(url + "q=refreshed"), 302)
                wait_until(lambda: len(squid.requests(url)) >= 5, "five access log lines")
                self.assertEqual(squid.requests(url), [["-", "302", url], ["PELLAMOR\\\\alice", "200", url],
                                                       ["PELLAMOR\\\\alice", "200", url], ["-", "302", url],
                                                       ["-", "302", url]])
                self.assertIn("PELLAMOR\\heidi claims 127.0.0.1, where another live login is credited: not credited there\n",
                              service.stderr())
            finally:
                site.shutdown()
                site.server_close()
                squid.proc.terminate()
                squid.proc.wait(30)

    def test_squid_sends_a_stranger_to_the_logon_page_and_back_and_other_sites_cannot_post_to_it(self):
        domain = e2e_directory.DOMAIN = directory.shared()
        alice = domain.kinit("alice")
        with domain.entered(), e2e_directory.domain_service("--keytab", domain.keytab) as service:
            squid = Squid(service)
            site = http.server.ThreadingHTTPServer(("0.0.0.0", 0), Page)  # through Squid at 127.0.0.1, directly at .2
            threading.Thread(target=site.serve_forever, daemon=True).start()
            url = "http://127.0.0.1:%d/page?q=1&r=%%22" % site.server_address[1]
            logon = "http://%s:%d/logon" % (directory.SERVICE_HOST, service.port)
            # Browsers reach the page, and the other site, without the proxy.
            browser = Browser(alice, "--proxy-server=127.0.0.1:%d" % squid.port, "--auth-server-allowlist=" +
                              directory.SERVICE_HOST, "--proxy-bypass-list=<-loopback>;%s;127.0.0.2" %
                              directory.SERVICE_HOST)
            try:
                self.assertEqual(squid.answer(url), (302, logon + "?url=" + url))
                for elsewhere in ("javascript:alert(1)", "data:text/html,x", "//evil.example/", "ftp://evil.example/",
                                  "http:\\\\evil.example/", "http://intranet@evil.example/"):  # not led back to
                    self.assertIn('name="url" value=""', read_page(service.url("/logon?url=" + elsewhere)), elsewhere)
                # Another site's page holds a token the page gave to this very address: the browser says
                # where the form comes from, and nothing is recorded.
                token = re.search(r'name="token" value="([^"]+)"', read_page(service.url("/logon")))[1]
                Page.form = ('<form method="post" action="%s"><input name="token" value="%s"><button name="action" '
                             'value="login">Win</button></form>' % (logon, token)).encode()
                other = "http://127.0.0.2:%d/post" % site.server_address[1]
                browser.open(other)
                self.assertIn("a form sent from another site", browser.click("button", logon))
                self.assertEqual(e2e_directory.curl(service, "/logon", "--negotiate", "-u", ":", "-d",
                                                    "action=login&token=%s0" % token, host=directory.SERVICE_HOST,
                                                    env=alice)[0], 403)
                self.assertEqual(service.status()["users"], [])
                # A stranger is sent to the page, logs on with alice's Kerberos ticket (single sign-on), and
                # is taken back.
                sent_to = logon + "?url=" + url
                self.assertIn("Recorded here now: nobody.", browser.open(url, then=sent_to))
                browser.click("button[value=login]", url)
                [entry] = service.status()["users"]
                self.assertEqual((entry["user"], entry["domain"], entry["host"], entry["ips"], entry["peer"]),
                                 ("alice", "PELLAMOR", "127.0.0.1", ["127.0.0.1"], "127.0.0.1"))
                self.assertEqual(entry["expires"] - entry["first_seen"], 8 * 3600)
                self.assertIn("pellamor\\marketing", {(g["name"] or "").lower() for g in entry["groups"]})  # policy by group
                self.assertIn(("POST", "Kerberos", "login"),
                              [(r["method"], r.get("authorization"), r["result"]) for r in service.log()])
                logged = url[:url.index("?") + 1]  # Squid's log leaves out the query
                wait_until(lambda: len(squid.requests(logged)) == 3, "Squid's line")
                self.assertEqual(squid.requests(logged), [["-", "302", logged], ["-", "302", logged],
                                                          ["PELLAMOR\\\\alice", "200", logged]])
                self.assertIn("Recorded here now: PELLAMOR\\alice.", browser.open(sent_to))
                self.assertIn("PELLAMOR\\alice is logged off at 127.0.0.1",
                              browser.click("button[value=logout]", logon))
                self.assertEqual(service.status()["users"], [])
            finally:
                browser.close()
                site.shutdown()
                site.server_close()
                squid.proc.terminate()
                squid.proc.wait(30)


class HelperAnswers(unittest.TestCase):
    def test_answers_follow_the_map_and_failures_are_quick(self):
        staff = [{"sid": "S-1-5-21-1-2-3-1104", "name": "PELLAMOR\\Staff"}, {"sid": "S-1-5-21-1-2-3-1105", "name": None}]
        accounts = ACCOUNTS.replace("alice:", "alice [S-1-5-21-1-2-3-1104=PELLAMOR\\Staff, S-1-5-21-1-2-3-1105]:")
        with Service("--credit-claims", "10.0.0.0/8", accounts=accounts) as service, \
                socket.create_server(("127.0.0.1", 0)) as silent:  # silent: never answers
            self.assertEqual(login(service, "PCB", "10.1.1.1", "PELLAMOR\\bob:Password"), 200)
            first = service.entries("PCB")[0]["last_seen"]
            wait_until(lambda: service.status()["now"] > first, "the next second")
            self.assertEqual(login(service, "PCZ", "10.1.1.1"), 200)  # most recent wins over the host order
            self.assertEqual(login(service, "PC9", "10.2.2.2,10.3.3.3"), 200)
            cases = [  # (service port, request line, answer line)
                (service.port, "10.1.1.1", 'OK user="PELLAMOR\\\\alice"'),
                (service.port, "0 10.3.3.3", '0 OK user="PELLAMOR\\\\alice"'),
                (service.port, "15 10%2E2.2.2 extra", '15 ERR message="PELLAMOR\\\\alice is in none of the groups asked"'),
                # Squid's %SRC %DATA: the acl's groups, by name with or without the domain, or by SID.
                (service.port, "7 10.1.1.1 Nobody PELLAMOR%5cstaff", '7 OK user="PELLAMOR\\\\alice" group="PELLAMOR\\\\staff"'),
                (service.port, "8 10.3.3.3 s-1-5-21-1-2-3-1105 Staff", '8 OK user="PELLAMOR\\\\alice" group="s-1-5-21-1-2-3-1105"'),
                (service.port, "9 10.3.3.3 Staff", '9 OK user="PELLAMOR\\\\alice" group="Staff"'),
                (service.port, "11 10.1.1.1 -", '11 OK user="PELLAMOR\\\\alice"'),  # %SRC alone: Squid adds "-"
                (service.port, "3 10.9.9.9", '3 ERR message="nobody is logged on at 10.9.9.9"'),
                (service.port, "4 -", '4 ERR message="not an address"'),
                (free_port(), "5 10.1.1.1", '5 BH message="logon service: cannot connect: Connection refused"'),
                (silent.getsockname()[1], "6 10.1.1.1",
                 '6 BH message="logon service: no complete reply before the time-out"'),
            ]
            for port, line, answer in cases:  # a short time-out only where nothing will answer, for a busy machine
                timeout = "0.3" if port == silent.getsockname()[1] else "10"
                self.assertEqual(ask_helper(port, [line], timeout), [answer], line)
            # The helper's question has a name of its own; its document is the address's first entry.
            asked = [(r["target"], r["result"]) for r in service.log() if r["target"].startswith("/lookup")]
            self.assertEqual(asked[:2], [("/lookup?ip=10.1.1.1", "lookup"), ("/lookup?ip=10.3.3.3", "lookup")])
            with urllib.request.urlopen(service.url("/lookup?ip=10.1.1.1"), timeout=10) as reply:
                self.assertEqual([(u["host"], u["user"], u["groups"]) for u in json.load(reply)["users"]],
                                 [("PCZ", "alice", staff)])
            with urllib.request.urlopen(service.url("/?q=PCZ"), timeout=10) as reply:  # the console: names, else SIDs
                self.assertIn('">Staff</span>, <span title="S-1-5-21-1-2-3-1105">S-1-5-21-1-2-3-1105</span></div>',
                              reply.read().decode())
            for bad in ("/lookup", "/lookup?ip=10.1.1.1&limit=2", "/lookup?ip=PCZ", "/lookup?ip=10.1.1.1&group="):
                self.assertEqual(code(Raw(service).get(bad)[0]), 400, bad)
            self.assertEqual(login(service, "PCZ", "10.1.1.1", action="logout"), 200)
            self.assertEqual(ask_helper(service.port, ["1 10.1.1.1", "2 10.1.1.1"]),
                             ['1 OK user="PELLAMOR\\\\bob"', '2 OK user="PELLAMOR\\\\bob"'])


    def test_only_what_a_login_proves_is_credited_and_a_claim_never_inherits(self):
        # bob's PC is 192.0.2.23, alice's 192.0.2.24; 198.51.100.1 is a trusted relay; claims of addresses in
        # 192.0.2.32/28 are credited. The service listens on "::", where IPv4 peers arrive as IPv4-mapped addresses.
        alice = ("alice", "PELLAMOR", "878d8014606cda29677a44efa1353fc7")
        watched = ["192.0.2.24", "192.0.2.25", "192.0.2.40"]

        def answer(who, ip):
            return 'OK user="PELLAMOR\\\\%s"' % who if who else 'ERR message="nobody is logged on at %s"' % ip
        steps = [  # (source, host, reported addresses, user, action, who the helper names at each watched address)
            ("192.0.2.23", "PC23", "192.0.2.24", BOB, "login", [None, None, None]),  # a claim is not proof
            ("192.0.2.24", "PC24", "192.0.2.24", alice, "login", ["alice", None, None]),  # alice's PC comes from there
            ("192.0.2.23", "PC23", "192.0.2.24,192.0.2.25", BOB, "login", ["alice", None, None]),
            ("198.51.100.1", "PCR", "192.0.2.25", alice, "login", ["alice", "alice", None]),  # the relay's report is proof
            ("192.0.2.24", "PC24", "192.0.2.24", alice, "logout", [None, "alice", None]),  # nobody inherits .24
            ("192.0.2.23", "PC40", "192.0.2.40", BOB, "login", [None, "alice", "bob"]),  # in --credit-claims
        ]
        with Namespace(), Service("--address", "::", "--trusted-relay", "198.51.100.0/30", "--credit-claims",
                                  "192.0.2.32/28") as service:
            for source, host, ips, user, action, names in steps:
                self.assertEqual(Raw(service, source).login(login_target(host, ips, action), user), 200, host)
                self.assertEqual(ask_helper(service.port, watched), [answer(*n) for n in zip(names, watched)],
                                 (host, action))
                if host == "PCR":  # bob's entry shows what is not credited
                    self.assertEqual([(u["host"], u["uncredited"], u["relayed"]) for u in service.status()["users"]],
                                     [("PC23", ["192.0.2.24", "192.0.2.25"], False), ("PC24", [], False), ("PCR", [], True)])
            # PC40 is credited by the site's rule, PC23 no longer, and nobody proves where either is found.
            self.assertEqual([u["host"] for u in service.status("?show=unproven")["users"]], ["PC23", "PC40"])
            self.assertIn("host PC23: PELLAMOR\\bob claims 192.0.2.24, where another live login is credited: not credited there\n",
                          service.stderr())
            # Each change of who is credited at an address is one line, and claims without credit change nothing.
            self.assertEqual(re.findall(r"pellamor-service: (credit at .*)\n", service.stderr()), [
                "credit at 192.0.2.24: nobody -> PELLAMOR\\alice at PC24", "credit at 192.0.2.25: nobody -> PELLAMOR\\alice at PCR",
                "credit at 192.0.2.24: PELLAMOR\\alice at PC24 -> nobody", "credit at 192.0.2.40: nobody -> PELLAMOR\\bob at PC40"])
            for view in ("/status.json", "/lookup?ip=192.0.2.24"):  # the map is not for every PC
                self.assertEqual(code(Raw(service, "192.0.2.23").get(view)[0]), 403, view)
            for source, host, user in (("2001:db8::1", "V1", alice), ("2001:db8::1", "V2", BOB),
                                       ("2001:db8:1::1", "W1", alice), ("2001:db8:1::1", "W2", BOB)):
                self.assertEqual(Raw(service, source).login(login_target(host, ""), user), 200, host)
            # Conflicts are listed by address, as text: "2001:db8:1::1" comes before "2001:db8::1".
            self.assertEqual([u["host"] for u in service.status("?show=conflicts")["users"]], ["PC23", "PCR", "W1", "W2", "V1", "V2"])


# Tags lintian may report on the package, each for a reason: helpers that Squid runs live in
# /usr/lib/<package>/, as Debian's squid keeps its own in /usr/lib/squid/ (an experimental,
# pedantic tag).
LINTIAN_ACCEPTS = {"executable-in-usr-lib"}

# The package's life in a throwaway root: install, the domain's default start, the lab's, remove, purge. Each step's
# output follows its "== step" line. The root has no winbind running: the service starts without it.
PACKAGE_LIFE = r"""
export DEBIAN_FRONTEND=noninteractive
rm -f /usr/sbin/policy-rc.d  # a container's "start and stop no services"; a server has none
echo "== install"; dpkg -i {package} 2>&1; pellamor-service --version; pellamor-squid-helper --version
stat -c '%n %U:%G %a' /etc/pellamor /etc/pellamor/accounts.example; getent passwd pellamor | cut -d: -f1,6
id -nG pellamor; grep '^PELLAMOR_VERIFY=' /etc/default/pellamor-service
# Only the unit's own lines: the verifier also speaks of other packages' units that the unit's targets pull in.
said=$(systemd-analyze verify /usr/lib/systemd/system/pellamor-service.service 2>&1) && echo "unit verified"
printf '%s\n' "$said" | grep pellamor
echo "== domain"; keytab=/etc/pellamor/pellamor.keytab
printf 'addent -password -p HTTP/web.pellamor.test@PELLAMOR.TEST -k 1 -e aes256-cts-hmac-sha1-96\nSvc-Pass-1\nwkt %s\n' \
    "$keytab" | ktutil >/dev/null; chmod 0600 "$keytab"  # as root alone may read it
/etc/init.d/pellamor-service start 2>&1; chgrp pellamor "$keytab"; chmod 0640 "$keytab"
/etc/init.d/pellamor-service start 2>&1; tr '\0' ' ' < /proc/$(cat /run/pellamor-service.pid)/cmdline; echo
grep -o 'pellamor-service: winbind does not answer (.*' /var/log/pellamor/service.log
curl -s -o /dev/null -D - '{login}' | grep -i '^www-authenticate'
curl -s -o /dev/null -D - --ntlm -u 'PELLAMOR\alice:secret' '{login}' | grep -i '^HTTP/1.1 \|^retry-after'
/etc/init.d/pellamor-service stop 2>&1
echo "== lab"; printf 'PELLAMOR\\alice:secret\n' > /etc/pellamor/accounts; chgrp pellamor /etc/pellamor/accounts
chmod 0640 /etc/pellamor/accounts
sed -i 's|^PELLAMOR_VERIFY=.*|PELLAMOR_VERIFY="--accounts /etc/pellamor/accounts"|' /etc/default/pellamor-service
map=/var/lib/pellamor/users.sqlite  # taken back to the format before credit was kept, with an entry of then
sqlite3 "$map" "DROP INDEX logon_addresses_credited; ALTER TABLE logon_addresses DROP COLUMN credited;
    PRAGMA user_version = 2; INSERT INTO logons (user, domain, host, ips, peer, persistent, authenticated, first_seen,
    last_seen, expires) VALUES ('bob', 'PELLAMOR', 'OLDPC', '10.1.1.1', '10.1.1.1', 1, 1, unixepoch(), unixepoch(),
    unixepoch() + 3600); INSERT INTO logon_addresses SELECT '10.1.1.1', id FROM logons"; chown pellamor: "$map"*
/etc/init.d/pellamor-service start 2>&1; grep -o 'brought the map .*' /var/log/pellamor/service.log
curl -s 'http://127.0.0.1:8080/history.json' | grep -o '"host":"OLDPC","at":"[^"]*","kind":"migrated","address":"[^"]*"'
curl -s --ntlm -u 'PELLAMOR\alice:secret' '{lab_login}'; echo 127.0.0.1 | pellamor-squid-helper
logrotate -f /etc/logrotate.d/pellamor-service; echo "rotated: $?"; ls /var/log/pellamor
curl -s --ntlm -u 'PELLAMOR\alice:secret' '{lab_login}' | sed 's/PC2/PC2 after the rotation/'
grep -c '"PC2"' /var/log/pellamor/requests.log.1 /var/log/pellamor/requests.log
cat /var/log/pellamor/service.log
printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d; chmod +x /usr/sbin/policy-rc.d  # refuses the reload
curl -s -o /dev/null --ntlm -u 'PELLAMOR\alice:secret' '{lab_login}'
logrotate -f /etc/logrotate.d/pellamor-service 2>&1; echo "rotated: $?"; rm /usr/sbin/policy-rc.d
pid=$(cat /run/pellamor-service.pid)
echo "== remove"; dpkg -r pellamor-service 2>&1
kill -0 "$pid" 2>/dev/null || echo "service stopped"; ls /etc/pellamor /var/lib/pellamor
echo "== purge"; dpkg -P pellamor-service 2>&1
for path in /etc/pellamor/* /etc/default/pellamor-service /etc/init.d/pellamor-service /var/lib/pellamor \
    /var/log/pellamor; do [ -e "$path" ] && echo "left $path"; done; getent passwd pellamor | cut -d: -f1
"""


def in_throwaway_root(script, package):
    """Runs script as root in a copy-on-write view of this machine: an overlay of / whose changes live in
    a tmpfs, with private /run, /tmp, processes and network, so nothing it does reaches the machine. The
    package is copied into its /var/tmp first: the checkout may be under the /tmp that the view hides."""
    top = make_workdir()
    setup = ("mount -t tmpfs tmpfs {0} && mkdir {0}/upper {0}/work {0}/root && "
             "mount -t overlay overlay -o lowerdir=/,upperdir={0}/upper,workdir={0}/work {0}/root && "
             "mount -t proc proc {0}/root/proc && mount --rbind /dev {0}/root/dev && "
             "mount -t tmpfs tmpfs {0}/root/run && mount -t tmpfs tmpfs {0}/root/tmp && ip link set lo up && "
             'cp "$1" {0}/root/var/tmp/ && exec chroot {0}/root sh -c "$0"').format(top)
    result = subprocess.run(["unshare", "--mount", "--propagation", "private", "--pid", "--fork", "--net", "sh", "-c",
                             setup, script, package], capture_output=True, text=True, timeout=600)
    steps = dict(part.split("\n", 1) for part in re.split("^== ", result.stdout, flags=re.M)[1:])
    return steps, result.stderr


def git(*args):
    return subprocess.run(["git", "-C", TOP, *args], capture_output=True, text=True, timeout=60).stdout.strip()


def described_version(commit="HEAD"):
    """A build's version as the history names it: the nearest tag (else the changelog's release), the commits up to it."""
    tag = git("describe", "--tags", "--abbrev=0", "--match", "v[0-9]*", commit).removeprefix("v")
    released = re.match(r"\S+ \((\S+)\)", read_text(os.path.join(TOP, "service", "packaging", "changelog"))).group(1)
    return "%s+git%s.g%s" % (tag or released, git("rev-list", "--count", commit), git("rev-parse", "--short=12", commit))


def package_output(package, command):
    return subprocess.run(["sh", "-c", command, "sh", package], capture_output=True, text=True, timeout=60).stdout


class Installed(unittest.TestCase):
    def make(self, *args):
        result = subprocess.run(["make", "-C", TOP, *args], capture_output=True, text=True, timeout=900)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_installed_unit_verifies_and_the_package_installs_serves_and_goes_like_a_debian_one(self):
        prefix = os.path.join(make_workdir(), "prefix")
        self.make("install", "DESTDIR=", "PREFIX=" + prefix)
        os.makedirs(os.path.join(prefix, "etc", "pellamor"))
        open(os.path.join(prefix, "etc", "pellamor", "accounts"), "w").close()
        unit = os.path.join(prefix, "lib", "systemd", "system", "pellamor-service.service")
        radius_unit = os.path.join(os.path.dirname(unit), "pellamor-radius.service")
        verify = subprocess.run(["systemd-analyze", "verify", "--man=no", unit, radius_unit], capture_output=True,
                                text=True, timeout=60)  # the manual page is not on this prefix's man path; the package's test checks it
        own = [line for line in verify.stderr.splitlines() if "pellamor" in line]  # not other packages' units
        self.assertEqual((verify.returncode, own, verify.stdout), (0, [], ""))
        self.assertIn("ExecStart=%s/lib/pellamor/pellamor-service-start --db " % prefix, read_text(unit))

        self.make("deb")
        version = described_version()  # a later commit's, for dpkg, is a newer package
        compared = subprocess.run(["dpkg", "--compare-versions", described_version("HEAD~1"), "lt", version])
        self.assertEqual(compared.returncode, 0)
        architecture = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip()
        package = os.path.join(TOP, "build", "service", "pellamor-service_%s_%s.deb" % (version, architecture))
        self.assertEqual([package_output(package, 'dpkg-deb -f "$1" Version'), package_output(
            package, 'dpkg-deb --fsys-tarfile "$1" | tar -xO ./usr/share/doc/pellamor-service/changelog.gz | zcat | head -1')],
            [version + "\n", "pellamor-service (%s) UNRELEASED; urgency=medium\n" % version])
        for program in ("sbin/pellamor-service", "lib/pellamor/pellamor-squid-helper", "sbin/pellamor-radius"):
            said = subprocess.run([os.path.join(prefix, program), "--version"], capture_output=True, text=True).stdout
            self.assertEqual(said, "%s %s\n" % (os.path.basename(program), version))
        lintian = subprocess.run(["lintian", "--no-cfg", "--display-info", "--display-experimental", "--pedantic", package],
                                 capture_output=True, text=True, timeout=600)
        self.assertEqual({line.split()[2] for line in lintian.stdout.splitlines()} - LINTIAN_ACCEPTS, set(),
                         lintian.stdout)
        depends = subprocess.run(["dpkg-deb", "-f", package, "Depends"], capture_output=True, text=True).stdout
        for needed in ("winbind", "libwbclient0", "libgssapi-krb5-2"):  # the domain's parts the service uses
            self.assertRegex(depends, r"(^|, )%s( |,|$)" % needed)
        if os.geteuid() != 0:
            self.skipTest("installing into a throwaway root needs root")
        inside = "/var/tmp/" + os.path.basename(package)
        steps, errors = in_throwaway_root(PACKAGE_LIFE.format(package=inside, login="http://127.0.0.1:8080"
                                                              + e2e_service.login_target("PC1", "10.9.9.9"),
                                                              lab_login="http://127.0.0.1:8080"
                                                              + e2e_service.login_target("PC2", "127.0.0.1")), package)
        self.assertEqual(list(steps), ["install", "domain", "lab", "remove", "purge"], errors)
        time = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z "
        command = ("/usr/sbin/pellamor-service --db /var/lib/pellamor/users.sqlite --service-log "
                   "/var/log/pellamor/service.log --verify winbind ")
        expected = {  # what each step's output holds
            "install": ["Left to do", "keytab", "Squid", "pellamor-service {0}\npellamor-squid-helper {0}\n"
                        "/etc/pellamor root:pellamor 750\n/etc/pellamor/accounts.example root:pellamor 640\n"
                        "pellamor:/var/lib/pellamor\npellamor winbindd_priv\nPELLAMOR_VERIFY=\"\"\nunit verified\n"
                        .format(os.path.basename(package).split("_")[1])],
            "domain": ["pellamor-service: cannot use keytab /etc/pellamor/pellamor.keytab: permission denied for "
                       "user pellamor (", "pellamor-service: winbind does not answer (",
                       command + "--keytab /etc/pellamor/pellamor.keytab --address 0.0.0.0 ",
                       "WWW-Authenticate: Negotiate\nWWW-Authenticate: NTLM\n",
                       "HTTP/1.1 503 Service Unavailable\nRetry-After: 30\n"],
            "lab": ["brought the map from format 2 to format ", "(1 entry); 0 entries no longer credited at addresses",
                    '"kind":"migrated","address":"10.1.1.1"',
                    'login recorded for PELLAMOR\\alice at PC2\nOK user="PELLAMOR\\\\alice"\nrotated: 0\n'
                    "requests.log\nrequests.log.1\nservice.log\nservice.log.1\n"
                    "login recorded for PELLAMOR\\alice at PC2 after the rotation\n"
                    "/var/log/pellamor/requests.log.1:2\n/var/log/pellamor/requests.log:2\n",  # the 401, the 200
                    "pellamor-service: reopened the service log /var/log/pellamor/service.log\n",  # asked by logrotate
                    "pellamor-service: reopened the request log /var/log/pellamor/requests.log\n",
                    "reload after the rotation of the logs in /var/log/pellamor failed, the service still writes to the "
                    "renamed logs (.1): invoke-rc.d refused the reload: the local policy (/usr/sbin/policy-rc.d) forbids "
                    "it (exit 101)\n", "\nrotated: 1\n"],
            "remove": ["service stopped\n/etc/pellamor:\naccounts\naccounts.example\npellamor.keytab\n\n"
                       "/var/lib/pellamor:\npellamor-map.last-change\nusers.sqlite\n"],
            "purge": ["kept /etc/pellamor, which holds files of your own (accounts, pellamor.keytab)",
                      "\nleft /etc/pellamor/accounts\nleft /etc/pellamor/pellamor.keytab\npellamor\n"]}
        service_log = steps["lab"][steps["lab"].index("/var/log/pellamor/requests.log:2\n"):]
        lines = [line for line in service_log.splitlines() if "pellamor-service: " in line and "reload after" not in line]
        self.assertTrue(lines)
        for line in lines:  # the init script's log has the time of every line
            self.assertRegex(line, "^" + time + "pellamor-service: ")
        for step, texts in expected.items():
            for text in texts:
                self.assertIn(text, steps[step], step)


def tearDownModule():
    e2e_service.tearDownModule()
    directory.release()


if __name__ == "__main__":
    unittest.main(argv=sys.argv, verbosity=2)
