"""A PostgreSQL cluster of one test run, on loopback and on a socket in its private folder, for the user map."""
import glob
import os
import shutil
import socket
import subprocess
import sys
import tempfile

PG_BIN = max(glob.glob("/usr/lib/postgresql/*/bin"), default="/usr/lib/postgresql/bin")  # Debian's, versioned
# The server refuses to run as root: it runs as the postgres user, in a folder that user owns.
AS_POSTGRES = ["runuser", "-u", "postgres", "--"] if os.geteuid() == 0 else []


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Postgres:
    """The cluster, with a database "pellamor"; its default is asynchronous commit, which the services must turn
    back on for themselves."""

    def __enter__(self):
        self.dir = tempfile.mkdtemp(prefix="pellamor-pg-")
        if AS_POSTGRES:
            shutil.chown(self.dir, "postgres")
        self.run("initdb", "-D", self.dir + "/data", "-A", "trust", "-E", "UTF8", "--locale=C", "-U", "postgres")
        self.start_on_a_free_port()
        self.database("pellamor")
        self.uri = "postgresql://postgres@127.0.0.1:%d/pellamor" % self.port  # through loopback
        return self

    def run(self, program, *args):
        subprocess.run([*AS_POSTGRES, os.path.join(PG_BIN, program), *args], check=True, capture_output=True,
                       timeout=120)

    def start_on_a_free_port(self):
        # A port found free can be taken before the server binds it (an outgoing connection's local
        # port comes from the same range): then another port is tried.
        for _ in range(5):
            self.port = free_port()
            try:
                return self.start()
            except subprocess.CalledProcessError:
                with open(self.dir + "/log") as log:
                    if "already in use" not in log.read():
                        raise
        raise AssertionError("PostgreSQL found no free port: " + self.dir + "/log")

    def start(self):
        options = "-p %d -k %s -c listen_addresses=127.0.0.1 -c synchronous_commit=off" % (self.port, self.dir)
        self.run("pg_ctl", "-D", self.dir + "/data", "-o", options, "-l", self.dir + "/log", "-w", "start")

    def database(self, name, *options):
        """A new database; its URI reaches it through the socket, from any network namespace."""
        self.run("createdb", "-h", self.dir, "-p", str(self.port), "-U", "postgres", *options, name)
        return "postgresql://postgres@%s:%d/%s" % (self.dir.replace("/", "%2F"), self.port, name)

    def crash(self):
        self.run("pg_ctl", "-D", self.dir + "/data", "-m", "immediate", "stop")

    def rows(self, sql, database="pellamor", timeout=60):
        """What psql prints, split at white space."""
        return subprocess.run(["psql", "-h", self.dir, "-p", str(self.port), "-U", "postgres", "-d", database,
                               "-v", "ON_ERROR_STOP=1", "-Atc", sql], capture_output=True, text=True, check=True,
                              timeout=timeout).stdout.split()

    def __exit__(self, *exc):
        subprocess.run([*AS_POSTGRES, os.path.join(PG_BIN, "pg_ctl"), "-D", self.dir + "/data", "-m", "immediate",
                        "stop"], capture_output=True, timeout=120)
        shutil.rmtree(self.dir, ignore_errors=True)


def main(command, state):
    """`start STATE` starts a cluster and writes its folder, port and URI to the file STATE, one a line; `stop
    STATE` stops that cluster and removes it (the C++ tests' fixture)."""
    cluster = Postgres()
    if command == "start":
        cluster.__enter__()
        with open(state, "w") as out:
            out.write("%s\n%d\n%s\n" % (cluster.dir, cluster.port, cluster.uri))
    else:
        with open(state) as lines:
            cluster.dir, port, cluster.uri = lines.read().split()
        cluster.port = int(port)
        cluster.__exit__(None, None, None)
        os.unlink(state)


if __name__ == "__main__":
    main(*sys.argv[1:])
