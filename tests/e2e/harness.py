"""Runs the real agent under the project's Wine prefix and reads what a person would see."""
import json
import os
import re
import shutil
import subprocess
import tempfile
import urllib.request

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.join(TOP, "build")
PREFIX = os.environ.get("WINEPREFIX", os.path.join(BUILD, "wineprefix"))
DRIVE_C = os.path.join(PREFIX, "drive_c")
WINE = os.path.join(TOP, "scripts", "wine")
AGENT = os.path.join(BUILD, "x86_64", "Pellamor.exe")
BOXWATCH = os.path.join(BUILD, "x86_64", "tests", "boxwatch.exe")
SERVICE = os.path.join(BUILD, "service", "pellamor-service")
TRACE_FILE = os.path.join(DRIVE_C, "pellamor_trace.txt")


def windows_path(path):
    """The Wine drive Z: is the Linux root."""
    return "Z:" + path.replace("/", "\\")


def wine(*args, check=True, timeout=120):
    return subprocess.run([WINE, *args], capture_output=True, text=True, check=check, timeout=timeout)


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


def run_agent(*arguments, program=AGENT, limit=150):
    """Runs the agent to its end, pressing OK on every box it shows."""
    command = " ".join(quote(a) for a in [windows_path(program), *arguments])
    result = wine(BOXWATCH, "--limit", str(limit), "--", command, timeout=limit + 30)
    run = Run(result.stdout)
    if run.exit_code is None:
        raise AssertionError("the agent did not end: " + result.stdout + result.stderr)
    return run


def remove(path):
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


class Service:
    """The reference logon service on loopback, in test mode, with its request log.

    Use as a context manager; `options` are extra command-line options (test hooks)."""

    def __init__(self, *options, test_mode=True):
        self.options = list(options)
        if test_mode:
            self.options.append("--accept-unauthenticated-retry")
        self.work = None
        self.process = None
        self.port = None

    def __enter__(self):
        self.work = tempfile.mkdtemp(prefix="pellamor-e2e-")
        self.log_path = os.path.join(self.work, "requests.log")
        self.process = subprocess.Popen(
            [SERVICE, "--port", "0", "--db", os.path.join(self.work, "users.sqlite"),
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

    def status(self):
        with urllib.request.urlopen(self.url + "/status.json", timeout=30) as reply:
            return json.load(reply)


def keep_wineserver_running():
    """Wine starts much faster while its server stays up between programs."""
    env = dict(os.environ, WINEPREFIX=PREFIX)
    subprocess.run(["/usr/lib/wine/wineserver", "-p"], env=env, check=False,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


keep_wineserver_running()
