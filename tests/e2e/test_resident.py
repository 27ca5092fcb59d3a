"""The resident agent: one per session, ended by a logout run or by the end of the session."""
import re

from harness import (AGENT, SEAM_AGENT, TRACE_FILE, WINTOOL, AgentTestCase, Service, read_bytes, remove, run_agent,
                     start_agent, start_window_tool, wait_until, wine)


def start_resident(service, *arguments, program=AGENT):
    """A persistent agent, once its first login is done."""
    remove(TRACE_FILE)
    resident = start_agent(service.url, "/t", *arguments, program=program)
    wait_until(lambda: b"After authentication" in read_bytes(TRACE_FILE), "the first login")
    return resident


def end_resident(service, resident):
    """A logout run, as at logoff; returns the resident's own run."""
    logout = run_agent(service.url, "/logout")
    assert logout.exit_code == 0, logout
    return resident.wait()


def exchanges(service):
    """(action, persistent, status) of every request the agent sent."""
    return [(r["params"]["action"], r["params"]["persistent"], r["status"]) for r in service.agent_requests()]


LOGIN = [("login", "1", 401), ("login", "1", 200)]
LOGOUT = [("logout", "0", 401), ("logout", "0", 200)]


class ResidentTest(AgentTestCase):
    def test_login_goes_out_at_once_adopts_the_interval_and_a_second_run_or_a_logout_ends(self):
        with Service("--interval", "120") as service:
            start_window_tool("event", "TARNWISEtimerEvent")  # left unsignalled by someone else
            resident = start_resident(service, "/verbose")
            second = run_agent(service.url, "/verbose")
            self.assertEqual((second.exit_code, second.boxes), (1, []))
            self.assertEqual(exchanges(service), LOGIN)
            # The marker is in the session's own namespace, as on a terminal server, where each
            # session has one: residents of two sessions never see each other's.
            self.assertEqual([wine(WINTOOL, "exists", space + "PellamorRunningEvent").stdout.split()
                              for space in ("Local\\", "Global\\")], [["1"], ["0"]])
            # A hung window of our class and title, made after the resident, comes first; so does
            # one whose program is slow to end: the logout waits for it.
            start_window_tool("hung", "Pellamor", "PELLAMOR")
            slow = start_window_tool("linger", "Pellamor", "PELLAMOR")
            logout = run_agent(service.url, "/logout", "/verbose")
            self.assertEqual((logout.exit_code, logout.boxes), (0, []))
            self.assertIn("ended", slow.output(), "the logout went out before that program had ended")
            ended = resident.wait()
            self.assertEqual((ended.exit_code, ended.boxes), (0, []))
            self.assertEqual(exchanges(service), LOGIN + LOGOUT)
        # The resident stopped its sender before it ended.
        self.assertIn(b"Timer Loop:End wait: m_shutDown=1", read_bytes(TRACE_FILE))
        expected = ["Timer Loop:Begin wait: m_persistentTime=900000,m_eventHandle=",
                    "Timer Loop:End wait: m_shutDown=0,m_eventHandle=",
                    "Sending Initial WinHttpSendRequest : hRequest=",
                    "Sending Authentication WinHttpSendRequest: hRequest=",
                    "New Timer: m_persistentTime=900000, newTime=120000",
                    "Timer Loop:After authentication: m_persistentTime=120000,m_eventHandle=",
                    "Timer Loop:Begin wait: m_persistentTime=120000,m_eventHandle="]
        messages = re.findall(r"TwPellamor:\d+ ([^\r\n]*)\r\r\n", read_bytes(TRACE_FILE).decode("latin-1"))
        self.assertEqual([next((e for e in expected if m.startswith(e)), m) for m in messages][:7], expected)

    def test_logout_without_resident_sends_and_spares_other_windows(self):
        with Service() as service:
            others = [start_window_tool("window", "Pellamor2"), start_window_tool("window", "Pellamor"),
                      start_window_tool("hung", "Pellamor", "PELLAMOR")]
            logout = run_agent(service.url, "/logout", limit=60)
            self.assertEqual(logout.exit_code, 0)
            self.assertEqual([tool.poll() for tool in others], [None] * 3, "only an answering resident is ended")
            self.assertEqual(exchanges(service), LOGOUT)

    def test_cancelled_logoff_keeps_the_resident_sending_and_an_installer_ends_it(self):
        with Service() as service:
            resident = start_resident(service, "/dhcp", program=SEAM_AGENT)
            # WM_QUERYENDSESSION, then WM_ENDSESSION saying that another program cancelled the logoff.
            for message, answer in ((0x11, "1"), (0x16, "0")):
                self.assertEqual(wine(WINTOOL, "send", str(message), "0").stdout.split(), [answer])
            wine(WINTOOL, "signal", "PellamorTestAddressChange")
            wait_until(lambda: len(exchanges(service)) == 4, "the next login")
            self.assertNotIn(b"m_shutDown=1", read_bytes(TRACE_FILE))
            # An installer closes programs through the Restart Manager: WM_ENDSESSION with
            # ENDSESSION_CLOSEAPP while the session goes on. The resident ends, marker and all.
            wine(WINTOOL, "send", str(0x16), "1", "1")
            self.assertEqual(resident.wait().exit_code, 0)
            self.assertEqual(end_resident(service, start_resident(service)).exit_code, 0)
            self.assertEqual(exchanges(service), LOGIN + LOGIN + LOGIN + LOGOUT)

    def test_a_sender_that_cannot_start_makes_the_run_fail(self):
        start_window_tool("event", "PellamorTestNoWorker")  # the test build then starts no thread
        with Service() as service:
            for arguments, boxes in ((["/nopersist", "/verbose"],
                                      [("Note", "Cannot start the sending thread. Error: 8")]), ([], [])):
                run = run_agent(service.url, *arguments, program=SEAM_AGENT)
                self.assertEqual((run.exit_code, run.boxes), (1, boxes))
            self.assertEqual(exchanges(service), [])

    def test_end_of_session_stops_the_resident_without_another_request(self):
        with Service() as service:
            resident = start_resident(service)
            wine("wineboot", "--end-session")
            ended = resident.wait()
            self.assertEqual((ended.exit_code, ended.boxes), (0, []))
            self.assertIn(b"Timer Loop:End wait: m_shutDown=1", read_bytes(TRACE_FILE))
            self.assertEqual(exchanges(service), LOGIN)

    def test_an_unusable_instance_marker_is_reported_even_when_quiet(self):
        start_window_tool("hold", "PellamorRunningEvent")  # a mutex where the event belongs
        with Service() as service:
            run = run_agent(service.url)
            self.assertEqual(run.exit_code, 0)
            self.assertEqual(run.boxes, [("Error", "Error creating non-duplication event. Error: 6")])
            self.assertEqual(exchanges(service), [])

