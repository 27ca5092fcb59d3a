"""The resident agent: one per session, ended by a logout run or by the end of the session."""
import unittest

from harness import (TRACE_FILE, WINTOOL, AgentTestCase, Popen, Service, read_bytes, remove, run_agent,
                     start_agent, wait_until, wine, WINE)


def start_resident(service, *arguments):
    """A persistent agent, once its first login is done."""
    remove(TRACE_FILE)
    resident = start_agent(service.url, "/t", *arguments)
    wait_until(lambda: b"After authentication" in read_bytes(TRACE_FILE), "the first login")
    return resident


def exchanges(service):
    """(action, status) of every request the agent sent."""
    return [(r["params"]["action"], r["status"]) for r in service.agent_requests()]


LOGIN = [("login", 401), ("login", 200)]
LOGOUT = [("logout", 401), ("logout", 200)]


def start_window_tool(*arguments):
    tool = Popen([WINE, WINTOOL, *arguments])
    wait_until(lambda: "ready" in tool.output(), "wintool " + " ".join(arguments))
    return tool


class ResidentTest(AgentTestCase):
    def test_second_login_ends_at_once_and_logout_ends_the_resident(self):
        with Service() as service:
            resident = start_resident(service, "/verbose")
            second = run_agent(service.url, "/verbose")
            self.assertEqual((second.exit_code, second.boxes), (1, []))
            self.assertEqual(exchanges(service), LOGIN)
            logout = run_agent(service.url, "/logout", "/verbose")
            self.assertEqual((logout.exit_code, logout.boxes), (0, []))
            ended = resident.wait()
            self.assertEqual((ended.exit_code, ended.boxes), (0, []))
            self.assertEqual(exchanges(service), LOGIN + LOGOUT)

    def test_logout_without_resident_still_sends_and_spares_lookalike_windows(self):
        with Service() as service:
            lookalike = start_window_tool("window", "Pellamor2")
            exact = start_window_tool("window", "Pellamor")
            logout = run_agent(service.url, "/logout")
            self.assertEqual(logout.exit_code, 0)
            self.assertEqual(exact.wait(timeout=60), 0, "a window titled exactly Pellamor is taken for the resident")
            self.assertIsNone(lookalike.poll(), "Pellamor2 is not the resident")
            self.assertEqual(exchanges(service), LOGOUT)

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


if __name__ == "__main__":
    unittest.main()
