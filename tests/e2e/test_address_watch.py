"""The address list and the address-change watcher, in a network namespace of the test's own."""
import os
import subprocess
import unittest

from harness import (SEAM_AGENT, WINTOOL, Service, end_all_windows_programs, end_resident, run_agent,
                     start_resident, wait_until, wine)

# One namespace per run, so that runs from several checkouts do not meet.
NAMESPACE = "pellamor-e2e-%d" % os.getpid()
IN_NAMESPACE = ("ip", "netns", "exec", NAMESPACE)


def ip(*arguments):
    subprocess.run(["ip", "netns", "exec", NAMESPACE, "ip", *arguments], check=True)


class AddressWatchTest(unittest.TestCase):
    """Wine answers adapter queries from its server's services, so they run in the namespace too."""

    def setUp(self):
        subprocess.run(["ip", "netns", "del", NAMESPACE], stderr=subprocess.DEVNULL)
        subprocess.run(["ip", "netns", "add", NAMESPACE], check=True)
        ip("link", "set", "lo", "up")
        end_all_windows_programs(IN_NAMESPACE)

    def tearDown(self):
        end_all_windows_programs()
        subprocess.run(["ip", "netns", "del", NAMESPACE])

    def test_the_address_list_follows_the_adapters_and_a_notification_sends_one_login_with_the_new_address(self):
        with Service(prefix_command=IN_NAMESPACE) as service:
            resident = start_resident(service, "/dhcp", "/verbose", prefix_command=IN_NAMESPACE)
            ended = end_resident(service, resident, prefix_command=IN_NAMESPACE)
            self.assertEqual(ended.boxes, [])  # with only loopback the query answers "no adapters"
            # The start-up list came from the host name; the logout run has no watcher.
            self.assertEqual(service.sent("ip"), ["", "", "127.0.0.1", "127.0.0.1"])
            ip("link", "add", "pv0", "type", "veth", "peer", "name", "pv1")
            for device in ("pv0", "pv1"):
                ip("link", "set", device, "up")
            ip("addr", "add", "198.51.100.7/24", "dev", "pv0")
            ip("addr", "add", "198.51.100.8/24", "dev", "pv1")
            self.assertEqual(run_agent(service.url, "/nopersist", prefix_command=IN_NAMESPACE).exit_code, 0)
            self.assertEqual(sorted(service.sent("ip")[4].split(",")), ["198.51.100.7", "198.51.100.8"])
            # An adapter without an address reports 0.0.0.0, which names no machine: it is left out.
            ip("addr", "del", "198.51.100.8/24", "dev", "pv1")
            resident = start_resident(service, "/dhcp", program=SEAM_AGENT, prefix_command=IN_NAMESPACE)
            ip("addr", "add", "198.51.100.20/24", "dev", "pv1")
            wine(WINTOOL, "signal", "PellamorTestAddressChange", prefix_command=IN_NAMESPACE)
            wait_until(lambda: len(service.agent_requests()) >= 10, "the notified login")
            ip("addr", "del", "198.51.100.20/24", "dev", "pv1")
            self.assertEqual(end_resident(service, resident, prefix_command=IN_NAMESPACE), (0, []))
            logins, notified, logout = service.sent("ip")[6:8], service.sent("ip")[9], service.sent("ip")[10]
            self.assertEqual(logins, ["198.51.100.7"] * 2)
            self.assertIn("198.51.100.20", notified.split(","))
            self.assertEqual(logout, "198.51.100.7", "the start-up list, from the host name")
            self.assertEqual(service.sent("action"), ["login"] * 2 + ["logout"] * 2 + ["login"] * 6 + ["logout"] * 2)

    def test_more_addresses_than_a_login_may_list_are_recorded_with_the_first_ones(self):
        with Service(prefix_command=IN_NAMESPACE) as service:
            for n in range(20):
                ip("link", "add", "pa%d" % n, "type", "veth", "peer", "name", "pb%d" % n)
                for device in ("pa%d" % n, "pb%d" % n):
                    ip("link", "set", device, "up")
                ip("addr", "add", "203.0.113.%d/24" % (n + 1), "dev", "pa%d" % n)
            self.assertEqual(run_agent(service.url, "/nopersist", "/verbose", prefix_command=IN_NAMESPACE), (0, []))
            listed = service.sent("ip")[-1].split(",")
            self.assertEqual(sorted(listed), sorted("203.0.113.%d" % (n + 1) for n in range(20)))
            # The service takes 16 from one login, the first ones, rather than refusing it.
            cut = "recorded 16 of the 20 addresses listed (--max-addresses-per-login): " + ",".join(listed[:16])
            self.assertEqual((service.sent("status")[-1], cut in service.service.stderr()), (200, True))
