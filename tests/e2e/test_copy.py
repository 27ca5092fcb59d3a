"""Self-copy: the agent installs itself in a local folder and the copy becomes the resident."""
import contextlib
import filecmp
import os
import shutil
import tempfile

from harness import (AGENT, DRIVE_C, SEAM_AGENT, TRACE_FILE, AgentTestCase, Service, read_bytes, registry,
                     remove, run_agent, start_window_tool, wait_until, windows_command_lines, windows_path)

ENVIRONMENT_KEYS = (r"HKCU\Environment", r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment")
REPORT_FILE = os.path.join(DRIVE_C, "windows", "temp", "TW_PellamorLog.txt")
COPY = r"C:\pellamor copy dir\Pellamor.exe"
NO_COPY = [("Note", "Cannot Copy File"), ("Note", "Cannot copy and/or start TwPellamor.exe")]


@contextlib.contextmanager
def folder_variables(**values):
    """Sets or (with None) unsets TEMP, TMP and windir for new Windows programs, then restores them.

    Wine takes them from the registry: the user's values override the system's."""
    saved = tempfile.mkdtemp(prefix="pellamor-environment-")
    copies = {key: windows_path(os.path.join(saved, "%d.reg" % i)) for i, key in enumerate(ENVIRONMENT_KEYS)}
    for key, copy in copies.items():
        assert registry("export", key, copy, "/y").returncode == 0, key
    try:
        for name, value in values.items():
            for key in ENVIRONMENT_KEYS:
                registry("delete", key, "/v", name, "/f")
            if value is not None:
                registry("add", ENVIRONMENT_KEYS[0], "/v", name, "/d", value, "/f")
        yield
    finally:
        for key, copy in copies.items():
            registry("delete", key, "/f")
            registry("import", copy)
        shutil.rmtree(saved)


def drive_c_folder(name):
    path = os.path.join(DRIVE_C, name)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def copies_for(url):
    """The copies' arguments for this service (another suite may run the same scenario at the same time)."""
    return [line for line in windows_command_lines(COPY) if url in line]


class CopyTest(AgentTestCase):
    def log_out(self, url):  # and the copy ends
        self.assertEqual(run_agent(url, "/logout").exit_code, 0)
        wait_until(lambda: not copies_for(url), "the copy's end")

    def test_copy_skips_an_unwritable_folder_and_the_copy_logs_in_without_the_launcher_options(self):
        folder = drive_c_folder("pellamor copy dir")
        remove(TRACE_FILE)
        remove(REPORT_FILE)
        with folder_variables(TEMP=r"C:\no such folder", TMP=r"C:\pellamor copy dir"), Service() as service:
            single = run_agent(service.url, "/copy", "/nopersist")  # a plain single send: nothing is copied
            self.assertEqual((single.exit_code, single.boxes, os.listdir(folder)), (0, [], []))
            launch = run_agent(service.url, "/copy", "/d", "/t", "/dhcp", "/verbose")
            self.assertEqual((launch.exit_code, launch.boxes), (1, []))
            self.assertTrue(filecmp.cmp(AGENT, os.path.join(folder, "Pellamor.exe"), shallow=False))
            wait_until(lambda: len(service.agent_requests()) >= 4, "the copy's login")
            self.assertEqual(service.sent("persistent", "status"), [("0", 401), ("0", 200), ("1", 401), ("1", 200)])
            self.assertEqual(copies_for(service.url), [[COPY, service.url, "/VERBOSE"]])
            self.log_out(service.url)
            self.assertEqual(service.sent("action"), ["login"] * 4 + ["logout"] * 2)
        self.assertEqual(read_bytes(TRACE_FILE).count(b"TwPellamor:"), 1, "only the launcher traces")
        self.assertFalse(os.path.exists(REPORT_FILE), "the copy writes no report")

    def test_no_usable_folder_fails_with_two_boxes_and_code_0(self):
        with folder_variables(TEMP=None, TMP=None, windir=None), Service() as service:
            for verbose, boxes in ((["/verbose"], NO_COPY), ([], [])):
                run = run_agent(service.url, "/copy", *verbose)
                self.assertEqual((run.exit_code, run.boxes), (0, boxes))
            self.assertEqual(service.agent_requests(), [])

    def test_a_read_only_program_leaves_a_copy_that_the_next_logon_replaces(self):
        source_folder = drive_c_folder("pellamor read-only source")
        source = os.path.join(source_folder, "Pellamor.exe")
        shutil.copyfile(AGENT, source)
        os.chmod(source, 0o444)  # Wine shows a file without write permission as read-only
        folder = drive_c_folder("pellamor copy dir")
        with folder_variables(TEMP=r"C:\pellamor copy dir", TMP=None), Service() as service:
            for run in range(1, 3):  # the second run replaces the first run's copy
                launch = run_agent(service.url, "/copy", "/verbose", program=source)
                self.assertEqual((launch.exit_code, launch.boxes), (1, []))
                self.assertTrue(os.stat(os.path.join(folder, "Pellamor.exe")).st_mode & 0o200, "the copy is writable")
                # The copy's login comes once its window is there: a logout before that would find no resident.
                wait_until(lambda: service.sent("action", "status").count(("login", 200)) == run, "the copy's login")
                self.log_out(service.url)

    def test_a_copy_in_use_is_run_as_it_is_when_it_is_this_program_and_left_alone_when_not(self):
        copy = os.path.join(drive_c_folder("pellamor copy dir"), "Pellamor.exe")
        shutil.copyfile(SEAM_AGENT, copy)
        start_window_tool("open", windows_path(copy))  # in use, as a running program's file is
        with folder_variables(TEMP=r"C:\pellamor copy dir", TMP=None, windir=None), Service() as service:
            other = run_agent(service.url, "/copy", "/verbose")
            self.assertEqual((other.exit_code, other.boxes), (0, NO_COPY))
            shutil.copyfile(AGENT, copy)  # the file stays open
            same = run_agent(service.url, "/copy", "/verbose")
            self.assertEqual((same.exit_code, same.boxes), (1, []))
            wait_until(lambda: len(service.agent_requests()) == 2, "the copy's login")
            self.assertEqual(copies_for(service.url), [[COPY, service.url, "/VERBOSE"]])
            self.log_out(service.url)
            self.assertEqual(service.sent("action"), ["login"] * 2 + ["logout"] * 2)
