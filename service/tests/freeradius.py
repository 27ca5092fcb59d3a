#!/usr/bin/env python3
# Debian's FreeRADIUS as an accounting server of the test's own: its configuration, written into a folder of
# its own, takes accounting records from loopback and writes each to its detail file.
import os
import socket
import subprocess
import tempfile
import time

CONFIG = """prefix = /usr
raddbdir = {dir}
logdir = {dir}
run_dir = {dir}
libdir = /usr/lib/freeradius
dictdir = /usr/share/freeradius
pidfile = {dir}/radiusd.pid
max_request_time = 30
log {{
  destination = stdout
}}
security {{
  allow_vulnerable_openssl = yes
}}
client loopback {{
  ipaddr = 127.0.0.1
  secret = {secret}
}}
modules {{
  detail {{
    filename = {dir}/detail
    header = "%t"
    permissions = 0600
  }}
}}
server default {{
  listen {{
    type = acct
    ipaddr = 127.0.0.1
    port = {port}
  }}
  preacct {{
  }}
  accounting {{
    detail
  }}
}}
"""


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class FreeRadius:
    def __init__(self, secret):
        self.dir = tempfile.mkdtemp(prefix="pellamor-radius-")
        self.port = free_udp_port()
        self.detail_path = os.path.join(self.dir, "detail")
        self.log_path = os.path.join(self.dir, "radiusd.out")
        with open(os.path.join(self.dir, "radiusd.conf"), "w") as conf:
            conf.write(CONFIG.format(dir=self.dir, secret=secret, port=self.port))
        with open(self.log_path, "w") as out:
            self.proc = subprocess.Popen(["freeradius", "-X", "-d", self.dir], stdout=out, stderr=subprocess.STDOUT)
        for _ in range(300):  # polls every 0.1 s; the bound only keeps a broken run from hanging
            if "Ready to process requests" in self.log() or self.proc.poll() is not None:
                break
            time.sleep(0.1)
        if "Ready to process requests" not in self.log():
            self.stop()
            raise AssertionError("freeradius did not start:\n" + self.log()[-3000:])

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def records(self):
        """Each record of the detail file as {attribute: value}, the values as FreeRADIUS writes them."""
        if not os.path.exists(self.detail_path):
            return []
        with open(self.detail_path) as f:
            blocks = f.read().split("\n\n")
        return [dict(line.strip().split(" = ", 1) for line in block.splitlines()[1:]) for block in blocks if block.strip()]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(30)
        subprocess.run(["rm", "-rf", self.dir])

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
