#!/usr/bin/env python3
"""End-to-end tests of pellamor-service: the running program on loopback, driven by curl and by
raw sockets carrying a small NTLMv2 client written here."""
import base64
import calendar
import contextlib
import hmac
import json
import os
import pathlib
import pwd
import re
import shutil
import signal
import socket
import sqlite3
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

from ctypes import CDLL, get_errno

import postgres_cluster

SERVICE = os.environ.get("PELLAMOR_SERVICE", "build/service/pellamor-service")
# bob's entry is the NT hash of "Password".
ACCOUNTS = "# test accounts\nPELLAMOR\\alice:secret\nPELLAMOR\\bob:nthash:a4f49c406510bdcab6824ee7c30fd852\n"
ALICE = "PELLAMOR\\alice:secret"
BOB = ("bob", "PELLAMOR", "a4f49c406510bdcab6824ee7c30fd852")
WORKDIRS = []
# "postgresql": each Service keeps its map in a database of its own, in a PostgreSQL cluster of this run.
MAP_STORE = os.environ.get("PELLAMOR_MAP", "sqlite")
CLUSTERS = []
IP_FREEBIND = 15
CLONE_NEWNET = 0x40000000


def make_workdir():
    WORKDIRS.append(tempfile.mkdtemp(prefix="pellamor-e2e-"))
    return WORKDIRS[-1]


def read_text(path):
    with open(path) as f:
        return f.read()


def wait_until(condition, what, limit=30):
    for _ in range(limit * 10):  # polls every 0.1 s; the bound only keeps a broken run from hanging
        if condition():
            return
        time.sleep(0.1)
    raise AssertionError("gave up waiting for " + what)


def write_file(path, text):
    with open(path, "w") as f:
        f.write(text)
    return path


# The user map as the service's first version wrote it: one table, the addresses as a list.
FIRST_FORMAT = """CREATE TABLE logons (user TEXT NOT NULL COLLATE NOCASE, domain TEXT NOT NULL COLLATE NOCASE,
    host TEXT NOT NULL COLLATE NOCASE, ips TEXT NOT NULL, peer TEXT NOT NULL, persistent INTEGER NOT NULL,
    authenticated INTEGER NOT NULL, first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL, expires INTEGER NOT NULL,
    PRIMARY KEY (user, domain, host));
    CREATE INDEX logons_by_expiry ON logons (expires);"""
LOGIN = "/tarnwise?action=login&hostname=PC1&persistent=1&domain=PELLAMOR&domain=PELLAMOR&ip=10.0.0.5,10.0.0.6"


def login_target(host, ips="10.0.0.5,10.0.0.6", action="login"):
    return LOGIN.replace("PC1", host).replace("10.0.0.5,10.0.0.6", ips).replace("login", action, 1)


def health(service):
    # /healthz's status and text.
    try:
        with urllib.request.urlopen(service.url("/healthz"), timeout=30) as reply:
            return reply.status, reply.read().decode()
    except urllib.error.HTTPError as refused:
        return refused.code, refused.read().decode()


class Service:
    """One pellamor-service process on an ephemeral loopback port with its own files; accounts None: no
    accounts file; prefix: a command that runs it (in a namespace)."""

    def __init__(self, *options, workdir=None, accounts=ACCOUNTS, stderr=None, prefix=(), env=None):
        self.dir = workdir or make_workdir()
        self.db = os.path.join(self.dir, "users.sqlite")
        if MAP_STORE == "postgresql":
            if not CLUSTERS:
                CLUSTERS.append(postgres_cluster.Postgres().__enter__())
            # Each workdir's map, its text sorted as under a server's usual locale rather than by bytes.
            self.db = CLUSTERS[0].database("map%d" % len(WORKDIRS), "--template=template0", "--locale-provider=icu",
                                           "--icu-locale=en-US")
        self.log_path = os.path.join(self.dir, "requests.log")
        self.err_path = os.path.join(self.dir, "stderr.txt")
        accounts_option = [] if accounts is None else ["--accounts", write_file(os.path.join(self.dir, "accounts"),
                                                                                  accounts)]
        with open(self.err_path, "a") as err:
            self.proc = subprocess.Popen(
                [*prefix, SERVICE, "--port", "0", *accounts_option, "--db", self.db,
                 "--request-log", self.log_path, *options],
                stdout=subprocess.PIPE, stderr=stderr or err, text=True, env=env)
        line = self.proc.stdout.readline()
        if not line.startswith("listening on "):
            raise AssertionError("service did not start: %r %s" % (line, self.stderr()))
        self.port = int(line.rsplit(":", 1)[1])

    def url(self, target):
        return "http://127.0.0.1:%d%s" % (self.port, target)

    def status(self, query=""):
        with urllib.request.urlopen(self.url("/status.json" + query), timeout=10) as reply:
            return json.load(reply)

    def entries(self, host):
        return [u for u in self.status("?host=" + urllib.parse.quote(host, safe=""))["users"] if u["host"] == host]

    def sql(self, statement):
        """Runs one statement on the map as another program would; returns the first value of each row, as text.
        Write it for both stores: "user" quoted, TRUE and FALSE for the flags."""
        if self.db.startswith("postgresql://"):
            return CLUSTERS[0].rows(statement, self.db.rsplit("/", 1)[1])
        with contextlib.closing(sqlite3.connect(self.db)) as db, db:
            return [str(row[0]) for row in db.execute(statement).fetchall()]

    def log(self):
        return [json.loads(line) for line in read_text(self.log_path).splitlines()]

    def stderr(self):
        return read_text(self.err_path)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)
        if not self.proc.stdout.closed:
            self.proc.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def curl(service, target, user=None):
    """Runs curl; returns the final status and the header block of the final reply."""
    args = ["curl", "-s", "--max-time", "10", "-D", "-", "-o", "/dev/null", "-w", "\n%{http_code}"]
    if user:
        args += ["--ntlm", "-u", user]
    out = subprocess.run(args + [service.url(target)], capture_output=True, text=True, timeout=20).stdout
    head, _, code = out.rpartition("\n")
    # Text mode turned CR LF into LF; the last header block is the final reply's.
    return int(code), head.strip().split("\n\n")[-1]


def login(service, host="PC1", ips="10.0.0.5,10.0.0.6", user=ALICE, action="login"):
    """curl's NTLM login (or logout) for host; returns the final status."""
    return curl(service, login_target(host, ips, action), user)[0]


def code(status_line):
    return int(status_line.split()[1])


class Raw:
    """An HTTP/1.1 connection whose bytes the test controls."""
    opened = []

    def __init__(self, service, source="127.0.0.1"):
        family = socket.AF_INET6 if ":" in source else socket.AF_INET
        self.sock = socket.socket(family)
        self.sock.settimeout(10)
        self.sock.setsockopt(socket.SOL_IP, IP_FREEBIND, 1)  # any address of a test range, in a Namespace
        self.sock.bind(socket.getaddrinfo(source, 0, family)[0][4])  # with its interface: "fe80::7%lo"
        # A link-local source reaches the service on its own link, where the test makes fe80::/64 local.
        server = "fe80::1" + source[source.find("%"):] if "%" in source else "::1" if ":" in source else "127.0.0.1"
        self.sock.connect(socket.getaddrinfo(server, service.port, family)[0][4])
        self.pending = b""
        Raw.opened.append(self.sock)

    def get(self, target, authorization=None, extra=b"", method=b"GET"):
        head = method + b" " + target.encode() + b" HTTP/1.1\r\n" + (b"" if b"Host:" in extra else b"Host: localhost\r\n")
        if authorization:
            head += b"Authorization: " + authorization.encode() + b"\r\n"
        self.sock.sendall(head + extra + b"\r\n")
        return self.reply()

    def reply(self):
        """Returns (status line, header block, headers as a lower-case dict, body)."""
        while b"\r\n\r\n" not in self.pending:
            self.receive()
        head, _, self.pending = self.pending.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        headers = {k.lower(): v.strip() for k, _, v in (line.partition(":") for line in lines[1:])}
        length = int(headers["content-length"])
        while len(self.pending) < length:
            self.receive()
        body, self.pending = self.pending[:length], self.pending[length:]
        return lines[0], head.decode("latin-1"), headers, body

    def receive(self):
        data = self.sock.recv(65536)
        if not data:
            raise ConnectionError("closed by the service")
        self.pending += data

    def closed_by_service(self):
        try:
            return self.sock.recv(1) == b""
        except ConnectionResetError:
            return True

    def still_serves(self):  # peers beyond loopback are served, but may not read the map
        return code(self.get("/status.json")[0]) in (200, 403)

    def challenge(self, target):
        return self.get(target, ntlm_negotiate())[2]["www-authenticate"]

    def login(self, target, user=BOB):
        """A login by the NTLMv2 client below; returns the final status."""
        return code(self.get(target, ntlm_authenticate(self.challenge(target), *user))[0])


class Namespace:
    """A network namespace of this run, entered by the test's thread (and so by the service and curl
    it starts), in which any address of 192.0.2.0/24, 198.51.100.0/24 and 2001:db8::/32 is local."""
    name = "pellamor-svc-%d" % os.getpid()

    def __enter__(self):
        subprocess.run(["ip", "netns", "add", self.name], check=True)
        for route in (["link", "set", "lo", "up"], ["route", "add", "local", "192.0.2.0/24", "dev", "lo"],
                      ["route", "add", "local", "198.51.100.0/24", "dev", "lo"],
                      ["-6", "route", "add", "local", "2001:db8::/32", "dev", "lo"]):
            subprocess.run(["ip", "-n", self.name, *route], check=True)
        self.home = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        self.enter("/run/netns/" + self.name)
        return self

    def __exit__(self, *exc):
        self.enter(self.home)
        os.close(self.home)
        subprocess.run(["ip", "netns", "del", self.name], check=True)

    @staticmethod
    def enter(namespace):
        fd = os.open(namespace, os.O_RDONLY) if isinstance(namespace, str) else namespace
        try:
            if CDLL(None, use_errno=True).setns(fd, CLONE_NEWNET) != 0:
                raise OSError(get_errno(), "setns " + str(namespace))
        finally:
            if fd is not namespace:
                os.close(fd)


def ntlm_negotiate():
    return "NTLM " + base64.b64encode(b"NTLMSSP\0" + struct.pack("<II", 1, 0x00088207) + bytes(16)).decode()


def ntlm_authenticate(www_authenticate, user, domain, nt_hash_hex, with_mic=False, av_pairs=None):
    """NTLMv2 answer to a challenge, built from the published message layout; with_mic: as Windows answers,
    with a message integrity code over ntlm_negotiate(), the challenge and the answer; av_pairs: the pairs
    that the answer's blob carries in place of the challenge's (whose MsvAvEOL is left out)."""
    challenge = base64.b64decode(www_authenticate.split(" ", 1)[1])
    server_challenge = challenge[24:32]
    info_length, _, info_offset = struct.unpack_from("<HHI", challenge, 40)
    target_info = challenge[info_offset:info_offset + info_length]
    if with_mic:  # MsvAvFlags before MsvAvEOL: "a MIC follows"
        target_info = target_info[:-4] + struct.pack("<HHI", 6, 4, 2) + bytes(4)
    if av_pairs is not None:
        target_info = av_pairs(target_info[:-4])
    key = hmac.new(bytes.fromhex(nt_hash_hex), (user.upper() + domain).encode("utf-16-le"), "md5").digest()
    timestamp = struct.pack("<Q", (int(time.time()) + 11644473600) * 10**7)
    blob = b"\1\1" + bytes(6) + timestamp + os.urandom(8) + bytes(4) + target_info + bytes(4)
    proof = hmac.new(key, server_challenge + blob, "md5").digest()
    payload = [domain.encode("utf-16-le"), user.encode("utf-16-le"), b"", bytes(24), proof + blob, b""]
    fields, data, offset = b"", b"", 88 if with_mic else 64  # room for the version and the MIC
    for piece in payload:  # domain, user, workstation, LM, NT, session key
        fields += struct.pack("<HHI", len(piece), len(piece), offset + len(data))
        data += piece
    order = [3, 4, 0, 1, 2, 5]  # header order: LM, NT, domain, user, workstation, session key
    header = b"NTLMSSP\0" + struct.pack("<I", 3) + b"".join(fields[8 * i:8 * i + 8] for i in order)
    message = header + struct.pack("<I", 0x00088205) + bytes(offset - 64) + data
    if with_mic:  # keyed with the session base key: HMAC-MD5(NTOWFv2, NTProofStr)
        transcript = base64.b64decode(ntlm_negotiate().split()[1]) + challenge + message
        mic = hmac.new(hmac.new(key, proof, "md5").digest(), transcript, "md5").digest()
        message = message[:72] + mic + message[88:]
    return "NTLM " + base64.b64encode(message).decode()


class NtlmLogin(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.service = Service()

    @classmethod
    def tearDownClass(cls):
        cls.service.stop()

    def test_answers_whose_av_pairs_cannot_be_read_are_refused(self):
        evil = "HTTP/evil.example".encode("utf-16-le")
        cases = [  # (host, the blob's pairs from the challenge's, reason)
            ("RUN", lambda pairs: pairs + struct.pack("<HH", 9, len(evil)) + evil + struct.pack("<HH", 1, 500),
             "AV pair runs past the end"),
            ("FLAGS", lambda pairs: pairs + struct.pack("<HHQ", 6, 8, 2) + bytes(4), "MsvAvFlags of 8 bytes"),
        ]
        for host, pairs, reason in cases:
            conn, target = Raw(self.service), login_target(host)
            answer = ntlm_authenticate(conn.challenge(target), "bob", "PELLAMOR", BOB[2], av_pairs=pairs)
            self.assertEqual(code(conn.get(target, answer)[0]), 401, host)
            self.assertEqual(self.service.log()[-1]["result"],
                             "rejected: malformed AV pairs in the answer of PELLAMOR\\bob: " + reason)
            self.assertEqual(self.service.entries(host), [])
        conn, target = Raw(self.service), login_target("GOOD")
        answer = ntlm_authenticate(conn.challenge(target), "bob", "PELLAMOR", BOB[2], av_pairs=lambda p: p + bytes(4))
        self.assertEqual(code(conn.get(target, answer)[0]), 200)

    def test_curl_login_is_recorded_and_logout_removes_only_that_host(self):
        head = curl(self.service, LOGIN, ALICE)[1]
        self.assertTrue(head.startswith("HTTP/1.1 200"))
        self.assertIn("\nPersistent-Time: 900\n", head + "\n")
        [entry] = self.service.entries("PC1")
        self.assertEqual((entry["user"], entry["domain"], entry["ips"]), ("alice", "PELLAMOR", ["10.0.0.5", "10.0.0.6"]))
        self.assertEqual((entry["peer"], entry["persistent"], entry["authenticated"]), ("127.0.0.1", True, True))
        steps = [r for r in self.service.log() if r["target"] == LOGIN]
        self.assertEqual([(r["seq"], r["authorization"], r["status"]) for r in steps],
                         [(1, "NTLM-negotiate", 401), (2, "NTLM-authenticate", 200)])
        self.assertEqual(len({r["conn"] for r in steps}), 1)
        self.assertEqual((steps[1]["user"], steps[1]["result"]), ("alice", "login"))
        self.assertEqual(login(self.service, "PC8"), 200)
        logout = login_target("PC1", "10.0.0.5", "logout")
        for _ in range(2):  # the second finds nothing to remove
            self.assertEqual(curl(self.service, logout, ALICE)[0], 200)
        self.assertEqual(self.service.entries("PC1"), [])
        self.assertEqual(len(self.service.entries("PC8")), 1)
        self.assertEqual([r["result"] for r in self.service.log() if r["target"] == logout],
                         ["challenge", "logout", "challenge", "logout (no entry)"])

    def test_authenticate_counts_only_once_and_only_on_its_connection(self):
        target, conn = login_target("REPLAY"), Raw(self.service)
        answer = ntlm_authenticate(conn.challenge(target), *BOB)
        self.assertEqual([code(conn.get(target, answer)[0]) for _ in range(2)], [200, 401])  # then a replay
        other = Raw(self.service)
        self.assertEqual(code(other.get(target, answer)[0]), 401)  # no challenge pending
        other.challenge(target)
        self.assertEqual(code(other.get(target, answer)[0]), 401)  # another challenge pending
        results = [r["result"] for r in self.service.log() if r["target"] == target]
        self.assertEqual(results[-3:], ["rejected: authenticate message without a pending challenge on this connection",
                                        "challenge", "rejected: wrong password for PELLAMOR\\bob"])


class Guessing(unittest.TestCase):
    WRONG = BOB[:2] + ("00" * 16,)

    def test_failed_logons_refuse_the_pair_then_the_account_from_addresses_it_never_used(self):
        target = login_target("GUESS")
        with Service("--failed-logon-limit", "10", "--failed-logon-account-limit", "30") as service:
            def guess(user, source="127.0.0.1"):
                return Raw(service, source).login(target, user)
            self.assertEqual(guess(BOB, "127.0.0.2"), 200)  # bob's own machine
            self.assertEqual([guess(self.WRONG) for _ in range(11)], [401] * 11)
            self.assertEqual(guess(BOB), 401)  # the right password, refused unchecked
            self.assertEqual(guess(BOB, "127.0.0.3"), 200)
            self.assertEqual(guess(("alice", "PELLAMOR", "878d8014606cda29677a44efa1353fc7")), 200)
            # 10 + 20 failures from three addresses: the account's limit of 30
            self.assertEqual([guess(self.WRONG, "127.0.0.%d" % (4 + i // 10)) for i in range(20)], [401] * 20)
            self.assertEqual([guess(BOB, source) for source in ("127.0.0.6", "127.0.0.2", "127.0.0.3")], [401, 200, 200])
            results = [r["result"] for r in service.log() if r["authorization"] == "NTLM-authenticate"]
            self.assertEqual(results[10], "rejected: wrong password for PELLAMOR\\bob; 10 failed logons within 60 s: "
                                          "PELLAMOR\\bob from 127.0.0.1 is refused unchecked for 60 s")
            refused = "rejected: too many failed logons for PELLAMOR\\bob from "
            self.assertEqual([results[i].split(", refused")[0] for i in (11, 12, 35)],
                             [refused + "127.0.0.1"] * 2 + [refused + "all addresses"])
            self.assertIn("; 30 failed logons within 60 s from all addresses: PELLAMOR\\bob is refused unchecked for "
                          "60 s from addresses it has not logged on from", results[34])
            self.assertIn("is refused unchecked for 60 s\n", service.stderr())
            self.assertNotIn("too many failed logons", service.stderr())  # a flood of guesses stays off stderr

    def test_after_a_restart_the_account_refusal_still_passes_the_machines_it_is_logged_on_at(self):
        target = login_target("GUESS")
        with Service() as first:
            self.assertEqual(Raw(first, "127.0.0.2").login(target, BOB), 200)  # bob's own machine
        with Service(workdir=first.dir) as service:  # remembers it from the map
            guessers = ["127.0.0.%d" % i for i in (5, 5, 5, 7)]  # the account's limit of 4, below the pair's 3
            self.assertEqual([Raw(service, source).login(target, self.WRONG) for source in guessers], [401] * 4)
            self.assertEqual([Raw(service, source).login(target, BOB) for source in ("127.0.0.6", "127.0.0.2")],
                             [401, 200])

    def test_an_ipv6_host_cannot_multiply_its_guesses_by_changing_address(self):
        cases = [  # (the guesser's addresses, another peer's address, what they count as)
            ("2001:db8:1::%x", "2001:db8:2::1", "2001:db8:1::/64"),  # another /64
            ("fe80::%x%%lo", "fe80::2%pl0", "fe80::/10%lo"),  # link-local: another interface
        ]
        with Namespace() as namespace, Service("--address", "::", "--failed-logon-limit", "10",
                                               "--failed-logon-account-limit", "0") as service:
            for link in (["link", "add", "pl0", "type", "veth", "peer", "pl1"], ["link", "set", "pl0", "up"],
                         ["link", "set", "pl1", "up"], ["-6", "route", "append", "local", "fe80::/64", "dev", "lo"],
                         ["-6", "route", "append", "local", "fe80::/64", "dev", "pl0"]):
                subprocess.run(["ip", "-n", namespace.name, *link], check=True)
            for guesser, other, group in cases:
                wrong = [Raw(service, guesser % i).login(LOGIN, self.WRONG) for i in range(2, 12)]
                self.assertEqual(wrong + [Raw(service, guesser % 0x99).login(LOGIN)], [401] * 11, group)
                self.assertEqual(Raw(service, other).login(LOGIN), 200, group)
                self.assertIn("rejected: too many failed logons for PELLAMOR\\bob from %s, refused unchecked" % group,
                              service.log()[-3]["result"])


class Durability(unittest.TestCase):
    def test_acknowledged_logins_survive_kill_9_and_sigterm_answers_every_commit(self):
        for stop in (signal.SIGKILL, signal.SIGTERM):
            with self.subTest(stop=stop):
                self.stop_during_logins(stop)

    def stop_during_logins(self, stop):
        service, acknowledged, hung = Service("--max-entries-per-account", "0"), [], []

        def agent(n):  # a new host per login: every one a real write, committed in groups
            for i in range(2000):
                try:
                    conn, host = Raw(service), "NEW-%d-%d" % (n, i)
                    if conn.login(login_target(host)) == 200:
                        acknowledged.append(host)
                    conn.sock.close()
                except TimeoutError:
                    return hung.append(host)
                except OSError:  # closed or refused
                    return
        agents = [threading.Thread(target=agent, args=(n,)) for n in range(8)]
        try:
            self.assertEqual(login(service), 200)
            first_seen = service.entries("PC1")[0]["first_seen"]
            for thread in agents:
                thread.start()
            wait_until(lambda: len(acknowledged) >= 300, "logins acknowledged while more are in flight")
            self.assertIsNone(service.proc.poll())
            service.proc.send_signal(stop)
            self.assertEqual(service.proc.wait(30), -stop if stop == signal.SIGKILL else 0)
            for thread in agents:
                thread.join(30)
            self.assertEqual(([t for t in agents if t.is_alive()], hung), ([], []))
            service = Service(workdir=service.dir)
            with sqlite3.connect(service.db) as db:
                hosts = {h for (h,) in db.execute("SELECT host FROM logons WHERE host LIKE 'NEW-%'")}
            self.assertEqual(set(acknowledged) - hosts, set())
            if stop == signal.SIGTERM:  # what was committed was answered
                self.assertEqual(hosts - set(acknowledged), set())
            self.assertEqual(login(service), 200)
            self.assertEqual(service.entries("PC1")[0]["first_seen"], first_seen)
        finally:
            service.stop()

    def test_a_map_of_the_first_format_keeps_its_entries(self):
        workdir, now = make_workdir(), int(time.time())
        rows = [("OLD1", "10.0.0.5,10.0.0.6", "127.0.0.1"), ("OLD2", "", "10.9.9.9"),  # none reported: found at its peer
                ("OLD3", "010.000.000.078", "127.0.0.1")]  # leading zeros: shown, never matched
        with sqlite3.connect(os.path.join(workdir, "users.sqlite")) as db:
            db.executescript(FIRST_FORMAT)
            db.executemany("INSERT INTO logons VALUES ('alice', 'PELLAMOR', ?, ?, ?, 1, 1, ?, ?, ?)",
                           [row + (now - 60, now - 60, now + 3600) for row in rows])
        db.close()
        # Only what an entry proves is credited: OLD1's reports from loopback are claims.
        lookups = [("10.0.0.6", []), ("10.9.9.9", ["OLD2"]), ("10.0.0.78", []), ("8.0.0.78", []),
                   ("127.0.0.1", [])]
        for start in range(2):  # the second start finds the map migrated
            with Service(workdir=workdir) as service:
                self.assertEqual([(u["host"], u["ips"], u["first_seen"]) for u in service.status()["users"]],
                                 [("OLD1", ["10.0.0.5", "10.0.0.6"], now - 60), ("OLD2", [], now - 60),
                                  ("OLD3", ["010.000.000.078"], now - 60)])
                for ip, hosts in lookups:
                    self.assertEqual([u["host"] for u in service.status("?ip=" + ip)["users"]], hosts, ip)
        self.assertEqual(service.stderr().count("indexed the addresses of the 3 entries of a map of the first format; "
                                                "1 reported addresses with leading zeros are shown but never matched"), 1)
        self.assertEqual(service.stderr().count("brought the map from no format number to format"), 1)
        with Service("--credit-claims", "10.0.0.0/8", workdir=workdir) as service:  # a refresh moves the entry on
            self.assertEqual(login(service, "OLD1", "10.0.0.7"), 200)
            self.assertEqual([u["host"] for u in service.status("?ip=10.0.0.7")["users"]], ["OLD1"])
            self.assertEqual(service.status("?ip=10.0.0.6")["users"], [])
            self.assertEqual(service.entries("OLD1")[0]["first_seen"], now - 60)

    def test_an_upgrade_says_what_it_did_and_a_restored_map_forgets_what_it_cannot_know(self):
        # A map of the format before credit was kept, made by this service and taken back one step.
        with Service() as service:
            self.assertEqual(login(service, "PC1", "127.0.0.1"), 200)  # proves where it comes from
            self.assertEqual(login(service, "PC2", "10.0.0.5"), 200, "a claim, which that format credited")
        with sqlite3.connect(service.db) as db:
            db.executescript("DROP INDEX logon_addresses_credited; ALTER TABLE logon_addresses DROP COLUMN credited;"
                             "DELETE FROM logon_events; PRAGMA user_version = 2;")
        db.close()
        with Service("--interval", "2", workdir=service.dir) as service:
            self.assertRegex(service.stderr(), r"user map .*: brought the map from format 2 to format \d+ \(2 entries\); "
                             r"1 entry no longer credited at addresses they only claim \(--credit-claims NETWORKS")
            events = history(service)["events"]
            self.assertEqual(sorted((e["kind"], e["host"], e["address"]) for e in events),
                             [("migrated", "PC1", "127.0.0.1"), ("migrated", "PC2", "10.0.0.5")])
            at = events[0]["at"]
            self.assertEqual([e["host"] for e in history(service, "?ip=127.0.0.1&at=" + at)["entries"]], ["PC1"])
            # An online backup as the guide makes it, then a logout the backup does not hold.
            backup = os.path.join(service.dir, "backup.sqlite")
            subprocess.run(["sqlite3", service.db, ".backup '%s'" % backup], check=True, timeout=60)
            backed_up = int(time.time())
            wait_until(lambda: int(time.time()) > backed_up, "a later second than the backup's changes")
            self.assertEqual(login(service, "PC1", "127.0.0.1", action="logout"), 200)
        for leftover in ("-wal", "-shm"):
            pathlib.Path(service.db + leftover).unlink(missing_ok=True)
        shutil.copyfile(backup, service.db)
        with Service("--interval", "2", workdir=service.dir) as service:
            said = re.search(r"user map .*: restored from a backup: .* so its 2 live entries expire at (\S+) unless", service.stderr())
            self.assertIsNotNone(said, service.stderr())
            [entry] = service.entries("PC1")  # the logout is lost with the restore, until the entry expires
            self.assertLessEqual(entry["expires"], time.time() + 2)
            while time.time() < entry["expires"] + 0.5:
                time.sleep(0.25)
            self.assertEqual(service.entries("PC1"), [])
        with Service(workdir=service.dir) as service:  # that map is the service's own from now on
            self.assertEqual(service.stderr().count("restored from a backup"), 1)

    def test_a_map_with_its_history_copies_to_postgresql_and_back_into_empty_maps_only(self):
        with Service() as service:
            for host, ips, action in (("PC1", "127.0.0.1", "login"), ("PC2", "10.0.0.5", "login"),
                                      ("PC3", "", "login"), ("PC3", "", "logout")):
                self.assertEqual(login(service, host, ips, action=action), 200, host)
            entries, events = service.status()["users"], history(service)["events"]
        self.assertEqual([(u["host"], u["uncredited"]) for u in entries], [("PC1", []), ("PC2", ["10.0.0.5"])])
        with postgres_cluster.Postgres() as cluster:
            uri = cluster.database("copy")
            copy = os.path.join(make_workdir(), "users.sqlite")
            for source, target in ((service.db, uri), (uri, copy)):
                said = subprocess.run([SERVICE, "--copy-map", source, target], capture_output=True, text=True, timeout=60)
                self.assertEqual((said.returncode, said.stderr), (0, ""))
                self.assertRegex(said.stdout, r"^copied 2 entries, %d events and \d+ samples from .* to .*\n$" % len(events))
            again = subprocess.run([SERVICE, "--copy-map", service.db, uri], capture_output=True, text=True, timeout=60)
            self.assertEqual(again.returncode, 1)
            self.assertIn("is not empty: it holds 2 entries", again.stderr)
            # Kept by a service that saw a later change than the copy's: the copy is taken for a restored map.
            runs_in = make_workdir()
            write_file(os.path.join(runs_in, "pellamor-map.last-change"), "%s\n%d\n" % (uri, time.time() + 60))
            with Service("--db", uri, "--interval", "2", workdir=runs_in, prefix=("env", "--chdir=" + runs_in)) as pg:
                self.assertRegex(pg.stderr(), r"restored from a backup: .* its 2 live entries expire at ")
                self.assertLessEqual(max(u["expires"] for u in pg.status()["users"]), time.time() + 2)
        with Service(workdir=os.path.dirname(copy)) as service:
            self.assertEqual((service.status()["users"], history(service)["events"]), (entries, events))
            self.assertEqual(service.status("?ip=10.0.0.5")["users"], [])  # a claim stays uncredited

    def test_a_damaged_map_stops_the_start_untouched_and_the_recovery_it_names_works(self):
        service = Service()
        service.stop()
        now = int(time.time())
        with sqlite3.connect(service.db) as db:
            db.executemany("INSERT INTO logons (user, domain, host, ips, peer, persistent, authenticated, first_seen,"
                           " last_seen, expires) VALUES ('u', 'D', ?, '', '', 1, 1, ?, ?, ?)",
                           (("H%d" % i, now, now, now + 3600) for i in range(3000)))
            db.commit()
            db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
            [(leaf,)] = db.execute("SELECT pageno FROM dbstat WHERE name = 'logons' AND pagetype = 'leaf' LIMIT 1 OFFSET 5")
        with open(service.db, "r+b") as f:
            f.seek((leaf - 1) * 4096 + 100)  # inside a leaf page of the table
            f.write(b"\xff" * 200)
        damaged = pathlib.Path(service.db).read_bytes()
        result = subprocess.run([SERVICE, "--port", "0", "--db", service.db], capture_output=True, text=True, timeout=60)
        self.assertEqual((result.returncode, result.stdout, len(result.stderr.splitlines())), (1, "", 1), result.stderr)
        self.assertIn("user map %s is damaged (" % service.db, result.stderr)
        self.assertEqual(pathlib.Path(service.db).read_bytes(), damaged)
        move_aside, salvage = re.search(r"\((mv .*)\), delete .* before that start: (.*)", result.stderr).groups()
        subprocess.run(" && ".join([move_aside, "rm %s-shm" % service.db]), shell=True, check=True, timeout=60)
        # sqlite3 exits 1 when rows it read from the damaged page lack a value the table requires (it depends on
        # what the damage hit); it writes back the others, which the service must then take.
        subprocess.run(salvage, shell=True, timeout=60)
        with Service(workdir=service.dir) as service:
            self.assertGreater(len(service.status("?limit=1000")["users"]), 900)
            self.assertIn("entries of a map without its format number (written back from a dump)", service.stderr())

    def test_expired_logins_drop_out_and_are_purged(self):
        with Service("--interval", "1", "--nonpersistent-lifetime", "3600") as service:
            self.assertEqual(login(service, ips="127.0.0.1"), 200)  # found, and credited, where it comes from
            self.assertEqual(curl(service, login_target("ONESHOT").replace("persistent=1", "persistent=0"), ALICE)[0],
                             200)
            [persistent] = service.entries("PC1")
            [oneshot] = service.entries("ONESHOT")
            self.assertEqual(persistent["expires"] - persistent["last_seen"], 2)
            self.assertEqual(oneshot["expires"] - oneshot["last_seen"], 3600)
            while time.time() < persistent["expires"] + 0.5:
                time.sleep(0.25)
            self.assertEqual(service.entries("PC1"), [])
            self.assertEqual(len(service.entries("ONESHOT")), 1)
            # The writer removes it on its own, without a login to commit, and says so.
            wait_until(lambda: service.sql("SELECT host FROM logons") == ["ONESHOT"], "the expired entry's purge")
            self.assertRegex(service.stderr(), r"pellamor-service: expired: PELLAMOR\\alice at PC1, last seen "
                                               r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ, ran out \d{4}-.*Z\n")
            self.assertNotIn("ONESHOT", service.stderr())  # its claims from loopback are not credited
            wait_until(lambda: "credit at 127.0.0.1: PELLAMOR\\alice at PC1 -> nobody\n" in service.stderr(),
                       "the line of the credit the purge took")
            self.assertEqual(re.findall(r"pellamor-service: (credit at .*)\n", service.stderr()),
                             ["credit at 127.0.0.1: nobody -> PELLAMOR\\alice at PC1",
                              "credit at 127.0.0.1: PELLAMOR\\alice at PC1 -> nobody"])


def history(service, query="", status=200):
    """curl's GET of /history.json: the document, or with another status expected, the reply's text."""
    out = subprocess.run(["curl", "-s", "--max-time", "10", "-w", "\n%{http_code}", service.url("/history.json" + query)],
                         capture_output=True, text=True, timeout=20).stdout
    body, _, code = out.rpartition("\n")
    if int(code) != status:
        raise AssertionError("%s answered %s: %s" % (query, code, body))
    return json.loads(body) if status == 200 else body


class History(unittest.TestCase):
    def test_the_history_tells_what_changed_and_who_was_at_an_address(self):
        with Service("--nonpersistent-lifetime", "1") as service:
            self.assertEqual(curl(service, login_target("ONESHOT", "10.0.0.9").replace("persistent=1", "persistent=0"),
                                  ALICE)[0], 200)
            wait_until(lambda: service.sql("SELECT host FROM logons") == [], "the one-shot entry's purge")
            for ips, action in (("10.0.0.5,10.0.0.6", "login"), ("10.0.0.5,10.0.0.6", "login"), ("10.0.0.7", "login"),
                                ("", "logout")):
                self.assertEqual(login(service, "PC1", ips, action=action), 200)
            events = history(service)["events"]
            self.assertEqual([(e["kind"], e["user"], e["host"], e["address"]) for e in events], [
                ("logout", "alice", "PC1", "10.0.0.7"), ("moved", "alice", "PC1", "10.0.0.7"),  # the refresh is none
                ("login", "alice", "PC1", "10.0.0.6"), ("login", "alice", "PC1", "10.0.0.5"),
                ("expired", "alice", "ONESHOT", "10.0.0.9"), ("login", "alice", "ONESHOT", "10.0.0.9")])
            login_at, logout_at = events[3]["at"], events[0]["at"]
            self.assertEqual([(e["host"], e["credited"]) for e in history(service, "?ip=10.0.0.5&at=" + login_at)["entries"]],
                             [("PC1", False)])  # reported from 127.0.0.1: a claim
            epoch = calendar.timegm(time.strptime(login_at, "%Y-%m-%dT%H:%M:%SZ"))
            for spelling in (time.strftime("%Y-%m-%dT%H:%M:%S.250+01:00", time.gmtime(epoch + 3600)),
                             time.strftime("%Y-%m-%dt%H:%M:%S-0530", time.gmtime(epoch - 19800)),
                             time.strftime("%Y-%m-%d+%H:%M:%S", time.localtime(epoch))):  # local, as a form sends it
                self.assertEqual([e["host"] for e in history(service, "?ip=10.0.0.5&at=" + spelling)["entries"]],
                                 ["PC1"], spelling)
            self.assertEqual(history(service, "?ip=10.0.0.7&at=" + logout_at)["entries"], [])
            page = history(service, "?user=PELLAMOR%5CALICE&host=pc1&limit=1&offset=1&until=" + logout_at)
            self.assertEqual(([e["kind"] for e in page["events"]], page["more"]), (["moved"], True))
            for query, reason in (("?at=" + login_at, "give ip too"), ("?ip=10.0.0.5&at=yesterday", "2026-12-07T14:05:00Z"),
                                  ("?since=2026-02-29T10:00Z", "2026-12-07 15:05"), ("?until=2026-12-08T10:00+24", "not"),
                                  ("?ip=10.0.0.5&at=%s&user=alice" % login_at, "not with user"),
                                  ("?since=2026-12-08T00:00:00Z&until=2026-12-07T00:00:00Z", "since is after until")):
                self.assertIn(reason, history(service, query, 400))


class Limits(unittest.TestCase):
    def test_a_login_claims_a_bounded_share_of_the_map(self):
        alice = ("alice", "PELLAMOR", "878d8014606cda29677a44efa1353fc7")
        bob_full = "PELLAMOR\\bob already has 2 live entries at other hosts, the most one account may hold"
        cases = [  # (host, ips, action, account, status, request log result: its reason is the reply's body)
            ("H" * 256, "10.0.0.1", "login", BOB, 400, "refused: hostname has 256 characters; at most 255 are recorded"),
            ("%C3%A9" * 255, "10.0.0.1", "login", BOB, 200, "login"),  # characters are counted, not bytes
            ("PC1", "010.000.000.078", "login", BOB, 400, 'bad request: ip holds "010.000.000.078", an IPv4 address '
             "with leading zeros, which some read as octal; write it without them"),
            ("PC1", "10.0.0.1,10.0.0.2,10.0.0.3", "login", BOB, 200, "login"),
            ("PC2", "10.0.0.78", "login", BOB, 403, "refused: " + bob_full + " (--max-entries-per-account); log "
             "out at one of them or wait until one expires"),
            ("PC2", "10.0.0.78", "login", alice, 200, "login"),  # another account
            ("PC1", "10.0.0.1", "login", BOB, 200, "login"),  # a refresh adds nothing
            ("PC1", "", "logout", BOB, 200, "logout"),
            ("PC2", "10.0.0.78", "login", BOB, 200, "login"),
            ("H" * 256, "", "logout", BOB, 200, "logout (no entry)"),  # a logout claims nothing
        ]
        with Service("--max-addresses-per-login", "3", "--max-entries-per-account", "2", "--credit-claims",
                     "10.0.0.0/8") as service:
            for host, ips, action, account, status, result in cases:
                conn, target = Raw(service), login_target(host, ips, action)
                status_line, _, _, body = conn.get(target)
                if code(status_line) == 401:
                    status_line, _, _, body = conn.get(target, ntlm_authenticate(conn.challenge(target), *account))
                self.assertEqual((code(status_line), service.log()[-1]["result"]), (status, result), host[:9])
                self.assertEqual(result.partition(": ")[2] in body.decode(), True, body)
                if ": " in result:  # refusals are reported on stderr, bad requests not
                    self.assertEqual(result in service.stderr(), result.startswith("refused"), result)
            self.assertEqual(sorted((u["user"], u["host"][:2], u["ips"]) for u in service.status()["users"]),
                             [("alice", "PC", ["10.0.0.78"]), ("bob", "PC", ["10.0.0.78"]), ("bob", "\u00e9\u00e9", ["10.0.0.1"])])
            self.assertEqual([u["host"] for u in service.status("?ip=10.0.0.78")["users"]], ["PC2", "PC2"])
            # Too many addresses: recorded with the first ones, the one the login comes from kept among them.
            conn, target = Raw(service), login_target("PC3", "10.0.0.5,10.0.0.6,10.0.0.7,127.0.0.1", "login")
            conn.get(target)
            status_line, _, _, body = conn.get(target, ntlm_authenticate(conn.challenge(target), *alice))
            cut = "recorded 3 of the 4 addresses listed (--max-addresses-per-login): 10.0.0.5,10.0.0.6,127.0.0.1"
            self.assertEqual((code(status_line), cut in body.decode(), cut in service.stderr()), (200, True, True))
            self.assertEqual([u["ips"] for u in service.status()["users"] if u["host"] == "PC3"],
                             [["10.0.0.5", "10.0.0.6", "127.0.0.1"]])


class Availability(unittest.TestCase):
    def test_one_address_cannot_lock_out_the_others(self):
        with Service("--max-connections-per-peer", "16", "--request-timeout", "1", "--idle-timeout", "600",
                     "--first-byte-timeout", "3") as service:
            held = [conn for conn in (Raw(service, "127.0.0.2") for _ in range(16)) if conn.still_serves()]
            self.assertEqual(len(held), 16)  # each sent at once, as a new connection must
            status_line, _, headers, _ = Raw(service, "127.0.0.2").reply()  # one too many: answered at once
            self.assertEqual((status_line, headers["retry-after"]), ("HTTP/1.1 503 Service Unavailable", "10"))
            self.assertEqual(login(service), 200)  # from 127.0.0.1
            # A request that does not arrive whole in time loses its connection; an idle one does not.
            held[1].sock.sendall(b"GET /status.json HTTP/1.1\r\nHost: slow\r\n")
            self.assertTrue(held[1].closed_by_service())
            self.assertTrue(held[0].still_serves())
            # Its slot is given back once the service sees the time-out, which closed the socket a moment before.
            wait_until(lambda: Raw(service, "127.0.0.2").still_serves(), "the slow connection's slot given back")
            silent = Raw(service, "127.0.0.3")  # a new connection that never sends is closed soon
            silent.sock.settimeout(120)
            self.assertTrue(silent.closed_by_service())

    def test_peers_at_their_limit_leave_headroom_for_new_ones(self):
        options = ("--address", "::", "--max-connections", "40", "--max-connections-per-peer", "8",
                   "--idle-timeout", "600", "--first-byte-timeout", "600")
        with Namespace(), Service(*options) as service:  # 10 of the 40 slots are headroom
            steps = [  # (sources, how many of their connections are served)
                (["2001:db8:1::%x" % i for i in range(1, 10)], 8),  # one /64, whatever its addresses
                (["192.0.2.1"] * 9 + ["192.0.2.2"] * 9, 16),
                (["198.51.100.1"] * 8, 6),  # up to 30 connections: the rest is headroom
                (["198.51.100.2"] * 2 + ["2001:db8:2::1"] * 2, 2),  # newcomers get one each
            ]
            for sources, count in steps:
                self.assertEqual(sum(Raw(service, source).still_serves() for source in sources), count, sources)

    def test_a_lookup_allow_list_lets_a_proxy_ask_who_is_at_an_address_and_nothing_more(self):
        options = ("--address", "::", "--lookup-allow", "192.0.2.0/29")
        with Namespace(), Service(*options) as service:
            for source, target, status in (("192.0.2.5", "/lookup?ip=10.0.0.5", 200), ("192.0.2.5", "/status.json", 403),
                                           ("192.0.2.5", "/history.json", 403), ("192.0.2.99", "/lookup?ip=10.0.0.5", 403)):
                self.assertEqual(code(Raw(service, source).get(target)[0]), status, (source, target))

    def test_sighup_reloads_the_accounts_without_dropping_connections(self):
        carol = "carol:carol's secret"
        with Service() as service:
            held = Raw(service)
            self.assertEqual((held.still_serves(), login(service, "PCC", user=carol)), (True, 401))
            for accounts, said in ((ACCOUNTS + carol + "\n", "reloaded 3 accounts from " + service.dir),
                                   ("PELLAMOR\\alice\n", "accounts not reloaded, the 3 accounts in use stay: ")):
                write_file(os.path.join(service.dir, "accounts"), accounts)  # the second cannot be used
                service.proc.send_signal(signal.SIGHUP)
                wait_until(lambda: said in service.stderr(), said)
                self.assertEqual((login(service, "PCC", user=carol), held.still_serves()), (200, True))
            # A request log on a full disk: requests are still answered, and stderr says that the log lacks them.
            os.remove(service.log_path)
            os.symlink("/dev/full", service.log_path)
            service.proc.send_signal(signal.SIGHUP)
            wait_until(lambda: service.stderr().count("reopened the request log") == 3, "the third reopening")
            self.assertEqual(login(service, "PCC", user=carol), 200)
            said = "the request log %s cannot be written: No space left on device" % service.log_path
            wait_until(lambda: said in service.stderr(), said)


class MalformedInput(unittest.TestCase):
    def test_bad_requests_get_clear_statuses_and_the_service_keeps_serving(self):
        valid = login_target("ODD")
        cases = [  # (target, authorization, extra header bytes, method, status, connection closed, log result)
            (LOGIN + "%zz", None, b"", b"GET", 400, False, 'bad request: bad percent escape in query: "%zz"'),
            ("/tarnwise?hostname=PC1", None, b"", b"GET", 400, False, 'bad request: missing parameter "action"'),
            ("/tarnwise?action=dance&hostname=PC1", None, b"", b"GET", 400, False,
             'bad request: action must be login or logout, not "dance"'),
            ("/elsewhere", None, b"", b"GET", 404, False, "not found"),
            (LOGIN, None, b"", b"POST", 405, False, "method not allowed"),
            (valid + "&pad=" + "x" * 9000, None, b"", b"GET", 414, True, "bad request: target longer than 8192 bytes"),
            (valid, None, b"X-Pad: " + b"y" * 20000 + b"\r\n", b"GET", 431, True,
             "bad request: header block larger than 16384 bytes"),
            ("/status.json", "Negotiate " + "A" * 20000, b"", b"GET", 431, True,
             "bad request: header block larger than 16384 bytes"),  # only the agents' endpoint takes large tokens
            (valid, "Negotiate " + "A" * 20000, b"", b"GET", 401, False,
             "rejected: a Negotiate token that is not NTLM, and Kerberos is not set up (--keytab)"),
            (valid, "Negotiate " + "A" * 70000, b"", b"GET", 401, True,
             "bad request: Authorization header too large: the header block holds at most 65536 bytes"),
            (valid, "Negotiate " + "A" * 20000, b"X-Pad: " + b"y" * 17000 + b"\r\n", b"GET", 431, True,
             "bad request: header block larger than 16384 bytes"),  # the rest keeps its limit
            (valid, "NTLM " + "A" * 13000, b"", b"GET", 401, False, "rejected: NTLM token too large (13000 characters)"),
            (valid, "NTLM !!!!", b"", b"GET", 401, False, "rejected: NTLM token is not valid base64"),
            (valid, "NTLM TlRMTVNTUAAB", b"", b"GET", 401, False, "rejected: NTLM message too short (9 bytes)"),
            (valid, "NTLM TlRMTVNTUAABAAAAB4II", b"", b"GET", 401, False,
             "rejected: malformed negotiate message: message too short (15 bytes)"),
            (valid, "NTLM TlRMTVNTUAACAAAA", b"", b"GET", 401, False,
             "rejected: token is not an NTLM negotiate or authenticate message"),
            (valid, "Basic YWxpY2U6c2VjcmV0", b"", b"GET", 401, False,
             'rejected: unsupported authorization scheme "Basic"'),
        ] + [  # what only a browser sends: a page elsewhere must not log its user on or off here
            (valid, ntlm_negotiate(), header, b"GET", 403, False,
             "refused: a browser's request (%s): the agents' endpoint takes none" % header.decode().strip())
            for header in (b"Origin: https://evil.example\r\n", b"Referer: https://evil.example/\r\n",
                           b"Sec-Fetch-Site: cross-site\r\n", b"User-Agent: Mozilla/4.0 (compatible; MSIE 8.0)\r\n")
        ] + [  # a proxy's user asking for the map through the proxy
            ("/status.json", None, header, b"GET", 403, False, "refused: a request a proxy forwarded (%s) from "
             "127.0.0.1, which is no --trusted-relay" % header.decode().strip())
            for header in (b"Via: 1.1 proxy (squid/5.7)\r\n", b"X-Forwarded-For: 10.0.0.9\r\n")
        ] + [  # another site's name that came to resolve to this service (DNS rebinding)
            ("/status.json", None, header, b"GET", status, False, result) for header, status, result in (
                (b"Host: rebound.example:8080\r\n", 403,
                 "refused: a request for rebound.example, which is none of the service's names (--service-name)"),
                (b"Host: [::1]:8080\r\n", 200, "status"), (b"Host: WEB.example.\r\n", 200, "status"))
        ]
        with Service("--service-name", "web.example", stderr=subprocess.PIPE) as service:
            service.proc.stderr.close()  # every rejection is reported to a broken pipe
            for target, authorization, extra, method, status, closed, result in cases:
                conn = Raw(service)
                status_line, _, headers, _ = conn.get(target, authorization, extra, method)
                self.assertEqual(code(status_line), status, result)
                if status == 401:  # the agent may log on again, at least by NTLM
                    self.assertIn("NTLM", headers["www-authenticate"], result)
                self.assertEqual(service.log()[-1]["result"], result)
                self.assertTrue(conn.closed_by_service() if closed else conn.still_serves(), result)
            conn = Raw(service)
            conn.sock.sendall(b"HELLO\r\n\r\n")
            self.assertEqual(code(conn.reply()[0]), 400)
            self.assertEqual(service.entries("ODD"), [])
            # A typed address is no cross-site request; and no other site may frame or sniff what is answered.
            status_line, _, headers, _ = Raw(service).get(valid, None, b"Sec-Fetch-Site: none\r\n")
            self.assertEqual((code(status_line), headers["x-frame-options"], headers["x-content-type-options"],
                              headers["referrer-policy"]), (401, "DENY", "nosniff", "no-referrer"))
            self.assertIn("frame-ancestors 'none'", headers["content-security-policy"])
            self.assertEqual(login(service, "ODD", user="PELLAMOR\\alice:wrong"), 401)
            self.assertEqual(login(service, "ODD"), 200)
            self.assertIsNone(service.proc.poll())


    def test_floods_write_few_short_lines_that_requests_cannot_forge(self):
        sent = {"rejected: unknown user": 60, "rejected: NTLM token": 30, "bad request: bad method": 30}
        with Service() as service:
            conn = Raw(service)
            # A logout claims nothing: its host name, however long, reaches the handshake.
            target = login_target("EVIL%0D%0Apellamor-service:%20forged%E2%80%A8%E2%80%AEgpj.exe" + "H" * 8000,
                                  action="logout")
            for _ in range(60):
                conn.login(target, ("eve\r\nforged\x85\u2066", "PELLAMOR", BOB[2]))
            for _ in range(30):
                conn.get(target, "NTLM !!!!")
            for _ in range(30):
                garbage = Raw(service)
                garbage.sock.sendall(b"HELLO\r\n\r\n")
                garbage.reply()
            service.stop()  # tells what is left out
            err = service.stderr()
            left_out = {kind: int(n) for n, kind in re.findall(r'(\d+) more lines like "([^"]+)" left out', err)}
            for kind, count in sent.items():
                written = err.count(": " + kind)
                self.assertEqual((written + left_out.get(kind, 0), written < count), (count, True), kind)
            self.assertLessEqual(max(len(line) for line in err.splitlines()), 1100)
            self.assertIn(r"host EVIL\x0d\x0apellamor-service: forged\u2028\u202egpj.exeHHH", err)
            self.assertIn(r"HHH...(7787 more bytes): rejected: unknown user PELLAMOR\eve\x0d\x0aforged\u0085\u2066", err)
            self.assertEqual([line for line in err.splitlines() if "forged" in line and "EVIL" not in line], [])
            self.assertLess(max(len(line) for line in read_text(service.log_path).splitlines()), 4096)


class TestMode(unittest.TestCase):
    def test_retry_without_credentials_on_the_same_connection_is_accepted(self):
        with Service("--accept-unauthenticated-retry") as service:
            conn = Raw(service)
            status_line, _, headers, _ = conn.get(LOGIN)
            self.assertEqual((status_line, headers["www-authenticate"]), ("HTTP/1.1 401 Unauthorized", "NTLM"))
            status_line, _, headers, _ = conn.get(LOGIN)
            self.assertEqual((status_line, headers["persistent-time"]), ("HTTP/1.1 200 OK", "900"))
            [entry] = service.entries("PC1")
            self.assertEqual((entry["user"], entry["domain"], entry["authenticated"]), ("", "PELLAMOR", False))
            fresh = Raw(service)  # no earlier 401 on this connection
            self.assertEqual(fresh.get(login_target("PC9"))[0], "HTTP/1.1 401 Unauthorized")
            self.assertEqual(login(service, "PC3"), 200)
            self.assertEqual([(e["user"], e["authenticated"]) for e in service.entries("PC3")], [("alice", True)])


class CommandLine(unittest.TestCase):
    def run_service(self, *args, as_nobody=False):
        become = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] if as_nobody else []
        return subprocess.run([*become, SERVICE, *args], capture_output=True, text=True, timeout=20)

    def test_help_the_manual_page_and_the_parser_name_the_same_options(self):
        here = os.path.dirname(__file__)
        parser = set(re.findall(r'\{"(--[a-z][a-z-]*)",', read_text(os.path.join(here, "..", "config", "options.cpp"))))
        result = self.run_service("--help")
        self.assertEqual(result.returncode, 0)
        described = set(re.findall(r"^  (--[a-z][a-z-]*)", result.stdout, re.M))
        page = read_text(os.path.join(here, "..", "man", "pellamor-service.8"))
        entries = set(re.findall(r"^\.TP\n\.B[IR]? \\-\\-([a-z][a-z\\-]*)", page, re.M))
        self.assertEqual(described, parser)
        self.assertEqual({"--" + name.replace("\\-", "-") for name in entries}, parser)
        refused = ["--address", "0.0.0.0", "--test-no-interval-header"]  # never starts, whatever follows
        for option in parser:  # the table read above is the one the program parses with
            self.assertNotIn('unknown option "%s"' % option, self.run_service(*refused, option).stderr)

    def test_the_guides_nt_hash_command_gives_the_accounts_files_hash(self):
        command = ("printf '%s' 'Password' | iconv -f UTF-8 -t UTF-16LE | openssl dgst -md4 -provider legacy "
                   "-provider default | sed 's/.*= //'")  # as docs/deploying.md shows it
        self.assertEqual(subprocess.run(command, shell=True, capture_output=True, text=True).stdout, BOB[2] + "\n")

    def test_bad_start_gives_one_line_error(self):
        workdir = make_workdir()
        bad_accounts = write_file(os.path.join(workdir, "bad-accounts"), "PELLAMOR\\alice\n")
        busy = Service()
        db = ["--db", os.path.join(workdir, "db.sqlite")]
        os.makedirs(os.path.join(workdir, "closed"), 0o555)
        closed_keytab = write_file(os.path.join(workdir, "closed", "keytab"), "")
        os.chmod(closed_keytab, 0)
        os.chmod(workdir, 0o755)  # root may write anywhere: nobody tries it
        cases = [
            (["--bogus"], 'unknown option "--bogus" (see --help)'),
            (["--port", "http"], '--port expects a whole number from 0 to 65535, not "http"'),
            (["--interval", "0"], "--interval expects a whole number from 1 to 4294967"),
            (["--accounts"], "--accounts needs a value"),
            (["--accounts", "/nonexistent/accounts"] + db,
             "cannot read accounts file /nonexistent/accounts: No such file or directory"),
            (["--accounts", bad_accounts] + db, "line 1: expected DOMAIN\\user:password"),
            (["--db", "/nonexistent/dir/users.sqlite"],
             "cannot open user map /nonexistent/dir/users.sqlite: folder /nonexistent/dir does not exist"),
            (["--db", os.path.join(workdir, "closed", "users.sqlite")], "folder %s/closed may not be written by user"
             % workdir),  # run by nobody, below
            (["--port", str(busy.port)] + db,
             "cannot listen on 127.0.0.1:%d: Address already in use" % busy.port),
            (["--address", "0.0.0.0", "--accept-unauthenticated-retry"],
             "refused unless --address is a loopback address (0.0.0.0 is not)"),
            (["--address", "0.0.0.0", "--test-final-status", "403"], "refused unless --address is a loopback"),
            (["--test-interval-header", "X: 1", "--test-no-interval-header"], "exclude each other"),
            (["--service-name", "a,,b"], "--service-name expects host names separated by commas"),
            (["--verify", "kerberos"], '--verify expects accounts or winbind, not "kerberos"'),
            (["--verify", "winbind", "--accounts", bad_accounts], "--accounts is read only with --verify accounts"),
            (["--keytab", bad_accounts] + db, "cannot use keytab %s: " % bad_accounts),
            (db + ["--keytab", closed_keytab], "cannot use keytab %s: permission denied for user %s (" %
             (closed_keytab, "nobody" if os.geteuid() == 0 else pwd.getpwuid(os.geteuid()).pw_name)),
            (["--status-allow", "10.0.0.5/8"], 'network "10.0.0.5/8" has bits set beyond its length of 8'),
            (["--trusted-relay", "relay.example"], '--trusted-relay expects networks such as 10.0.0.0/8'),
            (["--admin-group", "admins"], "--admin-group needs the directory to tell who is in the group"),
            (["--admin-group", "admins", "--keytab", bad_accounts, "--port", "0"] + db,
             "--admin-group admins: a group name needs winbind (--verify winbind) to find its SID"),
            (["--admin-group", "s-1-5-21-1-2-3-1104", "--keytab", bad_accounts, "--port", "0"] + db,
             "cannot use keytab"),  # a SID needs no winbind
        ]
        try:
            Service("--allow-empty-password", accounts="D\\eve:\n").stop()  # starts with the option
            for args, message in cases:
                result = self.run_service(*args, as_nobody="closed" in args[-1] and os.geteuid() == 0)
                self.assertNotEqual(result.returncode, 0, args)
                self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
                self.assertIn(message, result.stderr, args)
                self.assertEqual(result.stdout, "", args)
            self.assertEqual(sorted(os.listdir(workdir)), ["bad-accounts", "closed"])  # nor a map of a failed start
        finally:
            busy.stop()


def tearDownModule():
    for sock in Raw.opened:
        sock.close()
    for workdir in WORKDIRS:
        shutil.rmtree(workdir, ignore_errors=True)
    while CLUSTERS:
        CLUSTERS.pop().__exit__()


if __name__ == "__main__":
    unittest.main(argv=sys.argv, verbosity=2)
