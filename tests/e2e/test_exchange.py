"""The agent's exchange with the server, as the server and the user see it."""
import re
import socket

from fault_server import CHALLENGE, FAULTS, FaultServer, interval_reply
from harness import (SEAM_AGENT, TRACE_FILE, WINTOOL, AgentTestCase, Service, end_resident, read_bytes, run_agent,
                     start_agent, start_resident, wait_until, wine)

FIRST = "Pellamor can not reach the Auth server in the first attempt. "
FINAL = "Pellamor can not reach the Auth server in the final attempt. "
SILENT = "accepted, never answered"
TRICKLE = "trickled reply"


def still_open(connection):
    """True while the peer has neither closed nor reset the connection."""
    connection.setblocking(False)
    try:
        return connection.recv(1, socket.MSG_PEEK) != b""
    except BlockingIOError:
        return True
    except OSError:
        return False


def status_box(attempt, status):
    return re.escape(attempt + "(Invalid status code, error: %d)" % status) + r"\Z"


class ExchangeTest(AgentTestCase):
    def test_https_is_refused_without_a_connection_and_a_one_shot_login_is_two_requests_on_one(self):
        with Service() as service:
            for verbose, boxes in ((["/verbose"], [("Note", "The URL must read http://host:port")]), ([], [])):
                self.assertEqual(run_agent("https://127.0.0.1:%d/" % service.port, *verbose), (1, boxes))
            self.assertEqual(service.status()["counters"]["connections"], 1)  # the status query itself
            self.assertEqual(run_agent(service.url + "/any/path", "/nopersist", "/verbose"), (0, []))
            requests = service.agent_requests()
        self.assertEqual([(r["conn"], r["seq"], r["authorization"], r["status"]) for r in requests],
                         [(2, 1, "none", 401), (2, 2, "none", 200)])
        self.assertEqual(requests[0]["target"], requests[1]["target"])

    def test_failures_show_their_boxes_only_with_verbose(self):
        rows = [
            # service options, agent options, the box a verbose run shows (network faults: below)
            (["--test-first-status", "200"], ["/nopersist"], ("Pellamor", FIRST + "(Invalid status code, error: 200)")),
            (["--test-final-status", "403"], ["/nopersist"], ("Pellamor", FINAL + "(Invalid status code, error: 403)")),
            (["--test-final-version", "1.0"], ["/nopersist"], ("Pellamor", FINAL + "(Invalid status code, error: 200)")),
            (["--test-no-interval-header"], ["/nopersist"], None),
            (["--test-no-interval-header"], [], ("INFORMATION", "Could not get timeout")),
        ]
        for options, arguments, box in rows:
            for verbose in (["/verbose"], []):
                with self.subTest(options=options, arguments=arguments, verbose=verbose), Service(*options) as service:
                    run = run_agent(service.url, *arguments, *verbose) if arguments else \
                        end_resident(service, start_resident(service, *verbose))
                    self.assertEqual(run, (0, [box] if box and verbose else []))
                    if "--test-final-status" in options:  # a refused login is not recorded
                        self.assertEqual(service.status()["users"], [])

    def test_the_interval_comes_only_from_its_own_header_and_only_as_whole_seconds(self):
        rows = [  # the header line where the interval's belongs, the interval adopted (ms), the box
            (b"X-Max-Persistent-Time: 86400", None, [("INFORMATION", "Could not get timeout")]),
            (b"persistent-TIME:120", 120000, []),
            (b"Persistent-Time: abc", 900000, []),
            (b"Persistent-Time: 1.5", 900000, []),
            (b"Persistent-Time: 0x384", 900000, []),
        ]
        for header, interval, boxes in rows:
            with self.subTest(header=header), FaultServer(None, interval_reply(header)) as server:
                self.assertEqual(end_resident(server, start_resident(server, "/verbose")), (0, boxes))
                adopted = [int(n) for n in re.findall(rb"newTime=(-?\d+)", read_bytes(TRACE_FILE))]
                self.assertEqual(adopted, [interval] if interval else [])

    def test_network_faults_show_their_row_and_a_resident_sends_again(self):
        first, final = (re.escape(text) + r"\(SendRequest failed, error: [1-9]\d*\)\Z" for text in (FIRST, FINAL))
        rows = {  # the box a verbose run shows, as a pattern
            "reset after the first request": first,
            "reset after the second request": final,
            SILENT: first,
            # The exchange's deadline holds however the reply comes: 12002 is WinHTTP's time-out.
            TRICKLE: re.escape(FIRST + "(SendRequest failed, error: 12002)") + r"\Z",
            "garbage status line": first,
            "48 KB header block": None,
            # Redirects are not followed: the user's logon goes to no other place than the one named.
            "redirect instead of a challenge": status_box(FIRST, 302),
            "redirect after the challenge": status_box(FINAL, 307),
            "refusal with the success mark in a header": status_box(FINAL, 403),
        }
        self.assertEqual(set(rows), set(FAULTS))
        for fault, row in rows.items():
            for persistent, verbose in ((True, ["/verbose"]), (True, []), (False, ["/verbose"]), (False, [])):
                # Each run at a silent or trickling server waits out the deadline. Its box comes from the
                # same report as the first row's, whose quiet runs show that being quiet hides it.
                if fault in (SILENT, TRICKLE) and persistent != bool(verbose):
                    continue
                with self.subTest(fault=fault, persistent=persistent, verbose=verbose), FaultServer(fault) as server:
                    run = self.resident_run(server, verbose) if persistent else \
                        run_agent(server.url, "/nopersist", *verbose)
                    self.assertEqual(run.exit_code, 0)
                    self.assertEqual(len(run.boxes), 1 if row and verbose else 0, run.boxes)
                    for caption, text in run.boxes:
                        self.assertEqual(caption, "Pellamor")
                        self.assertRegex(text, row)
                    self.assertNotIn("/elsewhere", [target for _, target in server.requests])
                    if persistent and not row:
                        self.assertIn(b"newTime=600000", read_bytes(TRACE_FILE), "the interval after 48 KB")

    def test_a_failed_login_is_tried_again_when_the_server_asks_or_after_a_minute_and_each_failure_is_traced(self):
        busy = b"HTTP/1.1 503 Service Unavailable\r\nRetry-After: 1\r\nContent-Length: 0\r\n\r\n"
        with FaultServer(None, [busy, b"close"], [CHALLENGE, b"reset"]) as server:
            resident = start_resident(server)
            wait_until(lambda: b"After authentication" in read_bytes(TRACE_FILE), "the login after two failures",
                       limit=150)
            self.assertEqual([number for number, _ in server.requests], [1, 2, 2, 3, 3])
            self.assertEqual(end_resident(server, resident), (0, []))
        trace = read_bytes(TRACE_FILE).decode("latin-1")
        failures = re.findall(r"Exchange failed: code=(\d+)\r\r\n.*?After failure: code=(\d+), retry in (\d+) ms",
                              trace, re.S)
        self.assertEqual(len(failures), 2, trace)
        (busy_code, busy_again, busy_delay), (reset_code, reset_again, reset_delay) = failures
        self.assertEqual((busy_code, busy_again), ("503", "503"))
        self.assertTrue(1000 <= int(busy_delay) <= 1250, busy_delay)  # the server's second, and jitter
        self.assertEqual(reset_code, reset_again)
        # A WinHTTP error, or the reset as the socket reported it (WSAECONNRESET), as Wine passes it on.
        self.assertTrue(int(reset_code) > 12000 or int(reset_code) == 10054, reset_code)
        self.assertTrue(60000 <= int(reset_delay) <= 75000, reset_delay)
        self.assertEqual(trace.count("After authentication"), 1)

    def test_a_one_shot_run_answers_its_window_while_its_send_hangs_and_a_logout_ends_it(self):
        with FaultServer(SILENT) as server:
            run = start_agent(server.url, "/nopersist", "/verbose")
            wait_until(lambda: server.held, "the agent's request")
            self.assertEqual(wine(WINTOOL, "send", str(0x11), "0").stdout.split(), ["1"])  # WM_QUERYENDSESSION
            self.assertTrue(still_open(server.held[0]), "the window answered only once the send was over")
            wine(WINTOOL, "send", "2", "0")  # WM_DESTROY, as a logout run sends it
            self.assertEqual(run.wait(), (0, []))
            self.assertEqual(len(server.requests), 1)

    def resident_run(self, server, verbose):
        """The first exchange meets the fault; a notified address change then sends again."""
        resident = start_resident(server, "/dhcp", *verbose, program=SEAM_AGENT)
        wine(WINTOOL, "signal", "PellamorTestAddressChange")
        wait_until(lambda: b"newTime=900000" in read_bytes(TRACE_FILE), "the next login")
        self.assertEqual([number for number, _ in server.requests].count(2), 2)
        return end_resident(server, resident)

