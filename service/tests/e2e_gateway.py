#!/usr/bin/env python3
"""End-to-end tests of the gateway side: Squid asking the Squid helper who is at an address, the
helper's answers, and the installed program (make install, make deb) with its systemd unit."""
import glob
import http.server
import os
import socket
import subprocess
import sys
import threading
import time
import unittest

import e2e_service
from e2e_service import LOGIN, Service, curl, make_workdir

HELPER = os.environ.get("PELLAMOR_HELPER", "build/service/pellamor-squid-helper")
TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
ALICE = "PELLAMOR\\alice:secret"


def login(service, host, ip, user=ALICE, action="login"):
    target = LOGIN.replace("PC1", host).replace("10.0.0.5,10.0.0.6", ip).replace("login", action, 1)
    return curl(service, target, user)[0]


def ask_helper(lines, *options):
    out = subprocess.run([HELPER, *options], input="".join(line + "\n" for line in lines), capture_output=True,
                         text=True, timeout=30)
    return out.stdout.splitlines()


def wait_until(condition, what):
    for _ in range(300):  # polls every 0.1 s; the bound only keeps a broken run from hanging
        if condition():
            return
        time.sleep(0.1)
    raise AssertionError("gave up waiting for " + what)


def read_text(path):
    with open(path) as f:
        return f.read()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Origin(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = b"origin says hello\n"
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class Squid:
    """Debian's squid in the foreground with its own configuration, logs and port on loopback."""

    def __init__(self, service):
        self.dir = os.path.join(make_workdir(), "squid")
        os.makedirs(self.dir)
        os.chmod(os.path.dirname(self.dir), 0o755)
        os.chmod(self.dir, 0o777)  # squid started as root works as the proxy user
        self.port = free_port()
        conf = os.path.join(self.dir, "squid.conf")
        with open(conf, "w") as f:
            f.write(SQUID_CONF.format(dir=self.dir, port=self.port, helper=os.path.abspath(HELPER),
                                      service=service.port))
        self.proc = subprocess.Popen(["squid", "-N", "-f", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(self.listening, "squid to listen")

    def listening(self):
        with socket.socket() as s:
            return s.connect_ex(("127.0.0.1", self.port)) == 0

    def fetch(self, url):
        args = ["curl", "-s", "--max-time", "20", "-o", "/dev/null", "-w", "%{http_code}", "-x",
                "http://127.0.0.1:%d" % self.port, url]
        return int(subprocess.run(args, capture_output=True, text=True, timeout=30).stdout)

    def access_log(self):
        path = os.path.join(self.dir, "access.log")
        return read_text(path).splitlines() if os.path.exists(path) else []

    def stop(self):
        self.proc.terminate()
        self.proc.wait(30)


SQUID_CONF = """
http_port 127.0.0.1:{port}
visible_hostname pellamor-test
pid_filename {dir}/squid.pid
cache_log {dir}/cache.log
coredump_dir {dir}
logformat pellamor %>a %un %>Hs %ru
access_log stdio:{dir}/access.log pellamor
cache deny all
dns_nameservers 127.0.0.1
pinger_enable off
shutdown_lifetime 0 seconds
external_acl_type pellamor_user ttl=0 negative_ttl=0 concurrency=4 children-max=2 %SRC {helper} --service http://127.0.0.1:{service} --timeout 2
acl pellamor_known external pellamor_user
http_access allow pellamor_known
http_access deny all
"""


class SquidGateway(unittest.TestCase):
    def test_squid_lets_through_only_users_the_map_knows(self):
        service = Service()
        origin = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Origin)
        threading.Thread(target=origin.serve_forever, daemon=True).start()
        squid = Squid(service)
        url = "http://127.0.0.1:%d/" % origin.server_port
        try:
            self.assertEqual(squid.fetch(url + "before"), 403)
            self.assertEqual(login(service, "PC1", "127.0.0.1"), 200)
            self.assertEqual(squid.fetch(url + "during"), 200)
            self.assertEqual(login(service, "PC1", "127.0.0.1", action="logout"), 200)
            self.assertEqual(squid.fetch(url + "after"), 403)
            # Lines of the requests through the proxy (the readiness probe leaves one of its own).
            requests = lambda: [line.split()[1:] for line in squid.access_log() if url in line]
            wait_until(lambda: len(requests()) >= 3, "three access log lines")
            self.assertEqual(requests(), [["-", "403", url + "before"], ["PELLAMOR\\alice", "200", url + "during"],
                                          ["-", "403", url + "after"]])
        finally:
            squid.stop()
            origin.shutdown()
            service.stop()


class HelperAnswers(unittest.TestCase):
    def test_answers_follow_the_map_and_failures_are_quick(self):
        service = Service()
        silent = socket.socket()  # accepts connections, never answers
        try:
            self.assertEqual(login(service, "PCB", "10.1.1.1", "PELLAMOR\\bob:Password"), 200)
            first = service.entries("PCB")[0]["last_seen"]
            wait_until(lambda: service.status()["now"] > first, "the next second")
            self.assertEqual(login(service, "PCZ", "10.1.1.1"), 200)  # most recent wins over the host order
            self.assertEqual(login(service, "PC9", "10.2.2.2,10.3.3.3"), 200)
            silent.bind(("127.0.0.1", 0))
            silent.listen(8)
            closed = free_port()
            cases = [  # (service port, request line, answer line)
                (service.port, "10.1.1.1", 'OK user="PELLAMOR\\\\alice"'),
                (service.port, "0 10.3.3.3", '0 OK user="PELLAMOR\\\\alice"'),
                (service.port, "15 10%2E2.2.2 extra", '15 OK user="PELLAMOR\\\\alice"'),
                (service.port, "3 10.9.9.9", '3 ERR message="nobody is logged on at 10.9.9.9"'),
                (service.port, "4 -", '4 ERR message="not an address"'),
                (service.port, "", 'ERR message="not an address"'),
                (closed, "5 10.1.1.1", '5 BH message="logon service: cannot connect: Connection refused"'),
                (silent.getsockname()[1], "6 10.1.1.1",
                 '6 BH message="logon service: no complete reply before the time-out"'),
            ]
            for port, line, answer in cases:
                self.assertEqual(ask_helper([line], "--service", "http://127.0.0.1:%d" % port, "--timeout", "0.3"),
                                 [answer], line)
            self.assertEqual(login(service, "PCZ", "10.1.1.1", action="logout"), 200)
            self.assertEqual(ask_helper(["1 10.1.1.1", "2 10.1.1.1"], "--service", "http://127.0.0.1:%d" % service.port),
                             ['1 OK user="PELLAMOR\\\\bob"', '2 OK user="PELLAMOR\\\\bob"'])
        finally:
            silent.close()
            service.stop()


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
        verify = subprocess.run(["systemd-analyze", "verify", unit], capture_output=True, text=True, timeout=60)
        self.assertEqual((verify.returncode, verify.stderr, verify.stdout), (0, "", ""))
        self.assertIn("ExecStart=%s/sbin/pellamor-service " % prefix, read_text(unit))

        self.make("deb")
        [package] = glob.glob(os.path.join(TOP, "build", "service", "pellamor-service_*.deb"))
        root = os.path.join(make_workdir(), "root")
        subprocess.run(["dpkg", "-x", package, root], check=True, timeout=60)
        unit = read_text(os.path.join(root, "usr", "lib", "systemd", "system", "pellamor-service.service"))
        self.assertIn("ExecStart=/usr/sbin/pellamor-service --accounts %d/accounts --db %S/pellamor/users.sqlite", unit)
        self.assertIn("EnvironmentFile=-/etc/default/pellamor-service", unit)
        e2e_service.SERVICE = os.path.join(root, "usr", "sbin", "pellamor-service")
        service = Service()
        try:
            self.assertEqual(login(service, "PC1", "10.4.4.4"), 200)
            helper = os.path.join(root, "usr", "lib", "pellamor", "pellamor-squid-helper")
            answer = subprocess.run([helper, "--service", "http://127.0.0.1:%d" % service.port], input="10.4.4.4\n",
                                    capture_output=True, text=True, timeout=30).stdout
            self.assertEqual(answer, 'OK user="PELLAMOR\\\\alice"\n')
        finally:
            service.stop()
            e2e_service.SERVICE = os.environ.get("PELLAMOR_SERVICE", "build/service/pellamor-service")


def tearDownModule():
    e2e_service.tearDownModule()


if __name__ == "__main__":
    unittest.main(argv=sys.argv, verbosity=2)
