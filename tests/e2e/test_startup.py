"""Start-up as a person sees it: the usage box, refusals, the trace file, and what the machine's settings add."""
import os
import re
import shutil
import socket
import struct
import subprocess
import tempfile

from harness import AGENT, TRACE_FILE, AgentTestCase, Service, read_bytes, registry, remove, run_agent, wine

USAGE = ("Pellamor http://<DunmeralIPAddress>:<DunmeralPort>\r\n"
         "OptionalParameters\r\n"
         "\t/LOGOUT - send a message when user logs off\r\n"
         "\t/VERBOSE - notify user when errors occur\r\n"
         "\t/COPY - install Pellamor.exe on client machine\r\n"
         "\t\tand run local copy\r\n"
         "\t/NOPERSIST - send only one message, then terminate")

TIME = rb"[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4} "
PROVIDER = r"HKLM\System\CurrentControlSet\Services\MSNP32\NetworkProvider"
LSA = r"HKLM\System\CurrentControlSet\Control\Lsa\MSV1_0"
COMPUTER_NAME = "HKLM\\System\\CurrentControlSet\\Control\\ComputerName\\"


class StartupTest(AgentTestCase):
    def test_the_program_is_terminal_server_aware_and_runs_from_the_swap_file_when_started_from_a_share(self):
        # Without the first mark, a terminal server gives the program a per-user Windows folder;
        # without the second, a resident started from a share dies when the share goes away.
        with open(AGENT, "rb") as f:
            image = f.read(4096)
        file_header = struct.unpack_from("<I", image, 0x3C)[0] + 4
        self.assertTrue(struct.unpack_from("<H", image, file_header + 18)[0] & 0x0800)
        self.assertTrue(struct.unpack_from("<H", image, file_header + 20 + 70)[0] & 0x8000)

    def test_usage_box_refusals_and_the_trace_of_a_start(self):
        remove(TRACE_FILE)
        usage = [("Usage", USAGE)]  # shown even when quiet
        for arguments, boxes in ((["/help"], usage), (["/?"], usage), (["/HELP", "/quiet"], usage), ([], []),
                                 (["http://h", "/verbose", "/t"], [("Note", "The URL must read http://host:port")]),
                                 (["http://127.0.0.1:0", "/t"], []),
                                 (["http://user@127.0.0.1:80", "/verbose"],
                                  [("Note", "The URL's host must be a name or an IPv4 address")])):
            self.assertEqual(run_agent(*arguments), (1, boxes), arguments)
        self.assertFalse(os.path.exists(TRACE_FILE), "unusable command lines end before the trace starts")
        self.assertEqual(run_agent("http://127.0.0.1:9/", "/t", "/nopersist").boxes, [])
        self.assertRegex(read_bytes(TRACE_FILE), re.compile(b"\\A" + TIME + rb"TwPellamor:[0-9]+ \r\n\r\nSTART\r\r\n"))

    def test_registry_domain_and_session_security_shape_the_request(self):
        # Under Wine the user is a local account: its domain is the machine's name.
        host = socket.gethostname()
        user = "&domain=" + host.upper()
        rows = [  # network provider's domain (type, data), client security flags, domain pieces of the request
            (None, None, user),
            (("REG_SZ", "R&D"), "0x20080000", "&domain=R%26D" + user + "&ntlm_sess_sec=1"),
            (("REG_SZ", "D" * 127), "0x20000000", user),  # with its terminator too long for the agent
            (("REG_BINARY", "434F5250"), None, "&domain=CORP" + user),  # stored without a terminator
        ]
        clear = [("delete", PROVIDER, "/f"), ("delete", LSA, "/v", "ntlmminclientsec", "/f")]
        for arguments in clear:
            self.addCleanup(registry, *arguments)
        with Service() as service:
            for provider, flags, expected in rows:
                for arguments in clear:
                    registry(*arguments)
                if provider:
                    registry("add", PROVIDER, "/v", "AuthenticatingAgent", "/t", provider[0], "/d", provider[1], "/f")
                if flags:
                    registry("add", LSA, "/v", "ntlmminclientsec", "/t", "REG_DWORD", "/d", flags, "/f")
                self.assertEqual(run_agent(service.url, "/nopersist").exit_code, 0)
                self.assertRegex(service.agent_requests()[-1]["target"], r"\A/tarnwise\?action=login&hostname=%s"
                                 r"&persistent=0%s&ip=[0-9.,]*\Z" % (re.escape(host), re.escape(expected)))

    def test_a_double_byte_computer_name_leaves_the_addresses_intact(self):
        # A Japanese system (code page 932) in a prefix of its own. There the computer name ソフト is
        # 83 5C 83 74 83 67: its first character's second byte is the backslash's code.
        work = tempfile.mkdtemp(prefix="pellamor-cp932-")
        self.addCleanup(shutil.rmtree, work, True)
        subprocess.run(["localedef", "-i", "ja_JP", "-f", "UTF-8", os.path.join(work, "ja_JP.UTF-8")], check=True)
        japanese = ("env", "LOCPATH=" + work, "LANG=ja_JP.UTF-8", "WINEPREFIX=" + os.path.join(work, "prefix"))
        wine("wineboot", "--init", timeout=600, prefix_command=japanese)
        self.addCleanup(wine, "--server", "-k", check=False, prefix_command=japanese)
        wine("reg", "add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/d", "null", "/f", prefix_command=japanese)
        wine("--server", "-p", check=False, prefix_command=japanese)  # the computer name is read as it starts
        for key in ("ComputerName", "ActiveComputerName"):
            wine("reg", "add", COMPUTER_NAME + key, "/v", "ComputerName", "/d", "ソフト", "/f",
                 prefix_command=japanese)
        with Service() as service:
            wine(AGENT, service.url, "/nopersist", prefix_command=japanese)  # and it ends with code 0
            login = service.agent_requests()[-1]
        self.assertRegex(login["target"], r"&domain=%83%5C%83t%83g&ip=[0-9.,]+\Z")
