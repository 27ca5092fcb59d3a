#!/usr/bin/env python3
"""End-to-end tests of the administrator's views: the status console as headless Chromium renders it,
/status.json's filters and totals, /metrics as promtool reads it, and /healthz against real faults."""
import html.parser
import os
import re
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

from e2e_service import (ALICE, BOB, LOGIN, SERVICE, WORKDIRS, Raw, Service, curl, health, login, login_target,
                         tearDownModule, wait_until)

CHROMIUM = os.environ.get("PELLAMOR_CHROMIUM", "chromium")
TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
PROMTOOL = os.environ.get("PELLAMOR_PROMTOOL", os.path.join(TOP, "build", "promtool", "usr", "bin", "promtool"))
BOB_LOGIN = "PELLAMOR\\bob:Password"
ALICE_NT = ("alice", "PELLAMOR", "878d8014606cda29677a44efa1353fc7")  # the NT hash of "secret"
WRONG = BOB[:2] + ("00" * 16,)


class Dom(html.parser.HTMLParser):
    """The elements of a rendered page, each with its attributes and its content: texts and elements."""

    def __init__(self, page):
        super().__init__()
        self.root = {"tag": "", "attrs": {}, "children": []}
        self.open = [self.root]
        self.feed(page)

    def handle_starttag(self, tag, attrs):
        node = {"tag": tag, "attrs": dict(attrs), "children": []}
        self.open[-1]["children"].append(node)
        if tag not in ("meta", "input", "br"):  # the elements without content
            self.open.append(node)

    def handle_endtag(self, tag):
        if any(node["tag"] == tag for node in self.open[1:]):
            while self.open.pop()["tag"] != tag:
                pass

    def handle_data(self, data):
        self.open[-1]["children"].append(data)

    def all(self, tag, css_class=None, node=None):
        found = []
        for child in (node or self.root)["children"]:
            if isinstance(child, str):
                continue
            if child["tag"] == tag and (css_class is None or css_class in child["attrs"].get("class", "").split()):
                found.append(child)
            found += self.all(tag, css_class, child)
        return found


def text(node):
    return " ".join(" ".join(c if isinstance(c, str) else text(c) for c in node["children"]).split())


def rendered(service, target):
    """The page as Debian's Chromium rendered it, headless, with a profile of its own."""
    profile = tempfile.mkdtemp(prefix="pellamor-chromium-")
    WORKDIRS.append(profile)
    args = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--user-data-dir=" + profile, "--dump-dom", service.url(target)]
    return Dom(subprocess.run(args, capture_output=True, text=True, timeout=120, check=True).stdout)


def built_version():
    """The version the service's --version names (the installed package's test ties it to the history)."""
    said = subprocess.run([SERVICE, "--version"], capture_output=True, text=True, timeout=20).stdout
    return said.removeprefix("pellamor-service ").strip()


def rows(dom):
    """(classes, cell texts) of each entry's row, the host's cell only in the first row of its host."""
    return [(tr["attrs"].get("class", ""), [text(td) for td in dom.all("td", node=tr)])
            for tr in dom.all("tr", node=dom.all("tbody")[0]) if dom.all("td", node=tr)]


def add_entry(service, user, host, ip, last_seen, expires, persistent):
    """An entry written into the map as an agent's login long ago would have left it."""
    service.sql("INSERT INTO logons (\"user\", domain, host, ips, peer, persistent, authenticated, first_seen, last_seen,"
                " expires) VALUES ('%s', 'PELLAMOR', '%s', '%s', '10.0.0.1', %s, TRUE, %d, %d, %d)"
                % (user, host, ip, persistent, last_seen, last_seen, expires))
    service.sql("INSERT INTO logon_addresses (address, logon, credited) SELECT '%s', id, TRUE FROM logons WHERE"
                " \"user\" = '%s'" % (ip, user))


class Console(unittest.TestCase):
    def test_the_console_finds_marks_groups_and_draws_what_the_map_holds(self):
        os.environ["TZ"] = "EST5EDT"  # the service shows local times
        service = Service("--credit-claims", "10.0.0.0/8")  # the agents' reports from loopback count
        try:
            # A terminal server's users come from its address: they share it. PC1's and PC7's merely claim theirs.
            self.assertEqual(login(service, "PC1", "10.0.0.5", ALICE), 200)
            for user in (ALICE_NT, BOB):
                self.assertEqual(Raw(service, "127.0.0.9").login(login_target("TS01", "127.0.0.9"), user), 200)
            for host, ips, user in (("PC7", "10.0.0.5", BOB_LOGIN),
                                    ("PC%3Cb%3E", "", ALICE)):  # no address reported: found at its peer's
                self.assertEqual(login(service, host, ips, user), 200)
            now = int(time.time())
            # A one-shot login of 11 hours ago, and hours of samples.
            add_entry(service, "carol", "STAFF-PC3", "10.0.0.20", now - 11 * 3600, now + 3600, "FALSE")
            service.sql("INSERT INTO logon_samples (sampled, logged_on) VALUES " + ", ".join(
                "(%d, %d)" % (now - now % 300 - 3600 - 300 * i, i % 7) for i in range(60)))
            self.check_console(service)
            self.check_document(service)
            self.check_history(service)
            # A name with a right-to-left override reads as it is stored, and cannot reorder the row around it.
            self.assertEqual(login(service, "PC%E2%80%AEexe.txt", "10.0.0.31", ALICE), 200)
            dom = rendered(service, "/?ip=10.0.0.31")
            [host_cell] = dom.all("td", "host")
            self.assertEqual((text(host_cell), [node["tag"] for node in host_cell["children"]]),
                             ("PC\\u202eexe.txt", ["bdi"]))
            self.assertEqual([text(cell) for cell in dom.all("bdi")][:4],  # the address's head, then its row
                             ["PELLAMOR\\alice", "PC\\u202eexe.txt", "PC\\u202eexe.txt", "PELLAMOR\\alice"])
            self.check_proof_and_claim(service)
            self.assertEqual(health(service)[0], 200)
            self.assertGreaterEqual(int(service.sql("SELECT count(*) FROM logon_samples WHERE sampled > %d"
                                                    % (now - 3000))[0]), 1)  # the writer's own, since the start
        finally:
            service.stop()
            del os.environ["TZ"]

    def check_history(self, service):
        # "Who was here": the console's time field for an address asks the history; the recent changes list the logins.
        [field] = [i for i in rendered(service, "/?ip=10.0.0.5").all("input") if i["attrs"].get("name") == "at"]
        dom = rendered(service, "/changes?ip=10.0.0.5&at=" + field["attrs"]["value"])
        self.assertEqual(sorted(cells[:3] for _, cells in rows(dom)),
                         [["PC1", "PELLAMOR\\alice", "credited"], ["PC7", "PELLAMOR\\bob", "credited"]])
        dom = rendered(service, "/changes")
        self.assertEqual([cells[1:] for _, cells in rows(dom)], [
            [kind, host, user, address] for host, user, address in [
                ("PC<b>", "PELLAMOR\\alice", "127.0.0.1"), ("PC7", "PELLAMOR\\bob", "10.0.0.5"),
                ("TS01", "PELLAMOR\\bob", "127.0.0.9"), ("TS01", "PELLAMOR\\alice", "127.0.0.9"),
                ("PC1", "PELLAMOR\\alice", "10.0.0.5")] for kind in ("credited", "login")])
        self.assertIn("10 changes, newest first", text(dom.all("nav", "pages")[0]))

    def check_proof_and_claim(self, service):
        # bob's PC8 comes from 127.0.0.8; alice at PC9 reports that address too, outside --credit-claims.
        self.assertEqual(Raw(service, "127.0.0.8").login(login_target("PC8", "")), 200)
        self.assertEqual(login(service, "PC9", "127.0.0.8"), 200)
        dom = rendered(service, "/?show=conflicts")  # 10.0.0.5, then 127.0.0.8
        self.assertEqual(text(dom.all("tr", "group")[1]), "127.0.0.8 \u00b7 2 users at 2 hosts conflict \u00b7 the Squid "
                                                          "helper names PELLAMOR\\bob at PC8")
        self.assertEqual([(classes, cells[0], cells[-1]) for classes, cells in rows(dom)][2:],
                         [("", "PC8", "proves 127.0.0.8"), ("", "PC9", "not credited at 127.0.0.8")])

    def check_console(self, service):
        dom = rendered(service, "/?q=ts01")  # the one box finds a host, whatever the letter case
        self.assertEqual(rows(dom), [("", ["TS01 2 users", "PELLAMOR\\alice", "127.0.0.9", "just now", "just now",
                                           "in 30 min", "127.0.0.9", "shared host"]),
                                     ("", ["PELLAMOR\\bob", "127.0.0.9", "just now", "just now", "in 30 min",
                                           "127.0.0.9", "shared host"])])
        self.assertIn("1\u20132 of 2 entries matching \u201cts01\u201d", text(dom.all("nav", "pages")[0]))
        dom = rendered(service, "/")
        self.assertEqual([text(card) for card in dom.all("a", "total")], ["6 logged on", "1 stale", "1 conflict",
                                                                          "3 unproven"])
        self.assertRegex(text(dom.all("footer")[0]), " Health \u00b7 pellamor-service %s$" % re.escape(built_version()))
        self.assertEqual([cells[:3] for _, cells in rows(dom)][2], ["PC<b>", "PELLAMOR\\alice", "none reported"])
        self.assertEqual([(classes, cells[0], cells[-1]) for classes, cells in rows(dom) if classes],
                         [("conflict", "PC1", "conflict at 10.0.0.5"), ("conflict", "PC7", "conflict at 10.0.0.5"),
                          ("stale", "STAFF-PC3", "stale")])
        stale = [tr for tr in dom.all("tr", "stale")][0]
        seen = dom.all("time", node=stale)[0]
        self.assertEqual(text(seen), "11 h ago")
        self.assertRegex(seen["attrs"]["title"], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d E[SD]T \(\d{4}-.*Z\)$")
        # Minutes pass on a busy machine between the entry's insertion and the page.
        self.assertRegex(dom.all("span", "stale", stale)[0]["attrs"]["title"], r"one-shot login 11 h( \d+ min)? ago")
        self.assertEqual(dom.all("a", "flag")[0]["attrs"]["href"], "/?q=10.0.0.5")
        [chart] = dom.all("svg", "chart")
        self.assertEqual(len(dom.all("path", "line", chart)), 2)  # the samples; the writer's and now, after a gap
        self.assertIn("6 now, at most 6", text(chart))
        dom = rendered(service, "/?limit=2")
        nav = dom.all("nav", "pages")[0]
        self.assertIn("1\u20132 of 6 entries", text(nav))
        self.assertEqual([(text(a), a["attrs"]["href"]) for a in dom.all("a", node=nav)],
                         [("Next \u203a", "/?limit=2&offset=2"), ("Last \u00bb", "/?limit=2&offset=4")])

    def check_document(self, service):
        cases = [  # (query, the hosts listed, each host's flags), as the console's search and filters
            ("?host=ts01", ["TS01", "TS01"], {"TS01": ["shared-host"]}),
            ("?q=PC", ["PC1", "PC7", "PC<b>"], {"PC1": ["conflict"], "PC7": ["conflict"], "PC<b>": []}),
            ("?ip=127.0.0.1", ["PC<b>"], None),
            ("?q=pellamor%5Cbob", ["PC7", "TS01"], None), ("?user=carol", ["STAFF-PC3"], {"STAFF-PC3": ["stale"]}),
            ("?show=stale", ["STAFF-PC3"], None), ("?show=conflicts", ["PC1", "PC7"], None),
            ("?show=unproven", ["PC1", "PC7", "STAFF-PC3"], None),  # all but PC<b> and TS01, at their peers
            ("?ip=::ffff:127.0.0.9", ["TS01", "TS01"], None), ("?q=10.0.0.5&show=conflicts", ["PC1", "PC7"], None),
            ("?q=10.0.0.20&user=carol", ["STAFF-PC3"], None), ("?host=PC1&user=bob", [], None),
        ]
        for query, hosts, flags in cases:
            document = service.status(query)
            self.assertEqual(sorted(u["host"] for u in document["users"]), hosts, query)
            self.assertEqual(document["page"]["total"], len(hosts), query)
            for u in document["users"]:
                self.assertEqual(u["flags"], (flags or {}).get(u["host"], u["flags"]), query)
            if "ip=" not in query:  # an address lookup, the Squid helper's, goes without them
                self.assertEqual(document["totals"], {"logged_on": 6, "stale": 1, "conflicts": 1, "uncredited": 0,
                                                     "unproven": 3}, query)
        self.assertIsNone(service.status("?ip=127.0.0.9&limit=1")["totals"])
        self.assertEqual(service.status("?limit=2")["page"], {"offset": 0, "limit": 2, "count": 2, "total": 6,
                                                              "next_offset": 2})
        for query, reason in (("?host=TS01&hots=TS02", 'unknown parameter "hots"'),
                              ("?q=a&q=b", 'parameter "q" is given more than once'),
                              ("?show=old", "show must be stale, conflicts or unproven"), ("?limit=0", "limit must be"),
                              ("?ip=010.0.0.5", "ip must be"), ("?q=10.0.0.5&ip=10.0.0.9", "look up different")):
            for page in ("/", "/status.json"):
                with self.assertRaises(urllib.error.HTTPError, msg=query) as refused:
                    urllib.request.urlopen(service.url(page + query), timeout=10)
                self.assertEqual(refused.exception.code, 400, query)
                self.assertIn(reason, refused.exception.read().decode(), query)


def scrape(service):
    """The metrics as text, checked by promtool, and their values by name and labels."""
    with urllib.request.urlopen(service.url("/metrics"), timeout=10) as reply:
        body = reply.read().decode()
    checked = subprocess.run([PROMTOOL, "check", "metrics"], input=body, capture_output=True, text=True, timeout=60)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    return {line.rsplit(" ", 1)[0]: float(line.rsplit(" ", 1)[1])
            for line in body.splitlines() if line and not line.startswith("#")}


class Monitoring(unittest.TestCase):
    def test_metrics_count_what_happens_and_health_follows_real_faults(self):
        self.assertTrue(os.access(PROMTOOL, os.X_OK), "no promtool at %s: run scripts/setup-deps --promtool" % PROMTOOL)
        with Service("--failed-logon-limit", "2", "--max-connections-per-peer", "2") as service:
            before = scrape(service)
            self.assertEqual(login(service, "PC1"), 200)
            claims = scrape(service)  # PC1 reports addresses it does not come from
            self.assertEqual([claims["pellamor_map_" + name] for name in ("entries", "stale_entries", "conflicting_addresses",
                                                                          "uncredited_entries", "unproven_entries")],
                             [1, 0, 0, 1, 1])
            guesses = Raw(service)
            self.assertEqual([guesses.login(LOGIN, WRONG) for _ in range(3)], [401] * 3)  # the third unchecked
            guesses.sock.close()  # one peer may hold two connections
            self.assertEqual([login(service, "PC1", action="logout") for _ in range(2)], [200, 200])
            self.assertEqual(curl(service, login_target("H" * 300), ALICE)[0], 400)
            held = [Raw(service, "127.0.0.2") for _ in range(3)]
            self.assertEqual([conn.still_serves() for conn in held[:2]], [True, True])
            self.assertEqual(held[2].reply()[0], "HTTP/1.1 503 Service Unavailable")
            after = scrape(service)
            changes = {name: after[name] - before.get(name, 0) for name in after if after[name] != before.get(name, 0)}
            for name, change in (('pellamor_logins_total{result="recorded"}', 1),
                                 ('pellamor_logins_total{result="rejected"}', 3),
                                 ('pellamor_logins_total{result="refused"}', 1),
                                 ('pellamor_logouts_total{result="recorded"}', 1),
                                 ('pellamor_logouts_total{result="no_entry"}', 1),
                                 ('pellamor_refusals_total{reason="wrong_password"}', 2),
                                 ('pellamor_refusals_total{reason="throttled"}', 1),
                                 ('pellamor_refusals_total{reason="host_name_too_long"}', 1),
                                 ("pellamor_throttled_pairs", 1), ("pellamor_connections_refused_total", 1),
                                 ("pellamor_commit_seconds_count", 3),
                                 ('pellamor_logons_total{method="accounts",result="accepted"}', 3),
                                 ('pellamor_logons_total{method="accounts",result="rejected"}', 3),
                                 ('pellamor_verification_seconds_count{method="accounts"}', 6)):
                self.assertEqual(changes.pop(name, 0), change, name)
            self.assertEqual(after['pellamor_commit_seconds_bucket{le="+Inf"}'], 3)
            self.assertEqual(after["pellamor_map_entries"], 0)
            self.assertEqual(after['pellamor_build_info{version="%s"}' % built_version()], 1)
            self.assertGreaterEqual(after["pellamor_connections_open"], 3)  # those held, and this scrape's
            self.assertEqual(sorted(name for name in changes if "_bucket" not in name),
                             ["pellamor_commit_seconds_sum", "pellamor_connections_open", "pellamor_connections_total",
                              "pellamor_requests_total", 'pellamor_verification_seconds_sum{method="accounts"}'])
            self.assertNotIn("pellamor_directory_up", " ".join(after))  # no directory in use
            self.check_health(service)
            # A map that cannot be read: the metrics go out without its count, and stderr says why.
            service.sql("ALTER TABLE logons RENAME TO logons_gone")
            self.assertNotIn("pellamor_map_entries", scrape(service))
            self.assertIn("metrics without the count of entries: user map: no such table: logons", service.stderr())

    def check_health(self, service):
        self.assertEqual(health(service), (200, "ok: the user map takes writes and answers reads; 0 entries are "
                                                "logged on\n"))
        locker = sqlite3.connect(service.db, isolation_level=None)
        locker.execute("BEGIN IMMEDIATE")  # another program holds the map's write lock
        for said in ("(at most 3000 ms are allowed): its writer waits for a lock another program holds on the map",
                     "the user map cannot be written: database is locked"):  # answered, then finished
            wait_until(lambda: (lambda status, body: status == 503 and said in body)(*health(service)), said)
        locker.execute("ROLLBACK")
        locker.close()
        wait_until(lambda: health(service)[0] == 200, "health after the lock")
        os.rename(service.db, service.db + ".moved")  # what is written now would be lost
        wait_until(lambda: (lambda status, body: status == 503 and "the map file was moved or deleted while the "
                            "service had it open" in body)(*health(service)), "the moved map")
        os.rename(service.db + ".moved", service.db)
        wait_until(lambda: health(service)[0] == 200, "health with the map back")
        self.assertIn("health check failed: the user map cannot be written: the map file was moved", service.stderr())
        with Service(accounts=None) as bare:  # neither accounts nor a keytab: nothing can prove a user
            self.assertEqual(health(bare), (503, "no way to prove users is left; the user map takes writes and "
                                                 "answers reads; 0 entries are logged on\n"))


if __name__ == "__main__":
    unittest.main(argv=sys.argv, verbosity=2)
