"""Self-copy: the agent installs itself in a local folder and the copy becomes the resident."""
import contextlib
import filecmp
import os
import shutil
import tempfile

from harness import (AGENT, DRIVE_C, SEAM_AGENT, TRACE_FILE, AgentTestCase, Service, end_resident, read_bytes,
                     registry, remove, run_agent, start_resident, start_window_tool, wait_until, windows_command_lines,
                     windows_path)

ENVIRONMENT_KEYS = (r"HKCU\Environment", r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment")
REPORT_FILE = os.path.join(DRIVE_C, "windows", "temp", "pellamor report.txt")
COPY = r"C:\pellamor copy dir\Pellamor.exe"
NO_COPY = [("Note", "Cannot Copy File")]


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
    def run_copy(self, service, logins, *options, program=AGENT, passed=("/VERBOSE",)):
        """A run with /copy whose copy, given the `passed` options, logs in (its service's `logins`-th login)
        and is logged out again."""
        self.assertEqual(run_agent(service.url, "/copy", *options, program=program), (1, []))
        # The copy's login comes once its window is there: a logout before that would find no resident.
        wait_until(lambda: service.sent("action", "status").count(("login", 200)) == logins, "the copy's login")
        self.assertEqual(copies_for(service.url), [[COPY, service.url, *passed]])
        self.assertEqual(run_agent(service.url, "/logout").exit_code, 0)
        wait_until(lambda: not copies_for(service.url), "the copy's end")

    def test_copy_skips_an_unwritable_folder_runs_in_place_without_any_and_the_copy_keeps_the_launcher_options(self):
        with folder_variables(TEMP=None, TMP=None, windir=None), Service() as service:  # no folder: runs in place
            resident = start_resident(service, "/copy", "/verbose")
            self.assertEqual(end_resident(service, resident), (0, NO_COPY))
            self.assertEqual(service.sent("action", "persistent", "status"),
                             [("login", "1", 401), ("login", "1", 200), ("logout", "0", 401), ("logout", "0", 200)])
        folder = drive_c_folder("pellamor copy dir")
        remove(TRACE_FILE)
        remove(REPORT_FILE)
        with folder_variables(TEMP=r"C:\no such folder", TMP=r"C:\pellamor copy dir"), Service() as service:
            single = run_agent(service.url, "/copy", "/nopersist")  # a plain single send: nothing is copied
            self.assertEqual((single.exit_code, single.boxes, os.listdir(folder)), (0, [], []))
            self.run_copy(service, 2, "/d", "/t", "/dhcp", "/filename", "pellamor report.txt", "/verbose",
                          passed=("/VERBOSE", "/dhcp", "/t", "/d", "/filename", "pellamor report.txt"))
            self.assertTrue(filecmp.cmp(AGENT, os.path.join(folder, "Pellamor.exe"), shallow=False))
            self.assertEqual(service.sent("action", "persistent", "status"),
                             [("login", "0", 401), ("login", "0", 200), ("login", "1", 401), ("login", "1", 200),
                              ("logout", "0", 401), ("logout", "0", 200)])
        self.assertIn(b"Timer Loop:After authentication", read_bytes(TRACE_FILE), "the copy traces")
        self.assertTrue(os.path.exists(REPORT_FILE), "the copy writes the report under the name given")

    def test_a_read_only_program_leaves_a_writable_copy_and_a_copy_in_use_is_run_only_when_it_is_this_program(self):
        source = os.path.join(drive_c_folder("pellamor read-only source"), "Pellamor.exe")
        shutil.copyfile(AGENT, source)
        os.chmod(source, 0o444)  # Wine shows a file without write permission as read-only
        copy = os.path.join(drive_c_folder("pellamor copy dir"), "Pellamor.exe")
        with folder_variables(TEMP=r"C:\pellamor copy dir", TMP=None, windir=None), Service() as service:
            for logins in (1, 2):  # the second run replaces the first run's copy, made read-only meanwhile
                self.run_copy(service, logins, "/verbose", program=source)
                self.assertTrue(os.stat(copy).st_mode & 0o200, "the copy is writable")
                os.chmod(copy, 0o444)
            shutil.copyfile(SEAM_AGENT, copy)
            start_window_tool("open", windows_path(copy))  # in use, as a running program's file is
            resident = start_resident(service, "/copy", "/verbose", program=source)  # so it runs in place
            self.assertEqual(end_resident(service, resident), (0, NO_COPY))
            shutil.copyfile(AGENT, copy)  # the file stays open
            self.run_copy(service, 4, "/verbose", program=source)
