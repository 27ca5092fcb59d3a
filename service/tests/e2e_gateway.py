#!/usr/bin/env python3
# End-to-end tests of the gateway side: Squid asking the Squid helper who is at an address (users
# logged in by Kerberos in a real domain), the helper's answers, and the installed program (make
# install, make deb) with its systemd unit.
import glob
import os
import socket
import subprocess
import sys
import time
import unittest
from unittest import mock

import e2e_directory
from e2e_directory import directory
import e2e_service
from e2e_service import Service, login, login_target, make_workdir, read_text, write_file

HELPER = os.environ.get("PELLAMOR_HELPER", "build/service/pellamor-squid-helper")
TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def ask_helper(port, lines, timeout="10", helper=HELPER):
    out = subprocess.run([helper, "--service", "http://127.0.0.1:%d" % port, "--timeout", timeout],
                         input="".join(line + "\n" for line in lines), capture_output=True, text=True, timeout=30)
    return out.stdout.splitlines()


def wait_until(condition, what):
    for _ in range(300):  # polls every 0.1 s; the bound only keeps a broken run from hanging
        if condition():
            return
        time.sleep(0.1)
    raise AssertionError("gave up waiting for " + what)


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
            ":8080", ":%d" % service.port).replace("ttl=60 negative_ttl=10", "ttl=0 negative_ttl=0")
        conf = write_file(os.path.join(self.dir, "squid.conf"), (
            "http_port 127.0.0.1:{1}\npid_filename {0}/pid\ncache_log {0}/cache.log\ncoredump_dir {0}\n"
            "logformat users %>a %un %>Hs %ru\naccess_log stdio:{0}/access.log users\ncache deny all\n"
            "visible_hostname test\ndns_nameservers 127.0.0.1\npinger_enable off\nshutdown_lifetime 0 seconds\n"
            ).format(self.dir, self.port) + snippet)
        self.proc = subprocess.Popen(["squid", "-N", "-f", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(self.listening, "squid to listen")

    def listening(self):
        with socket.socket() as s:
            return s.connect_ex(("127.0.0.1", self.port)) == 0

    def fetch(self, url):
        args = ["curl", "-s", "--max-time", "20", "-o", "/dev/null", "-w", "%{http_code}", "-x",
                "http://127.0.0.1:%d" % self.port, url]
        return int(subprocess.run(args, capture_output=True, text=True, timeout=30).stdout)

    def requests(self, url):
        # (user, status, URL) of each access log line about url; the readiness probe leaves one of its own.
        lines = read_text(os.path.join(self.dir, "access.log")).splitlines()
        return [line.split()[1:] for line in lines if url in line]


class SquidGateway(unittest.TestCase):
    def test_squid_lets_through_only_users_the_map_knows(self):
        domain = e2e_directory.DOMAIN = directory.shared()
        alice = domain.kinit("alice")
        with domain.entered(), e2e_directory.domain_service("--keytab", domain.keytab) as service:
            squid = Squid(service)  # in the domain's namespace too, like the service and its clients
            url = service.url("/status.json?")  # the service's own page stands for any web site

            def kerberos(action):
                return e2e_directory.negotiate(service, login_target("PC1", "127.0.0.1", action), alice)[0]
            try:
                self.assertEqual(squid.fetch(url + "before"), 403)
                self.assertEqual(kerberos("login"), 200)
                self.assertEqual(squid.fetch(url + "during"), 200)
                self.assertEqual(kerberos("logout"), 200)
                self.assertEqual(squid.fetch(url + "after"), 403)
                wait_until(lambda: len(squid.requests(url)) >= 3, "three access log lines")
                self.assertEqual(squid.requests(url),
                                 [["-", "403", url], ["PELLAMOR\\alice", "200", url], ["-", "403", url]])
            finally:
                squid.proc.terminate()
                squid.proc.wait(30)


class HelperAnswers(unittest.TestCase):
    def test_answers_follow_the_map_and_failures_are_quick(self):
        with Service() as service, socket.create_server(("127.0.0.1", 0)) as silent:  # silent: never answers
            self.assertEqual(login(service, "PCB", "10.1.1.1", "PELLAMOR\\bob:Password"), 200)
            first = service.entries("PCB")[0]["last_seen"]
            wait_until(lambda: service.status()["now"] > first, "the next second")
            self.assertEqual(login(service, "PCZ", "10.1.1.1"), 200)  # most recent wins over the host order
            self.assertEqual(login(service, "PC9", "10.2.2.2,10.3.3.3"), 200)
            cases = [  # (service port, request line, answer line)
                (service.port, "10.1.1.1", 'OK user="PELLAMOR\\\\alice"'),
                (service.port, "0 10.3.3.3", '0 OK user="PELLAMOR\\\\alice"'),
                (service.port, "15 10%2E2.2.2 extra", '15 OK user="PELLAMOR\\\\alice"'),
                (service.port, "3 10.9.9.9", '3 ERR message="nobody is logged on at 10.9.9.9"'),
                (service.port, "4 -", '4 ERR message="not an address"'),
                (free_port(), "5 10.1.1.1", '5 BH message="logon service: cannot connect: Connection refused"'),
                (silent.getsockname()[1], "6 10.1.1.1",
                 '6 BH message="logon service: no complete reply before the time-out"'),
            ]
            for port, line, answer in cases:  # a short time-out only where nothing will answer, for a busy machine
                timeout = "0.3" if port == silent.getsockname()[1] else "10"
                self.assertEqual(ask_helper(port, [line], timeout), [answer], line)
            self.assertEqual(login(service, "PCZ", "10.1.1.1", action="logout"), 200)
            self.assertEqual(ask_helper(service.port, ["1 10.1.1.1", "2 10.1.1.1"]),
                             ['1 OK user="PELLAMOR\\\\bob"', '2 OK user="PELLAMOR\\\\bob"'])


class Installed(unittest.TestCase):
    def make(self, *args):
        result = subprocess.run(["make", "-C", TOP, *args], capture_output=True, text=True, timeout=900)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_installed_unit_verifies_and_the_packaged_service_logs_users_in(self):
        prefix = os.path.join(make_workdir(), "prefix")
        self.make("install", "DESTDIR=", "PREFIX=" + prefix)
        os.makedirs(os.path.join(prefix, "etc", "pellamor"))
        open(os.path.join(prefix, "etc", "pellamor", "accounts"), "w").close()
        unit = os.path.join(prefix, "lib", "systemd", "system", "pellamor-service.service")
        lab = os.path.join(prefix, "share", "doc", "pellamor-service", "pellamor-service-accounts.conf")
        for drop_in in (None, lab):  # the domain's unit, then with the drop-in of a lab without a domain
            if drop_in:
                os.makedirs(unit + ".d")
                write_file(os.path.join(unit + ".d", "accounts.conf"), read_text(drop_in))
            verify = subprocess.run(["systemd-analyze", "verify", unit], capture_output=True, text=True, timeout=60)
            self.assertEqual((verify.returncode, verify.stderr, verify.stdout), (0, "", ""), drop_in)
        self.assertIn("ExecStart=%s/sbin/pellamor-service --verify winbind --keytab %%d/keytab " % prefix,
                      read_text(unit))
        self.assertIn("ExecStart=%s/sbin/pellamor-service --accounts %%d/accounts " % prefix, read_text(lab))

        self.make("deb")
        [package] = glob.glob(os.path.join(TOP, "build", "service", "pellamor-service_*.deb"))
        root = os.path.join(make_workdir(), "root")
        subprocess.run(["dpkg", "-x", package, root], check=True, timeout=60)
        depends = subprocess.run(["dpkg-deb", "-f", package, "Depends"], capture_output=True, text=True).stdout
        for needed in ("winbind", "libwbclient0", "libgssapi-krb5-2"):  # the domain's parts the service uses
            self.assertRegex(depends, r"(^|, )%s( |,|$)" % needed)
        unit = read_text(os.path.join(root, "usr", "lib", "systemd", "system", "pellamor-service.service"))
        self.assertIn("ExecStart=/usr/sbin/pellamor-service --verify winbind --keytab %d/keytab --db %S/pellamor/users.sqlite",
                      unit)
        with mock.patch.object(e2e_service, "SERVICE", os.path.join(root, "usr", "sbin", "pellamor-service")):
            service = Service()
        with service:
            self.assertEqual(login(service, "PC1", "10.4.4.4"), 200)
            helper = os.path.join(root, "usr", "lib", "pellamor", "pellamor-squid-helper")
            self.assertEqual(ask_helper(service.port, ["10.4.4.4"], helper=helper), ['OK user="PELLAMOR\\\\alice"'])


def tearDownModule():
    e2e_service.tearDownModule()
    directory.release()


if __name__ == "__main__":
    unittest.main(argv=sys.argv, verbosity=2)
