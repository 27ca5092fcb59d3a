"""A scripted logon server on loopback: the first connection meets one network fault, later ones
are served as the real service does in test mode (401, then 200 with the interval header)."""
import socket
import struct
import threading
import time

CHALLENGE = b"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: NTLM\r\nContent-Length: 0\r\n\r\n"
SUCCESS = b"HTTP/1.1 200 OK\r\nPersistent-Time: 900\r\nContent-Length: 0\r\n\r\n"
# The interval header comes after 48 KB of other headers: the whole block has to be read. (Windows'
# WinHTTP refuses a header block over 64 KB with error 12183; Wine's takes any size.)
LARGE = b"HTTP/1.1 200 OK\r\nX-Filler: " + b"x" * (48 << 10) + b"\r\nPersistent-Time: 600\r\nContent-Length: 0\r\n\r\n"

# A redirect to this very server ("PORT" becomes its port): a request that follows it shows up
# as a request for /elsewhere.
REDIRECT = b"HTTP/1.1 %s\r\nLocation: http://127.0.0.1:PORT/elsewhere\r\nContent-Length: 0\r\n\r\n"
# A refusal whose headers hold the success mark: only the status line counts.
REFUSAL = b"HTTP/1.1 403 Forbidden\r\nX-Note: HTTP/1.1 200\r\nPersistent-Time: 600\r\nContent-Length: 0\r\n\r\n"

# What the first connection gets, by fault: the replies to its requests in turn, then
# "reset" (the connection is reset), "silent" (held open, never answered), "trickle" (a reply
# whose header block never ends, one byte each 0.1 s) or "close".
FAULTS = {
    "reset after the first request": [b"reset"],
    "reset after the second request": [CHALLENGE, b"reset"],
    "accepted, never answered": [b"silent"],
    "trickled reply": [b"trickle"],
    "garbage status line": [b"garbage\r\n\r\n", b"close"],
    "48 KB header block": [CHALLENGE, LARGE, b"close"],
    "redirect instead of a challenge": [REDIRECT % b"302 Found", b"close"],
    "redirect after the challenge": [CHALLENGE, REDIRECT % b"307 Temporary Redirect", b"close"],
    "refusal with the success mark in a header": [CHALLENGE, REFUSAL, b"close"],
}




def interval_reply(header):
    """The success a server gives with this one header line where the interval header belongs."""
    return CHALLENGE, b"HTTP/1.1 200 OK\r\n" + header + b"\r\nContent-Length: 0\r\n\r\n", b"close"


class FaultServer:
    """Serves the first connection the fault's script, or `script` itself when one is given, and the
    next ones the `later` scripts in turn."""

    def __init__(self, fault, script=None, *later):
        self.scripts = [script or FAULTS[fault], *later]
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.url = "http://127.0.0.1:%d" % self.port
        self.requests = []  # (connection number, request target), in order of arrival
        self.held = []
        threading.Thread(target=self.accept_loop, daemon=True).start()

    def accept_loop(self):
        number = 0
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            number += 1
            script = self.scripts[number - 1] if number <= len(self.scripts) else [CHALLENGE, SUCCESS, b"close"]
            threading.Thread(target=self.serve, args=(connection, number, script), daemon=True).start()

    def serve(self, connection, number, script):
        reader = connection.makefile("rb")
        for reply in script:
            if reply == b"close":
                break
            head = reader.readline(65536)
            while reader.readline(65536) not in (b"\r\n", b"\n", b""):
                pass
            if not head:
                break
            self.requests.append((number, head.decode("latin-1").split(" ")[1]))
            if reply == b"reset":
                connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                break
            if reply == b"silent":
                self.held.append(connection)
                return
            if reply == b"trickle":
                self.trickle(connection)
                break
            connection.sendall(reply.replace(b"PORT", b"%d" % self.port))
        reader.close()
        connection.close()

    @staticmethod
    def trickle(connection):
        try:
            connection.sendall(b"HTTP/1.1 401 Unauthorized\r\nX-Slow: ")
            while True:
                time.sleep(0.1)
                connection.sendall(b"x")
        except OSError:
            return

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.listener.close()
        for connection in self.held:
            connection.close()
