"""Runs the real agent under the project's Wine prefix and reads what a person would see."""
import collections
import contextlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.join(TOP, "build")
os.environ.setdefault("PELLAMOR_SERVICE", os.path.join(BUILD, "service", "pellamor-service"))
sys.path.insert(0, os.path.join(TOP, "service", "tests"))
import e2e_service as service_tests  # noqa: E402
WINE = os.path.join(TOP, "scripts", "wine")
# The build under test, "x86_64" or "i686"; scripts/wine reads the same variable.
ARCH = os.environ.setdefault("PELLAMOR_ARCH", "x86_64")
# A prefix Wine made by itself would lack the null graphics driver, and no box would show.
subprocess.run([os.path.join(TOP, "scripts", "wine-prefix")], check=True)
PREFIX = subprocess.run([WINE, "--prefix"], capture_output=True, text=True, check=True).stdout.strip()
DRIVE_C = os.path.join(PREFIX, "drive_c")
AGENT = os.path.join(BUILD, ARCH, "Pellamor.exe")
BOXWATCH = os.path.join(BUILD, ARCH, "tests", "boxwatch.exe")
WINTOOL = os.path.join(BUILD, ARCH, "tests", "wintool.exe")
SEAM_AGENT = os.path.join(BUILD, ARCH, "tests", "PellamorSeam.exe")
TRACE_FILE = os.path.join(DRIVE_C, "pellamor_trace.txt")
# On the native route Wine's loader gives its place in a program's Linux command line to the Windows
# one; through qemu-user (forced, or the only way 32-bit programs run here) it can change only the
# emulated copy, and the emulator and the loader stay in front. A forced route is taken as asked.
QEMU_ROUTE = ARCH == "i686" and (os.environ.get("PELLAMOR_WINE_ROUTE") == "qemu" or
                                 subprocess.run([WINE, "--route"], capture_output=True, text=True).stdout == "qemu\n")
RUNNERS = [os.path.join(BUILD, "qemu-user", "usr", "bin", "qemu-i386"), "/usr/lib/wine/wine"] if QEMU_ROUTE else []


def windows_path(path):
    """The Wine drive Z: is the Linux root."""
    return "Z:" + path.replace("/", "\\")


def wine(*args, check=True, timeout=120, prefix_command=()):
    """Runs a Windows program to its end and returns (stdout, stderr) as a CompletedProcess."""
    process = Popen([*prefix_command, WINE, *args])
    process.wait(timeout=timeout)
    result = subprocess.CompletedProcess(process.args, process.returncode, process.output(), process.output(1))
    if check and result.returncode != 0:
        raise subprocess.CalledProcessError(result.returncode, process.args, result.stdout, result.stderr)
    return result


class Popen(subprocess.Popen):
    """A process whose output goes to files, not pipes: Wine starts its services on demand from whichever
    program needs them first, and they inherit that program's output, so a pipe would never see its end."""

    def __init__(self, command):
        self.files = [tempfile.TemporaryFile(mode="w+", encoding="latin-1") for _ in range(2)]
        super().__init__(command, stdin=subprocess.DEVNULL, stdout=self.files[0], stderr=self.files[1])

    def output(self, stream=0):
        """What the process wrote to its standard output (stream 0) or its standard error (1)."""
        self.files[stream].seek(0)
        return self.files[stream].read()


def registry(*args):
    """Runs Wine's reg.exe, for example registry("add", key, "/v", name, "/d", data, "/f")."""
    return wine("reg", *args, check=False)


# One run of a program under boxwatch: its exit code and the boxes it showed, as (caption, text).
Run = collections.namedtuple("Run", "exit_code boxes")


def read_run(output):
    lines = output.splitlines()
    return Run(next((int(line[5:]) for line in lines if line[:5] == "EXIT "), None),
               [tuple(unescape(part) for part in line[4:].split("\t", 1)) for line in lines if line[:4] == "BOX "])


def unescape(text):
    return re.sub(r"\\[\\rnt]", lambda m: {"\\": "\\", "r": "\r", "n": "\n", "t": "\t"}[m.group(0)[1]], text)


def run_agent(*arguments, **options):
    """Runs the agent to its end, pressing OK on every box it shows (options as for start_agent)."""
    return start_agent(*arguments, **options).wait()


class RunningAgent:
    """An agent started under boxwatch in the background (a resident one, say)."""

    def __init__(self, process, limit):
        self.process = process
        self.limit = limit

    def wait(self):
        self.process.wait(timeout=self.limit + 30)
        run = read_run(self.process.output())
        if run.exit_code is None:
            raise AssertionError("the agent did not end: " + self.process.output() + self.process.output(1))
        return run


def start_agent(*arguments, program=AGENT, limit=150, prefix_command=()):
    command = subprocess.list2cmdline([windows_path(program), *arguments])  # quoted as Windows splits it
    process = Popen([*prefix_command, WINE, BOXWATCH, "--limit", str(limit), "--", command])
    return RunningAgent(process, limit)


def start_resident(server, *arguments, program=AGENT, prefix_command=()):
    """A persistent agent of this server, traced, once its first login is done (or has failed)."""
    remove(TRACE_FILE)
    resident = start_agent(server.url, "/t", *arguments, program=program, prefix_command=prefix_command)
    wait_until(lambda: b"Timer Loop:After" in read_bytes(TRACE_FILE), "the first login")
    return resident


def end_resident(server, resident, *arguments, prefix_command=()):
    """A logout run, as at logoff, which shows nothing; returns the resident's own run."""
    logout = run_agent(server.url, "/logout", *arguments, prefix_command=prefix_command)
    assert logout == (0, []), logout
    return resident.wait()


def start_window_tool(*arguments):
    """wintool, in the background, once it is ready."""
    tool = Popen([WINE, WINTOOL, *arguments])
    wait_until(lambda: "ready" in tool.output(), "wintool " + " ".join(arguments))
    return tool


def windows_command_lines(program):
    """The arguments, as Wine split their command lines, of the running Windows programs started
    from this Windows path on this build's route (so a program on the wrong route is not one)."""
    found = (read_bytes("/proc/%s/cmdline" % pid).decode("latin-1").rstrip("\0").split("\0")
             for pid in os.listdir("/proc") if pid.isdigit())
    return [arguments[len(RUNNERS):] for arguments in found if arguments[:len(RUNNERS) + 1] == RUNNERS + [program]]


def wait_until(condition, what, limit=60):
    """The service tests' poll, with room for Wine's slower programs; the limit only keeps a broken run from hanging."""
    service_tests.wait_until(condition, what, limit)


def remove(path):
    with contextlib.suppress(FileNotFoundError):
        os.remove(path)


def read_bytes(path):
    """The file's bytes; nothing when it does not exist (yet)."""
    try:
        with open(path, "rb") as f:
            return f.read()
    except (FileNotFoundError, ProcessLookupError):  # or a process that has just ended
        return b""


class Service:
    """The logon service as the service's own tests start it, in test mode unless told otherwise, read for what
    the agent sent; a context manager. `options` are extra command-line options (test hooks)."""

    def __init__(self, *options, test_mode=True, prefix_command=(), env=None):
        self.options = [*options, *(["--accept-unauthenticated-retry"] if test_mode else [])]
        self.prefix_command = prefix_command
        self.env = env

    def __enter__(self):
        self.service = service_tests.Service(*self.options, accounts=None, prefix=self.prefix_command, env=self.env)
        self.port = self.service.port
        self.url = "http://127.0.0.1:%d" % self.port
        return self

    def __exit__(self, *exc):
        self.service.stop()
        shutil.rmtree(self.service.dir, ignore_errors=True)

    def agent_requests(self):
        """The agent's requests as the service logged them, oldest first."""
        return [r for r in self.service.log() if r["target"].startswith("/tarnwise")]

    def sent(self, *names):
        """For each of the agent's requests, the values of `names` (a tuple when several): fields of the service's
        record ("status", "conn", "seq", "authorization") or else parameters, which the request must have."""
        record = ("status", "conn", "seq", "authorization")
        rows = [tuple(r[n] if n in record else r["params"][n] for n in names) for r in self.agent_requests()]
        return [row[0] for row in rows] if len(names) == 1 else rows

    def status(self):
        return self.service.status()


def end_all_windows_programs(prefix_command=()):
    """Ends whatever a failed test may have left running in the prefix, resident agents included. The Wine
    server, kept running because Wine starts much faster so, and its services are started anew under
    `prefix_command` (a network namespace, say), because they answer the adapter queries of every program."""
    wineserver("-k", "-w")
    wineserver("-p", prefix_command=prefix_command)


class AgentTestCase(unittest.TestCase):
    """Every test starts with no agent running in the prefix."""

    def setUp(self):
        end_all_windows_programs()


def wineserver(*options, prefix_command=()):
    for option in options:
        subprocess.run([*prefix_command, WINE, "--server", option], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


wineserver("-p")
