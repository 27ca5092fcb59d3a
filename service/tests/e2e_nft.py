#!/usr/bin/env python3
"""pellamor-nft on a real forwarding path: a client namespace reaches a server namespace only through a gateway
namespace whose rules accept @users; logons through the real service open the path, logouts close it."""
import os
import subprocess
import sys
import unittest

import e2e_service
from e2e_service import ACCOUNTS, ALICE, Service, tearDownModule, wait_until  # noqa: F401
from postgres_cluster import Postgres

NFT = os.environ.get("PELLAMOR_NFT", "build/service/pellamor-nft")
RUN = "pellamor-nft-%d" % os.getpid()
CLIENT, GATEWAY, SERVER = RUN + "-client", RUN + "-gw", RUN + "-server"
CLIENT_IP, SERVER_IP = "10.77.1.2", "10.77.2.2"
# carol is in a group the directory named and one it did not; alice is in none.
CAROL = "PELLAMOR\\carol:hers"
MARKETING = ("S-1-5-21-7-7-7-1104", "PELLAMOR\\Marketing")
GROUPED = ACCOUNTS + "PELLAMOR\\carol [%s=%s, S-1-5-21-7-7-7-1105]:hers\n" % MARKETING
# The site's own rules, as docs/deploying.md gives them: the table, the set and a chain of the site's.
SITE_RULES = """table inet pellamor {
    set users { type ipv4_addr; flags timeout; }
    chain forward {
        type filter hook forward priority 0; policy accept;
        ct state established,related accept
        ip saddr @users accept
        reject with icmpx admin-prohibited
    }
}
"""


def sh(ns, *argv, **kw):
    return subprocess.run(["ip", "netns", "exec", ns, *argv], capture_output=True, text=True, timeout=60, **kw)


def make_path():
    """client 10.77.1.2 -- 10.77.1.1 gateway 10.77.2.1 -- 10.77.2.2 server, the gateway forwarding."""
    for ns in (CLIENT, GATEWAY, SERVER):
        subprocess.run(["ip", "netns", "add", ns], check=True)
        subprocess.run(["ip", "-n", ns, "link", "set", "lo", "up"], check=True)
    for side, ns, here, there in (("c", CLIENT, "10.77.1.2", "10.77.1.1"), ("s", SERVER, "10.77.2.2", "10.77.2.1")):
        outer, inner = "pn%s%d" % (side, os.getpid() % 10000), "pg%s%d" % (side, os.getpid() % 10000)
        subprocess.run(["ip", "link", "add", outer, "netns", ns, "type", "veth", "peer", inner, "netns", GATEWAY],
                       check=True)
        subprocess.run(["ip", "-n", ns, "addr", "add", here + "/24", "dev", outer], check=True)
        subprocess.run(["ip", "-n", GATEWAY, "addr", "add", there + "/24", "dev", inner], check=True)
        for n, link in ((ns, outer), (GATEWAY, inner)):
            subprocess.run(["ip", "-n", n, "link", "set", link, "up"], check=True)
        subprocess.run(["ip", "-n", ns, "route", "add", "default", "via", there], check=True)
    sh(GATEWAY, "sysctl", "-qw", "net.ipv4.ip_forward=1", check=True)
    sh(GATEWAY, "nft", "-f", "-", input=SITE_RULES, check=True)


def remove_path():
    for ns in (CLIENT, GATEWAY, SERVER):
        subprocess.run(["ip", "netns", "del", ns], capture_output=True)


def reaches_server():
    """A new connection from the client to the server's port, through the gateway."""
    return sh(CLIENT, "curl", "-s", "-o", "/dev/null", "--connect-timeout", "5",
              "http://%s:8000/" % SERVER_IP).returncode == 0


def users_set(name="users"):
    listing = sh(GATEWAY, "nft", "list", "set", "inet", "pellamor", name).stdout
    inside = listing.split("elements = {", 1)[1].split("}", 1)[0] if "elements = {" in listing else ""
    return {item.split()[0] for item in inside.replace("\n", " ").split(",") if item.strip()}


def logon(service, action, user=ALICE, host="PC1"):
    """curl's NTLM logon from the client namespace; the service credits the address it comes from."""
    target = "%s/tarnwise?action=%s&hostname=%s&persistent=1&domain=PELLAMOR&ip=%s" % (
        service, action, host, CLIENT_IP)
    out = sh(CLIENT, "curl", "-s", "--ntlm", "-u", user, "-o", "/dev/null", "-w", "%{http_code}", target)
    return out.stdout


class Gateway(unittest.TestCase):
    def setUp(self):
        make_path()
        self.addCleanup(remove_path)
        self.server = subprocess.Popen(["ip", "netns", "exec", SERVER, sys.executable, "-m", "http.server",
                                        "--bind", SERVER_IP, "8000"], stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL, cwd="/")
        self.addCleanup(self.server.wait, 30)
        self.addCleanup(self.server.terminate)
        wait_until(lambda: sh(SERVER, "curl", "-s", "-o", "/dev/null", "http://%s:8000/" % SERVER_IP).returncode == 0,
                   "the server to listen")
        # The services and pellamor-nft run in the gateway's namespace: this thread enters it.
        home = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        e2e_service.Namespace.enter("/run/netns/" + GATEWAY)
        self.addCleanup(os.close, home)
        self.addCleanup(e2e_service.Namespace.enter, home)
        self.nft = None

    def start_nft(self, *services, groups=()):
        args = [NFT] + [a for s in services for a in ("--service", s)] + [a for g in groups for a in ("--group", g)]
        self.log = os.path.join(e2e_service.make_workdir(), "pellamor-nft.log")
        with open(self.log, "a") as log:
            self.nft = subprocess.Popen(args, stderr=log)
        self.addCleanup(self.stop_nft)

    def stop_nft(self):
        if self.nft and self.nft.poll() is None:
            self.nft.terminate()
            self.nft.wait(10)

    def start_service(self, *options):
        service = Service("--address", "0.0.0.0", *options, accounts=GROUPED)
        self.addCleanup(service.stop)
        return service, "http://10.77.1.1:%d" % service.port

    def test_logons_open_and_close_the_path_and_a_restart_rebuilds_the_sets(self):
        service, url = self.start_service()
        # One set matches the group by its SID, the other by its name.
        groups = ("by_sid=" + MARKETING[0], "by_name=" + MARKETING[1])
        self.start_nft("http://127.0.0.1:%d" % service.port, groups=groups)
        wait_until(lambda: "pellamor" in sh(GATEWAY, "nft", "list", "tables").stdout, "the table")
        self.assertFalse(reaches_server())
        self.assertEqual(logon(url, "login"), "200")
        wait_until(lambda: CLIENT_IP in users_set(), "the logon's address in @users")
        self.assertEqual((users_set("by_sid"), users_set("by_name")), (set(), set()))  # alice is in no group
        self.assertTrue(reaches_server())
        listing = sh(GATEWAY, "nft", "list", "set", "inet", "pellamor", "users").stdout
        self.assertIn("expires", listing)  # the element runs out with the entry
        self.assertEqual(logon(url, "logout"), "200")
        wait_until(lambda: CLIENT_IP not in users_set(), "the logout's address out of @users")
        self.assertFalse(reaches_server())

        # Stopped, it misses a logon and leaves an element nobody is credited at; started, it rebuilds
        # the sets from the snapshot, in the table that kept the site's chain.
        self.stop_nft()
        sh(GATEWAY, "nft", "add element inet pellamor users { 10.77.1.50 timeout 1h }", check=True)
        self.assertEqual(logon(url, "login", user=CAROL), "200")
        self.start_nft("http://127.0.0.1:%d" % service.port, groups=groups)
        wait_until(lambda: users_set() == {CLIENT_IP}, "the set rebuilt from the snapshot")
        self.assertEqual((users_set("by_sid"), users_set("by_name")), ({CLIENT_IP}, {CLIENT_IP}))
        self.assertTrue(reaches_server())
        self.assertIn("chain forward", sh(GATEWAY, "nft", "list", "table", "inet", "pellamor").stdout)

    def test_two_services_of_one_map_lose_no_change_when_one_fails(self):
        with Postgres() as db:
            first, first_url = self.start_service("--db", db.uri)
            second, second_url = self.start_service("--db", db.uri)
            self.start_nft(*("http://127.0.0.1:%d" % s.port for s in (first, second)))
            self.assertEqual(logon(first_url, "login"), "200")
            wait_until(lambda: CLIENT_IP in users_set(), "the logon's address in @users")
            first.stop()
            # The other service goes on from the same cursor, with the changes it did not write itself.
            self.assertEqual(logon(second_url, "logout"), "200")
            wait_until(lambda: CLIENT_IP not in users_set(), "the logout through the other service")
            self.assertEqual(logon(second_url, "login", host="PC2"), "200")
            wait_until(lambda: CLIENT_IP in users_set(), "the next logon")
            self.assertNotIn("taking a new snapshot", self.nft_log())
            self.assertTrue(reaches_server())

    def nft_log(self):
        with open(self.log) as log:
            return log.read()


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:], verbosity=2)
