"""Start-up as a person sees it: the usage box, refusals, and the trace file."""
import os
import re
import unittest

from harness import TRACE_FILE, AgentTestCase, read_bytes, remove, run_agent

USAGE = ("Pellamor http://<DunmeralIPAddress>:<DunmeralPort>\r\n"
         "OptionalParameters\r\n"
         "\t/LOGOUT - send a message when user logs off\r\n"
         "\t/VERBOSE - notify user when errors occur\r\n"
         "\t/COPY - install Pellamor.exe on client machine\r\n"
         "\t\tand run local copy\r\n"
         "\t/NOPERSIST - send only one message, then terminate")

TIME = rb"[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4} "


class StartupTest(AgentTestCase):
    def test_help_shows_the_usage_box_even_when_quiet(self):
        for arguments in (["/help"], ["/?"], ["/HELP", "/quiet"]):
            run = run_agent(*arguments)
            self.assertEqual(run.boxes, [("Usage", USAGE)], arguments)
            self.assertEqual(run.exit_code, 1, arguments)

    def test_unusable_command_lines_end_silently_with_code_1(self):
        remove(TRACE_FILE)
        for arguments in ([], ["http:/h:80", "/verbose", "/t"], ["http://h", "/verbose", "/t"],
                          ["http://h:70000", "/verbose", "/t"]):
            run = run_agent(*arguments)
            self.assertEqual((run.exit_code, run.boxes), (1, []), arguments)
        self.assertFalse(os.path.exists(TRACE_FILE))

    def test_trace_file_records_the_start(self):
        remove(TRACE_FILE)
        run = run_agent("http://127.0.0.1:9/", "/t", "/nopersist")
        self.assertEqual(run.boxes, [])
        records = read_bytes(TRACE_FILE)
        self.assertRegex(records, re.compile(b"\\A" + TIME + rb"TwPellamor:[0-9]+ \r\n\r\nSTART\r\r\n"))


if __name__ == "__main__":
    unittest.main()
