#!/usr/bin/env python3
# End-to-end test of pellamor-radius: logons, a heartbeat and a logout at the real service reach Debian's
# FreeRADIUS as accounting records, and a client with the wrong secret gets none accepted.
import os
import subprocess
import sys
import time
import unittest

import e2e_service
from e2e_service import ACCOUNTS, Service, login, make_workdir, wait_until, write_file
from freeradius import FreeRadius

RADIUS = os.environ.get("PELLAMOR_RADIUS", "build/service/pellamor-radius")
SECRET = "shared-by-test"
# alice is in a group the directory named and one it did not: the Class names the first, the SID the second.
GROUPED = ACCOUNTS.replace("PELLAMOR\\alice:", "PELLAMOR\\alice [S-1-5-21-7-7-7-1104=PELLAMOR\\Marketing, S-1-5-21-7-7-7-1105]:")


class Feed:
    """One pellamor-radius run, following service and sending to server with the secret given."""

    def __init__(self, service, server, secret):
        self.dir = make_workdir()
        secret_file = write_file(os.path.join(self.dir, "secret"), secret + "\n")
        os.chmod(secret_file, 0o640)
        self.err_path = os.path.join(self.dir, "stderr.txt")
        with open(self.err_path, "w") as err:
            self.proc = subprocess.Popen([RADIUS, "--service", service.url(""), "--server", "127.0.0.1:%d" % server.port,
                                          "--secret-file", secret_file, "--nas-identifier", "pellamor-test",
                                          "--timeout", "1", "--retries", "1"], stderr=err)

    def stderr(self):
        with open(self.err_path) as f:
            return f.read()

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


ALICE_AT_PC1 = {"User-Name": '"PELLAMOR\\\\alice"', "Framed-IP-Address": "127.0.0.1", "NAS-Identifier": '"pellamor-test"',
                "NAS-IP-Address": "127.0.0.1", "NAS-Port-Type": "Virtual"}


class Accounting(unittest.TestCase):
    def test_logon_heartbeat_and_logout_reach_freeradius_as_one_session_each(self):
        with FreeRadius(SECRET) as server, Service(accounts=GROUPED) as service:
            def record(status, seen=()):
                """The first record of that status whose session is none of those seen, once it has come."""
                def found():
                    return [r for r in server.records() if r["Acct-Status-Type"] == status and
                            r["Acct-Session-Id"] not in seen]
                wait_until(found, "an accounting %s" % status)
                self.assertEqual({key: found()[0].get(key) for key in ALICE_AT_PC1}, ALICE_AT_PC1)
                return found()[0]

            feed = Feed(service, server, SECRET)
            try:
                wait_until(lambda: "map read: 0 credited addresses" in feed.stderr(), "the first snapshot")
                self.assertEqual(login(service, "PC1", "127.0.0.1"), 200)
                start = record("Start")
                # The agent's heartbeat, in a later second than the logon, as the map tells a refresh.
                logged_on = int(time.time())
                wait_until(lambda: int(time.time()) > logged_on, "the next second")
                self.assertEqual(login(service, "PC1", "127.0.0.1"), 200)
                interim = record("Interim-Update")
                self.assertEqual(login(service, "PC1", "127.0.0.1", action="logout"), 200)
                stop = record("Stop")
                self.assertEqual(login(service, "PC1", "127.0.0.1"), 200)  # a new credit, a new session
                again = record("Start", {start["Acct-Session-Id"]})
            finally:
                feed.stop()
            self.assertEqual({interim["Acct-Session-Id"], stop["Acct-Session-Id"]}, {start["Acct-Session-Id"]})
            self.assertEqual(stop["Acct-Terminate-Cause"], "User-Request")
            self.assertIn("Acct-Session-Time", interim)
            self.assertNotIn("Acct-Session-Time", start)
            self.assertEqual(start["Class"], "0x" + b"PELLAMOR\\Marketing,S-1-5-21-7-7-7-1105".hex())

            # A new run reads the map and starts afresh: a Start for the credit, under a session of its own.
            feed = Feed(service, server, SECRET)
            try:
                record("Start", {start["Acct-Session-Id"], again["Acct-Session-Id"]})
            finally:
                feed.stop()

            accepted = len(server.records())
            feed = Feed(service, server, "not-" + SECRET)
            try:
                wait_until(lambda: "not sent" in feed.stderr(), "the refused record")
            finally:
                feed.stop()
            self.assertIn("invalid Request Authenticator", server.log())
            self.assertEqual(len(server.records()), accepted)
            self.assertNotIn("not-" + SECRET, feed.stderr())

            readable = write_file(os.path.join(make_workdir(), "secret"), SECRET + "\n")
            os.chmod(readable, 0o644)
            refused = subprocess.run([RADIUS, "--service", service.url(""), "--server", "127.0.0.1:%d" % server.port,
                                      "--secret-file", readable], capture_output=True, text=True, timeout=30)
            self.assertEqual((refused.returncode, refused.stderr),
                             (1, "pellamor-radius: --secret-file %s: others may read it (chmod o-r)\n" % readable))


def tearDownModule():
    e2e_service.tearDownModule()


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)
