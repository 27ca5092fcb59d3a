#!/usr/bin/env python3
"""Two services on one PostgreSQL behind HAProxy: curl logins and the Squid helper while a service and the
database go down."""
import itertools
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import unittest

from e2e_service import (ACCOUNTS, ALICE, SERVICE, Raw, Service, code, login_target,  # noqa: F401
                         tearDownModule, wait_until)
from postgres_cluster import Postgres, free_port

HELPER = os.environ.get("PELLAMOR_HELPER", "build/service/pellamor-squid-helper")
# The load's logins take turns among many accounts, so that none meets the services' limit of live entries
# per account, which bob's logins do.
MANY = ["PELLAMOR\\user%d:secret" % i for i in range(500)]
# The balancer reaches the services from an address of its own, which they take PROXY headers from;
# the helped PC logs on through it from another.
BALANCER, HELPED = "127.0.0.2", "127.0.0.9"
# Addresses whose claims are credited: one a PC will come to prove, and one nobody does.
PROVEN, CLAIMED = "127.0.0.77", "127.0.0.78"


def listening(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


class Balancer:
    """HAProxy in TCP mode, so that each NTLM handshake stays on one connection, naming each client in a PROXY
    header, with health checks."""
    CONFIG = """global
    maxconn 512
defaults
    mode tcp
    timeout connect 2s
    timeout client 60s
    timeout server 60s
    timeout check 10s
    retries 3
    option redispatch 1
frontend logons
    bind 127.0.0.1:{port}
    default_backend services
backend services
    balance roundrobin
    option httpchk
    http-check send meth GET uri /healthz
    default-server inter 300ms fall 3 rise 1
{servers}
"""

    def __init__(self, *ports):
        self.dir = tempfile.mkdtemp(prefix="pellamor-haproxy-")
        self.port = free_port()
        servers = "".join("    server s%d 127.0.0.1:%d check send-proxy-v2 check-send-proxy source %s\n"
                          % (i, p, BALANCER) for i, p in enumerate(ports))
        with open(os.path.join(self.dir, "haproxy.cfg"), "w") as f:
            f.write(self.CONFIG.format(port=self.port, servers=servers))
        self.proc = subprocess.Popen(["haproxy", "-db", "-f", os.path.join(self.dir, "haproxy.cfg")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(lambda: listening(self.port), "haproxy to listen")
        self.url = "http://127.0.0.1:%d" % self.port

    def stop(self):
        self.proc.terminate()
        self.proc.wait(30)
        shutil.rmtree(self.dir, ignore_errors=True)


def curl_login(url, host, user, ip="10.20.0.1", source="127.0.0.1"):
    """curl's NTLM login; returns (status, the final reply's headers, curl's exit code)."""
    target = "%s/tarnwise?action=login&hostname=%s&persistent=1&domain=PELLAMOR&ip=%s" % (url, host, ip)
    out = subprocess.run(["curl", "-s", "--max-time", "30", "--interface", source, "--ntlm", "-u", user, "-D", "-",
                          "-o", "/dev/null",
                          "-w", "\n%{http_code}", target], capture_output=True, text=True, timeout=60)
    head, _, status = out.stdout.rpartition("\n")
    return int(status), head.strip().split("\n\n")[-1], out.returncode


def ask_helper(*services, lines):
    args = [HELPER, "--timeout", "4"] + [a for s in services for a in ("--service", s)]
    out = subprocess.run(args, input="".join(line + "\n" for line in lines), capture_output=True, text=True, timeout=60)
    return out.stdout.splitlines(), out.stderr


def logins(service, host=None):
    return [r for r in service.log() if r["target"].startswith("/tarnwise") and
            (host is None or r["params"].get("hostname") == host)]


class Load:
    """Threads of curl logins through the balancer, each under a new host name and of an account in turn,
    until stopped. For each login: (phase when it started, phase when it ended, host, user, status, curl's exit
    code)."""

    def __init__(self, url):
        self.url, self.phase, self.done, self.stopping = url, "both services", [], False
        users = [itertools.cycle(MANY[n::4]) for n in range(4)]
        self.threads = [threading.Thread(target=self.logins, args=(u, "L%d" % n)) for n, u in enumerate(users)]
        for thread in self.threads:
            thread.start()

    def logins(self, users, prefix):
        for host, user in zip(("%s-%d" % (prefix, i) for i in itertools.count()), users):
            if self.stopping:
                return
            phase = self.phase
            status, _, code = curl_login(self.url, host, user)
            self.done.append((phase, self.phase, host, user, status, code))

    def acknowledged(self, phase, whole=False):
        """Hosts of the logins acknowledged that started in `phase` (and, when `whole`, also ended in it)."""
        return [d[2] for d in self.done if d[0] == phase and d[4] == 200 and (d[1] == phase or not whole)]

    def stop(self):
        self.stopping = True
        for thread in self.threads:
            thread.join(120)


class Failover(unittest.TestCase):
    def test_logins_through_the_balancer_outlive_a_service_and_the_database(self):
        accounts = ACCOUNTS + "".join(user + "\n" for user in MANY)
        with Postgres() as db:
            options = ("--db", db.uri, "--max-entries-per-account", "20", "--proxy-protocol", BALANCER,
                       "--credit-claims", PROVEN + "," + CLAIMED)
            services = []
            starts = [threading.Thread(target=lambda: services.append(Service(*options, accounts=accounts)))
                      for _ in range(2)]
            for thread in starts:  # both create the tables at once
                thread.start()
            for thread in starts:
                thread.join(120)
            balancer = None
            try:
                self.assertEqual(len(services), 2)
                balancer = Balancer(*(service.port for service in services))
                self.run_scenario(db, *services, balancer)
            finally:
                if balancer:
                    balancer.stop()
                for service in services:
                    service.stop()

    def run_scenario(self, db, a, b, balancer):
        self.assertEqual(curl_login(balancer.url, "ONE-HOST", ALICE)[0], 200)
        self.assertEqual(curl_login(balancer.url, "HELPED", ALICE, HELPED, source=HELPED)[0], 200)
        self.limit_holds_across_services(db, a, b)
        self.proxy_headers_name_the_peer(a)
        self.claims_never_steal(db, a, b)
        load = Load(balancer.url)
        try:
            wait_until(lambda: len(load.acknowledged("both services")) >= 30, "logins through both", limit=300)
            a.proc.kill()
            a.proc.wait(30)
            load.phase = "one service"
            wait_until(lambda: len(load.acknowledged("one service")) >= 30, "logins through the other", limit=300)
            self.helper_fails_over(a, b)
            before = len(logins(b, "ONE-HOST"))
            self.assertEqual(curl_login(balancer.url, "ONE-HOST", ALICE)[0], 200)
            self.assertEqual([r["status"] for r in logins(b, "ONE-HOST")[before:]], [401, 200])

            load.phase = "crashing"
            db.crash()  # while logins are in flight
            load.phase = "no database"
            self.without_the_database(db, b)
            load.phase = "starting"  # pg_ctl sees the server up a while after it is
            db.start()
            load.phase = "database back"
            wait_until(lambda: curl_login(balancer.url, "AGAIN", ALICE)[0] == 200, "logins with the database back")
        finally:
            load.stop()
        self.check_outcome(db, b, load)

    def proxy_headers_name_the_peer(self, a):
        """A text header from the balancer's address names a PC that proves its own address (one of bob's hosts,
        which he may log on at again); a header from another peer, and the balancer's address without one, are
        refused before anything is read."""
        proven = login_target("BOB-0-0", "127.0.0.44")
        conn = Raw(a, BALANCER)
        conn.sock.sendall(b"PROXY TCP4 127.0.0.44 127.0.0.1 50000 8080\r\n")
        self.assertEqual(conn.login(proven), 200)
        self.assertEqual([u["host"] for u in a.status("?ip=127.0.0.44")["users"]], ["BOB-0-0"])
        for source, head in (("127.0.0.1", b"PROXY TCP4 127.0.0.45 127.0.0.1 50000 8080\r\n"), (BALANCER, b"")):
            conn = Raw(a, source)
            conn.sock.sendall(head)
            self.assertEqual(code(conn.get(login_target("FORGED", "127.0.0.45"))[0]), 400, source)
        self.assertEqual(a.status("?ip=127.0.0.45")["users"], [])
        # The balancer's health checks are its own (LOCAL), the logins through it its clients'.
        peers = {(r["target"], r["peer"].rpartition(":")[0]) for r in a.log()}
        self.assertTrue({("/healthz", BALANCER), (proven, "127.0.0.44")} <= peers, peers)

    def claims_never_steal(self, db, a, b):
        """alice's PC claims PROVEN on one service while bob's PC comes from there to the other: the claim is
        never credited beside the proof, however the two commits meet. Here the claim has been checked and waits
        for a row the test holds when the proof arrives."""
        self.assertEqual(curl_login(a.url(""), "CLAIMER", ALICE, CLAIMED)[0], 200)
        holder = subprocess.Popen(["psql", "-h", db.dir, "-p", str(db.port), "-U", "postgres", "-d", "pellamor",
                                   "-Atq"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        holder.stdin.write("BEGIN; SELECT 'held' FROM logon_addresses WHERE address = '%s' FOR UPDATE;\n" % CLAIMED)
        holder.stdin.flush()
        self.assertEqual(holder.stdout.readline().strip(), "held")
        done = {}
        claim = threading.Thread(target=lambda: done.update(
            claim=curl_login(a.url(""), "CLAIMER", ALICE, PROVEN + "," + CLAIMED)[0]))
        claim.start()

        def waiting(n):
            return int(db.rows("SELECT count(*) FROM pg_locks WHERE NOT granted")[0]) >= n
        wait_until(lambda: waiting(1), "the claim to wait for the row held")
        proof = threading.Thread(target=lambda: done.update(
            proof=Raw(b, PROVEN).login(login_target("BOB-0-1", PROVEN))))
        proof.start()
        wait_until(lambda: "proof" in done or waiting(2), "the proof to be committed, or to wait for the claim")
        holder.communicate("ROLLBACK;\n", timeout=60)
        claim.join(60)
        proof.join(60)
        self.assertEqual(done, {"claim": 200, "proof": 200})
        self.assertEqual(db.rows("SELECT l.host || '=' || a.credited FROM logon_addresses a JOIN logons l ON"
                                 " l.id = a.logon WHERE a.address = '%s' ORDER BY 1" % PROVEN),
                         ["BOB-0-1=true", "CLAIMER=false"])

    def limit_holds_across_services(self, db, a, b):
        """bob logs in under new hosts from 8 clients at once, 4 on each service: he gets his 20 entries, no more.
        (A client of our own: curl's start-up would spread them out.)"""
        statuses = []

        def client(service, n):
            for i in range(6):
                conn = Raw(service)
                statuses.append(conn.login(login_target("BOB-%d-%d" % (n, i))))
                conn.sock.close()
        clients = [threading.Thread(target=client, args=(service, n)) for n, service in enumerate([a, b] * 4)]
        for thread in clients:
            thread.start()
        for thread in clients:
            thread.join(120)
        self.assertEqual((sorted(statuses), db.rows("SELECT count(*) FROM logons WHERE \"user\" = 'bob'")),
                         ([200] * 20 + [403] * 28, ["20"]))

    def helper_fails_over(self, a, b):
        """From a dead service and from one that never answers, and it keeps its connection."""
        with socket.create_server(("127.0.0.1", 0)) as silent:
            hole = "http://127.0.0.1:%d" % silent.getsockname()[1]
            answers, err = ask_helper(a.url(""), hole, b.url(""), lines=["%d %s" % (i, HELPED) for i in range(3)])
        self.assertEqual(answers, ['%d OK user="PELLAMOR\\\\alice"' % i for i in range(3)])
        failures = (a.url("") + ": cannot connect: Connection refused", hole + ": no complete reply before the time-out")
        self.assertEqual(err.splitlines(), ["pellamor-squid-helper: %s; asked %s instead" % (failure, b.url(""))
                                            for failure in failures])
        lookups = [r for r in b.log() if r["target"] == "/lookup?ip=" + HELPED]
        self.assertEqual(([r["seq"] for r in lookups], len({r["conn"] for r in lookups})), ([1, 2, 3], 1))

    def without_the_database(self, db, b):
        """Logins get 503 with Retry-After, the helper's lines on stderr are limited, a start fails with one line."""
        status, head, _ = curl_login(b.url(""), "DIRECT", ALICE)
        self.assertEqual((status, "\nRetry-After: 10\n" in head + "\n"), (503, True), head)
        answers, err = ask_helper(b.url(""), lines=["%d %s" % (i, HELPED) for i in range(15)])
        self.assertEqual(answers, ['%d BH message="logon service: service answered 503 Service Unavailable"' % i
                                   for i in range(15)])
        self.assertEqual((err.count(HELPED + ": service answered 503"), err.count('5 more lines like "no answer"')),
                         (10, 1), err)
        uri = db.uri.replace("postgres@", "postgres:hunter2@") + "?password=hunter2&connect_timeout=3"
        started = subprocess.run([SERVICE, "--port", "0", "--db", uri], capture_output=True, text=True, timeout=60)
        self.assertEqual((started.returncode, len(started.stderr.splitlines())), (1, 1), started.stderr)
        self.assertIn("cannot reach user map %s?connect_timeout=3: connection to server" % db.uri, started.stderr)
        self.assertNotIn("hunter2", started.stderr)

    def check_outcome(self, db, b, load):
        hosts = set(db.rows("SELECT host FROM logons"))
        self.assertEqual({d[2] for d in load.done if d[4] == 200} - hosts, set())  # none lost to either crash
        # Every login from the kill to the database's crash succeeded, through the other service.
        between = [d for d in load.done if d[0] == d[1] == "one service"]
        self.assertEqual({d[4] for d in between}, {200})
        on_b = {r["params"].get("hostname") for r in logins(b) if r["status"] == 200}
        self.assertEqual({d[2] for d in between} - on_b, set())
        # Without the database nothing was acknowledged, and no login waited for it without an answer.
        self.assertEqual((load.acknowledged("no database", whole=True), [d for d in load.done if d[5] == 28]),
                         ([], []))
        # A host's logins through either service are one entry.
        self.assertEqual(db.rows("SELECT count(*) FROM logons WHERE host = 'ONE-HOST'"), ["1"])


if __name__ == "__main__":
    unittest.main(argv=sys.argv, verbosity=2)
