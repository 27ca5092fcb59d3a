"""Runs the real agent under the project's Wine prefix and reads what a person would see."""
import json
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest
import urllib.request

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.join(TOP, "build")
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
SERVICE = os.path.join(BUILD, "service", "pellamor-service")
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
    result = subprocess.CompletedProcess(process.args, process.returncode, process.output(), process.error_text())
    if check and result.returncode != 0:
        raise subprocess.CalledProcessError(result.returncode, process.args, result.stdout, result.stderr)
    return result


class Popen(subprocess.Popen):
    """A process whose output goes to files, not pipes.

    Wine starts its services on demand from whichever program needs them first, and
    they inherit that program's output: a pipe would never see its end."""

    def __init__(self, command, **kwargs):
        self.out_file = tempfile.TemporaryFile(mode="w+", encoding="latin-1")
        self.err_file = tempfile.TemporaryFile(mode="w+", encoding="latin-1")
        super().__init__(command, stdin=subprocess.DEVNULL, stdout=self.out_file, stderr=self.err_file,
                         **kwargs)

    def output(self):
        self.out_file.seek(0)
        return self.out_file.read()

    def error_text(self):
        self.err_file.seek(0)
        return self.err_file.read()


def registry(*args):
    """Runs Wine's reg.exe, for example registry("add", key, "/v", name, "/d", data, "/f")."""
    return wine("reg", *args, check=False)


class Run:
    """One run of a program under boxwatch: the boxes it showed and its exit code."""

    def __init__(self, output):
        self.output = output
        self.boxes = []
        self.exit_code = None
        for line in output.splitlines():
            if line.startswith("BOX "):
                caption, _, text = line[4:].partition("\t")
                self.boxes.append((unescape(caption), unescape(text)))
            elif line.startswith("EXIT "):
                self.exit_code = int(line[5:])

    def __repr__(self):
        return "Run(exit=%r, boxes=%r)" % (self.exit_code, self.boxes)


def unescape(text):
    table = {"\\\\": "\\", "\\r": "\r", "\\n": "\n", "\\t": "\t"}
    return re.sub(r"\\[\\rnt]", lambda m: table[m.group(0)], text)


def quote(argument):
    return '"%s"' % argument if (" " in argument or not argument) else argument


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
        run = Run(self.process.output())
        if run.exit_code is None:
            raise AssertionError("the agent did not end: " + self.process.output() + self.process.error_text())
        return run


def start_agent(*arguments, program=AGENT, limit=150, prefix_command=()):
    command = " ".join(quote(a) for a in [windows_path(program), *arguments])
    process = Popen([*prefix_command, WINE, BOXWATCH, "--limit", str(limit), "--", command])
    return RunningAgent(process, limit)


def start_resident(server, *arguments, program=AGENT, prefix_command=()):
    """A persistent agent of this server, traced, once its first login is done."""
    remove(TRACE_FILE)
    resident = start_agent(server.url, "/t", *arguments, program=program, prefix_command=prefix_command)
    wait_until(lambda: b"After authentication" in read_bytes(TRACE_FILE), "the first login")
    return resident


def end_resident(server, resident, *arguments, prefix_command=()):
    """A logout run, as at logoff, which shows nothing; returns the resident's own run."""
    logout = run_agent(server.url, "/logout", *arguments, prefix_command=prefix_command)
    assert (logout.exit_code, logout.boxes) == (0, []), logout
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
    """Polls until condition() is true; the limit only keeps a broken run from hanging."""
    deadline = time.monotonic() + limit
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("gave up waiting for " + what)
        time.sleep(0.1)


def remove(path):
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


def read_bytes(path):
    """The file's bytes; nothing when it does not exist (yet)."""
    try:
        with open(path, "rb") as f:
            return f.read()
    except (FileNotFoundError, ProcessLookupError):  # or a process that has just ended
        return b""


class Service:
    """The reference logon service on loopback, in test mode, with its request log.

    Use as a context manager; `options` are extra command-line options (test hooks)."""

    def __init__(self, *options, test_mode=True, prefix_command=()):
        self.options = list(options)
        self.prefix_command = list(prefix_command)
        if test_mode:
            self.options.append("--accept-unauthenticated-retry")
        self.work = None
        self.process = None
        self.port = None

    def __enter__(self):
        self.work = tempfile.mkdtemp(prefix="pellamor-e2e-")
        self.log_path = os.path.join(self.work, "requests.log")
        self.process = subprocess.Popen(
            [*self.prefix_command, SERVICE, "--port", "0", "--db", os.path.join(self.work, "users.sqlite"),
             "--request-log", self.log_path, *self.options],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        first = self.process.stdout.readline()
        match = re.match(r"listening on [^ ]+:(\d+)", first)
        if not match:
            self.__exit__()
            raise AssertionError("the service did not start: %r" % first)
        self.port = int(match.group(1))
        return self

    def __exit__(self, *exc):
        if self.process is not None:
            self.process.terminate()
            self.process.wait(timeout=30)
            self.process.stdout.close()
        shutil.rmtree(self.work, ignore_errors=True)

    @property
    def url(self):
        return "http://127.0.0.1:%d" % self.port

    def requests(self):
        """Every request the service received, as dictionaries, oldest first."""
        if not os.path.exists(self.log_path):
            return []
        with open(self.log_path, encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.strip()]

    def agent_requests(self):
        return [r for r in self.requests() if r["target"].startswith("/tarnwise")]

    def sent(self, *names):
        """For each of the agent's requests, oldest first, the values of `names` (a tuple when several):
        each a field of the service's record about it ("status", "conn", "seq", "authorization") or else
        one of the request's parameters, which it must have."""
        record = ("status", "conn", "seq", "authorization")
        rows = [tuple(r[n] if n in record else r["params"][n] for n in names) for r in self.agent_requests()]
        return [row[0] for row in rows] if len(names) == 1 else rows

    def status(self):
        with urllib.request.urlopen(self.url + "/status.json", timeout=30) as reply:
            return json.load(reply)


def end_all_windows_programs(prefix_command=()):
    """Ends whatever a failed test may have left running in the prefix, resident agents included.

    The Wine server and its services are started anew under `prefix_command` (a network
    namespace, say), because they answer the adapter queries of every program."""
    for option in ("-k", "-w"):
        wineserver(option)
    keep_wineserver_running(prefix_command)


class AgentTestCase(unittest.TestCase):
    """Every test starts with no agent running in the prefix."""

    def setUp(self):
        end_all_windows_programs()


def wineserver(option, prefix_command=()):
    subprocess.run([*prefix_command, WINE, "--server", option], check=False, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def keep_wineserver_running(prefix_command=()):
    """Wine starts much faster while its server stays up between programs."""
    wineserver("-p", prefix_command)


keep_wineserver_running()
