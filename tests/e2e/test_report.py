"""The "/d" system report as a person finds it in the Windows Temp folder after real sends."""
import os
import re
import shutil
import socket
import tempfile

from harness import (AGENT, DRIVE_C, WINTOOL, AgentTestCase, Service, read_bytes, registry, remove, run_agent,
                     start_agent, start_window_tool, wait_until, windows_path, wine)

TEMP_FOLDER = os.path.join(DRIVE_C, "windows", "temp")
LOG_NAME = "report_e2e_%d.txt" % os.getpid()
LOG_PATH = os.path.join(TEMP_FOLDER, LOG_NAME)
ONE_REPORT = ("/d", "/filename", LOG_NAME, "/nopersist")  # one send with its report
BROWSER = r"HKLM\SOFTWARE\Microsoft\Internet Explorer"

BLOCK = re.compile(
    rb"Current Time: (?P<time>[0-9]+[^0-9 ][0-9]+[^0-9 ][0-9]+ [0-9]+[:.][0-9]{2}[^\r\n]*)\r\n"
    rb"Hostname: (?P<host>[^\r\n]*)\r\n"
    rb"IP Address\(es\): (?P<ips>[^\r\n]*)\r\n"
    rb"Internet Explorer v(?P<browser>-?[0-9]+)\r\n"
    rb"(?P<system>[^\r\n]*)\r\n"
    rb"Free Disk Space\(MB\): (?P<disk>0|[1-9][0-9]*)\r\n"
    rb"Physical Memory\(KBytes\): (?P<memory>[1-9][0-9]*)\r\n"
    rb"Persistent mode is (?P<mode>ENABLED|DISABLED)\r\n"
    rb"(?:Domain is (?P<domain>[^\r\n]+)\r\n)?"
    rb"\*{39}\r\n")


def blocks(data):
    """The report blocks of a log, which must consist of nothing else."""
    if not re.fullmatch(b"(?:%s)*" % BLOCK.pattern, data):
        raise AssertionError("not a log of whole report blocks: %r" % data)
    return [{k: (v.decode() if v is not None else None) for k, v in m.groupdict().items()}
            for m in BLOCK.finditer(data)]


class SystemReportTest(AgentTestCase):
    def setUp(self):
        super().setUp()
        remove(LOG_PATH)
        self.addCleanup(remove, LOG_PATH)

    def test_each_send_appends_one_block_that_tells_the_truth_and_a_log_held_by_another_is_a_box(self):
        folder = tempfile.mkdtemp(prefix="pellamor-report-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        saved = windows_path(os.path.join(folder, "browser.reg"))
        self.assertEqual(registry("export", BROWSER, saved, "/y").returncode, 0)
        self.addCleanup(registry, "import", saved)
        # Wine answers with the system version set for one program name: each version runs a copy of the agent
        # under a name of its own and leaves every other program alone. The names themselves are the unit
        # tests' business; these rows show each way of reading them, and of reading the browser's entry.
        rows = [  # the version, the entry's type and data (hex when binary), the system and browser lines
            (None, "REG_SZ", " 11.0", "Windows 7 Service Pack 1", "11"),  # this Wine's default
            ("win2008", "REG_SZ", "beta", "Windows Server 2008 Service Pack 2", "0"),
            ("win98", "REG_BINARY", "362E30", "Windows 98 Service Pack A", "6"),  # "6.0" without a terminator
            ("win10", "REG_BINARY", "37" * 512, "Windows 10 Service Pack 0", "2147483647"),  # fills the buffer
            (None, "REG_SZ", "5" * 600, "Windows 7 Service Pack 1", "-1"),  # longer than the buffer
            (None, None, None, "Windows 7 Service Pack 1", "-1"),
        ]
        with Service() as service:
            for version, kind, data, _, _ in rows:
                program = os.path.join(folder, "PellamorAs%s.exe" % (version or "Default"))
                shutil.copyfile(AGENT, program)
                if version is not None:
                    settings = r"HKCU\Software\Wine\AppDefaults" + "\\" + os.path.basename(program)
                    registry("add", settings, "/v", "Version", "/d", version, "/f")
                    self.addCleanup(registry, "delete", settings, "/f")
                if kind is not None:
                    registry("add", BROWSER, "/v", "Version", "/t", kind, "/d", data, "/f")
                else:
                    registry("delete", BROWSER, "/v", "Version", "/f")
                self.assertEqual(run_agent(service.url, *ONE_REPORT, program=program), (0, []))
            resident = start_agent(service.url, "/d", "/filename", LOG_NAME)
            wait_until(lambda: len(service.agent_requests()) == 2 * len(rows) + 2, "the resident's login")
            self.assertEqual(run_agent(service.url, "/logout").exit_code, 0)  # writes no block: no "/d"
            self.assertEqual(resident.wait().exit_code, 0)
            sent = service.sent("ip", "domain")
            reports = blocks(read_bytes(LOG_PATH))
            open(LOG_PATH, "wb").close()
            start_window_tool("open", windows_path(LOG_PATH))
            for verbose, boxes in ((["/verbose"], [("Note", "Cannot Open File: ERROR 32")]), ([], [])):
                self.assertEqual(run_agent(service.url, *ONE_REPORT, *verbose), (0, boxes))
            self.assertEqual(service.sent("status")[-4:], [401, 200] * 2, "the logins go on without their report")
        self.assertEqual(read_bytes(LOG_PATH), b"")
        self.assertEqual([(r["system"], r["browser"], r["mode"]) for r in reports],
                         [(row[3], row[4], "DISABLED") for row in rows] + [(rows[-1][3], "-1", "ENABLED")])
        # The memory as a program of the agent's build gets it here: through qemu-user, 32-bit programs
        # are given the machine's size modulo 4 GB, and the agent reports what it is given.
        memory = int(wine(WINTOOL, "memory").stdout) // 1024
        # The disk of the agent's current directory (this one) as Linux sees it; it moves a little while others
        # write to it.
        disk = os.statvfs(os.getcwd())
        free = disk.f_bavail * disk.f_frsize // (1024 * 1024)
        for report, (ips, domain) in zip(reports, sent[1::2]):
            self.assertEqual((report["host"], report["ips"], report["domain"]), (socket.gethostname(), ips, domain))
            self.assertAlmostEqual(int(report["disk"]), free, delta=free // 20 + 64)
            self.assertAlmostEqual(int(report["memory"]), memory, delta=memory // 100)
