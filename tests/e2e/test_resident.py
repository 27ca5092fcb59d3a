"""The resident agent: one per session, ended by a logout run or by the end of the session."""
import os
import re

from harness import (AGENT, DRIVE_C, SEAM_AGENT, TOP, TRACE_FILE, WINTOOL, AgentTestCase, Service, read_bytes,
                     run_agent, start_resident, start_window_tool, wait_until, windows_command_lines, windows_path,
                     wine)

LOGIN = [("login", "1", 401), ("login", "1", 200)]
LOGOUT = [("logout", "0", 401), ("logout", "0", 200)]


class ResidentTest(AgentTestCase):
    def test_login_goes_out_at_once_adopts_the_interval_a_second_run_or_a_logout_ends_and_others_are_spared(self):
        with Service("--interval", "120") as service:
            start_window_tool("event", "TARNWISEtimerEvent")  # left unsignalled by someone else
            resident = start_resident(service, "/verbose")
            self.assertEqual(run_agent(service.url, "/verbose"), (1, []))
            self.assertEqual(service.sent("action", "persistent", "status"), LOGIN)
            # The marker is in the session's own namespace, as on a terminal server, where each
            # session has one: residents of two sessions never see each other's.
            self.assertEqual([wine(WINTOOL, "exists", space + "PellamorRunningEvent").stdout.split()
                              for space in ("Local\\", "Global\\")], [["1"], ["0"]])
            # A hung window of our class and title, made after the resident, comes first; so does
            # one whose program is slow to end: the logout waits for it.
            hung = start_window_tool("hung", "Pellamor", "PELLAMOR")
            slow = start_window_tool("linger", "Pellamor", "PELLAMOR")
            self.assertEqual(run_agent(service.url, "/logout", "/verbose"), (0, []))
            self.assertIn("ended", slow.output(), "the logout went out before that program had ended")
            self.assertEqual(resident.wait(), (0, []))
            self.assertEqual(service.sent("action", "persistent", "status"), LOGIN + LOGOUT)
            # Without a resident a logout still sends, and ends none of the other windows.
            others = [hung, start_window_tool("window", "Pellamor2"), start_window_tool("window", "Pellamor")]
            self.assertEqual(run_agent(service.url, "/logout", limit=60).exit_code, 0)
            self.assertEqual([tool.poll() for tool in others], [None] * 3, "only an answering resident is ended")
            self.assertEqual(service.sent("action", "persistent", "status"), LOGIN + LOGOUT + LOGOUT)
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

    def test_cancelled_logoff_keeps_the_resident_sending_a_resume_logs_in_an_installer_ends_it_and_so_does_the_session_end(self):
        with Service() as service:
            resident = start_resident(service, "/dhcp", program=SEAM_AGENT)
            # WM_QUERYENDSESSION, then WM_ENDSESSION saying that another program cancelled the logoff.
            for message, answer in ((0x11, "1"), (0x16, "0")):
                self.assertEqual(wine(WINTOOL, "send", str(message), "0").stdout.split(), [answer])
            wine(WINTOOL, "signal", "PellamorTestAddressChange")
            wait_until(lambda: len(service.agent_requests()) == 4, "the next login")
            self.assertNotIn(b"m_shutDown=1", read_bytes(TRACE_FILE))
            # A resume from sleep (WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC) logs in at once.
            self.assertEqual(wine(WINTOOL, "send", str(0x218), str(0x12)).stdout.split(), ["1"])
            wait_until(lambda: len(service.agent_requests()) == 6, "the login after the resume")
            # An installer closes programs through the Restart Manager: WM_ENDSESSION with
            # ENDSESSION_CLOSEAPP while the session goes on. The resident ends, marker and all.
            wine(WINTOOL, "send", str(0x16), "1", "1")
            self.assertEqual(resident.wait().exit_code, 0)
            # Another can start then; the end of the session stops it without another request.
            resident = start_resident(service)
            wine("wineboot", "--end-session")
            self.assertEqual(resident.wait(), (0, []))
            self.assertIn(b"Timer Loop:End wait: m_shutDown=1", read_bytes(TRACE_FILE))
            self.assertEqual(service.sent("action", "persistent", "status"), LOGIN * 4)

    def test_a_sender_that_cannot_start_or_an_unusable_instance_marker_makes_the_run_fail(self):
        rows = [  # what another program makes first, the program, its options, its exit code and boxes
            (("event", "PellamorTestNoWorker"), SEAM_AGENT, ["/nopersist", "/verbose"], 1,  # the test build: no thread
             [("Note", "Cannot start the sending thread. Error: 8")]),
            (None, SEAM_AGENT, [], 1, []),
            (("hold", "PellamorRunningEvent"), AGENT, [], 0,  # a mutex where the event belongs: a box even when quiet
             [("Error", "Error creating non-duplication event. Error: 6")]),
        ]
        with Service() as service:
            for tool, program, arguments, exit_code, boxes in rows:
                with self.subTest(tool=tool, arguments=arguments):
                    if tool:
                        start_window_tool(*tool)
                    self.assertEqual(run_agent(service.url, *arguments, program=program), (exit_code, boxes))
            self.assertEqual(service.agent_requests(), [])

    def test_the_readme_logon_and_logoff_lines_run_as_batch_scripts_that_go_on_past_the_resident(self):
        # The README's logon and logoff lines, each a script of its own, with this agent and service.
        with open(os.path.join(TOP, "README.md"), encoding="utf-8") as readme:
            lines = [line.strip() for line in readme if "Pellamor.exe http://pellamor.example.com:8080" in line]
        self.assertEqual(len(lines), 2, lines)
        with Service() as service:
            def run_script(line):
                with open(os.path.join(DRIVE_C, "script.cmd"), "w", newline="\r\n") as script:
                    print(line.replace("Pellamor.exe", windows_path(AGENT))
                              .replace("http://pellamor.example.com:8080", service.url), file=script)
                # The script ends by itself: a resident it started does not hold it.
                self.assertEqual(wine("cmd", "/c", "C:\\script.cmd").returncode, 0)

            def residents():
                return [line for line in windows_command_lines(windows_path(AGENT)) if service.url in line]
            run_script(lines[0])
            wait_until(lambda: len(service.sent("action")) == 2, "the resident's login")
            self.assertEqual(len(residents()), 1)
            run_script(lines[1])
            wait_until(lambda: not residents(), "the resident's end")
            self.assertEqual(service.sent("action", "persistent", "status"), LOGIN + LOGOUT)
