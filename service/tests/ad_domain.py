#!/usr/bin/env python3
# An Active Directory domain on this machine, for the service's tests and benchmark: Debian's Samba
# AD DC and a member server's winbind, in a network namespace of their own. The tests provision it
# once per run and share it (`ad_domain.py start STATE` and `ad_domain.py stop STATE`, CTest's
# fixture), or a test module starts one for itself when no STATE is given (PELLAMOR_DIRECTORY).
import contextlib
import ctypes
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

REALM, DOMAIN = "PELLAMOR.TEST", "PELLAMOR"
SERVICE_HOST, OTHER_HOST = "web.pellamor.test", "other.pellamor.test"  # each an HTTP/ principal
# An alias of the service's account, never given to the service (a ticket for it opens with the same key); and
# a principal of an account that the domain gives no PAC (NO_AUTH_DATA_REQUIRED), whose keys are in the keytab too.
ALIAS_HOST, NOPAC_HOST = "alias.pellamor.test", "nopac.pellamor.test"
SERVICE_NAMES = ",".join((SERVICE_HOST, NOPAC_HOST))  # the service's --service-name
# ivan is a member of this many groups: his Kerberos ticket is far larger than a usual header.
IVAN_GROUPS = 1500
ADMIN_PASSWORD = "Admin-Pass-1"
# alice logs in; carol is disabled, dave must change his password, erin's account has expired;
# frank and grace meet the domain's lockout policy (locked out after LOCKOUT failures). alice is a
# member of ADMINS through the group helpdesk inside it; heidi is in neither. The school's groups:
# alice is in Marketing through Campaigns inside it, heidi is one of the Students.
PASSWORDS = {"alice": "Alice-Pass-1", "carol": "Carol-Pass-1", "dave": "Dave-Pass-1", "erin": "Erin-Pass-1",
             "frank": "Frank-Pass-1", "grace": "Grace-Pass-1", "heidi": "Heidi-Pass-1", "ivan": "Ivan-Pass-1"}
ADMINS = "pellamor-admins"
LOCKOUT = 5
CLONE_NEWNET = 0x40000000
# Samba's clients (and libwbclient in the service) find winbind at this fixed path only: a
# program is shown its own winbind there in a private mount namespace (the folder gets a tmpfs).
WITH_WINBIND = ('mount -t tmpfs tmpfs "$(test -d /run/samba && echo /run/samba || echo /run)" && '
                'mkdir -p /run/samba/winbindd && mount --bind "$0" /run/samba/winbindd && exec "$@"')

# Run by Debian's own python3, which has Samba's modules: the users, their states, the
# principals and the keytab, in one process instead of a samba-tool call each.
SETUP = r"""
import sys, time
import ldb
from samba.auth import system_session
from samba import enable_net_export_keytab
from samba.net import Net
from samba.param import LoadParm
from samba.samdb import SamDB
conf, keytab, passwords, lockout, admins = sys.argv[1], sys.argv[2], eval(sys.argv[3]), sys.argv[4], sys.argv[5]
ivan_groups = int(sys.argv[6])
lp = LoadParm()
lp.load(conf)
db = SamDB(url=lp.private_path("sam.ldb"), session_info=system_session(), lp=lp)
for user, password in passwords.items():
    db.newuser(user, password, force_password_change_at_next_login_req=(user == "dave"))
db.disable_account("(sAMAccountName=carol)")
db.newgroup(admins)
db.newgroup("helpdesk")
db.add_remove_group_members("helpdesk", ["alice"])
db.add_remove_group_members(admins, ["helpdesk"])
for group, members in (("Campaigns", ["alice"]), ("Marketing", ["Campaigns"]), ("Students", ["heidi"])):
    db.newgroup(group)
    db.add_remove_group_members(group, members)
db.setexpiry("(sAMAccountName=erin)", -86400, no_expiry_req=False)
def modify(dn, **values):
    m = ldb.Message(ldb.Dn(db, dn))
    for name, value in values.items():
        m[name] = ldb.MessageElement(value, ldb.FLAG_MOD_REPLACE, name)
    db.modify(m)
window = str(-60 * 10**7)  # one minute, in 100 ns units
modify(str(db.domain_dn()), lockoutThreshold=lockout, lockoutDuration=window, lockOutObservationWindow=window)
for account, hosts in (("websvc", ["web", "alias"]), ("othersvc", ["other"]), ("nopacsvc", ["nopac"])):
    db.newuser(account, "Svc-Pass-1-" + hosts[0])
    dn = str(db.search(expression="(sAMAccountName=%s)" % account, attrs=[])[0].dn)
    modify(dn, servicePrincipalName=["HTTP/%s.pellamor.test" % host for host in hosts])
    if account == "nopacsvc":  # NORMAL_ACCOUNT | NO_AUTH_DATA_REQUIRED
        modify(dn, userAccountControl=str(0x200 | 0x2000000))
ivan = str(db.search(expression="(sAMAccountName=ivan)", attrs=[])[0].dn)
db.transaction_start()
for i in range(ivan_groups):
    db.add({"dn": "CN=many%04d,CN=Users,%s" % (i, db.domain_dn()), "objectClass": "group",
            "sAMAccountName": "many%04d" % i, "member": ivan})
db.transaction_commit()
enable_net_export_keytab()
for principal in ("HTTP/web.pellamor.test", "HTTP/nopac.pellamor.test"):
    Net(None, lp).export_keytab(keytab=keytab, principal=principal)
    Net(None, lp).export_keytab(keytab=keytab + ".wide", principal=principal)
# The wide keytab also holds another service's keys, as a machine account's holds its cifs/ and host/ keys.
Net(None, lp).export_keytab(keytab=keytab + ".wide", principal="HTTP/other.pellamor.test")
"""


def run(argv, **kwargs):
    result = subprocess.run(argv, capture_output=True, text=True, timeout=300, **kwargs)
    if result.returncode != 0:
        raise AssertionError("%s failed: %s%s" % (" ".join(argv[:4]), result.stdout, result.stderr))
    return result.stdout


class Directory:
    # The domain's folders and processes; `state` is what `start` wrote.

    def __init__(self, state, path=None):
        self.state, self.path = state, path
        self.dir, self.ns = state["dir"], state["ns"]
        self.dc_conf = os.path.join(self.dir, "dc", "etc", "smb.conf")
        self.krb5_conf = os.path.join(self.dir, "krb5.conf")
        self.keytab = os.path.join(self.dir, "web.keytab")
        self.wide_keytab = self.keytab + ".wide"
        self.member_winbind = os.path.join(self.dir, "member", "winbindd")

    @contextlib.contextmanager
    def entered(self):
        # This thread (and the threads and programs it starts) in the domain's network namespace meanwhile.
        libc = ctypes.CDLL(None, use_errno=True)
        with open("/proc/self/ns/net") as home, open(os.path.join("/run/netns", self.ns)) as there:
            if libc.setns(there.fileno(), CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "cannot enter network namespace " + self.ns)
            try:
                yield
            finally:
                libc.setns(home.fileno(), CLONE_NEWNET)

    def inside(self, argv):
        return ["ip", "netns", "exec", self.ns] + list(argv)

    def with_winbind(self, argv, socket_dir=None):
        # argv in the namespace, seeing the member's winbind (or socket_dir's) where libwbclient looks.
        return self.inside(["unshare", "--mount", "--propagation", "private", "sh", "-c", WITH_WINBIND,
                            socket_dir or self.member_winbind] + list(argv))

    def spawn(self, name, argv, pid_file):
        # A daemon of the domain in a session of its own (setsid forks it off), output to a file: it outlives
        # whoever started it, and nobody has to wait for it. Its process id is its session's and group's.
        if os.path.exists(pid_file):
            os.remove(pid_file)
        with open(os.path.join(self.dir, name + ".out"), "a") as out:
            subprocess.run(["setsid", "-f", *argv], stdin=subprocess.DEVNULL, stdout=out, stderr=out, check=True)
        self.wait_for(lambda: os.path.exists(pid_file), name + " to write its process id")
        with open(pid_file) as f:
            self.state[name] = int(f.read())
        self.save()

    def wait_for(self, condition, what):
        give_up = time.monotonic() + 180  # only keeps a broken run from hanging
        while not condition():
            if time.monotonic() > give_up:
                raise AssertionError("gave up waiting for " + what)
            time.sleep(0.1)

    def start_dc(self):
        # Its smbd reaches the DC's own winbind. It serves a while after it has written its process id.
        dc_winbind = os.path.join(self.dir, "dc", "run", "winbindd")
        os.makedirs(dc_winbind, exist_ok=True)
        self.spawn("samba", self.with_winbind(["samba", "-F", "-M", "single", "-s", self.dc_conf], dc_winbind),
                   os.path.join(self.dir, "dc", "run", "samba.pid"))

    def stop_dc(self):
        stop_process(self.state.get("samba"))

    def member_login_works(self):
        probe = self.with_winbind(["wbinfo", "-a", "%s\\alice%%%s" % (DOMAIN, PASSWORDS["alice"])])
        return "challenge/response password authentication succeeded" in subprocess.run(
            probe, capture_output=True, text=True).stdout

    def join_member(self):
        # A member server (WEB1) joined to the domain, with its own winbind.
        member = os.path.join(self.dir, "member")
        for sub in ("private", "lock", "state", "cache", "run", "winbindd"):
            os.makedirs(os.path.join(member, sub), exist_ok=True)
        conf = os.path.join(member, "smb.conf")
        with open(conf, "w") as f:
            f.write("[global]\nworkgroup = %s\nrealm = %s\nsecurity = ads\nnetbios name = WEB1\n"
                    "interfaces = lo\nbind interfaces only = yes\nprivate dir = {0}/private\n"
                    "lock directory = {0}/lock\nstate directory = {0}/state\ncache directory = {0}/cache\n"
                    "pid directory = {0}/run\nncalrpc dir = {0}/run/ncalrpc\nwinbindd socket directory = {0}/winbindd\n"
                    "log file = {0}/log.%%m\nidmap config * : backend = tdb\nidmap config * : range = 3000-7999\n"
                    "winbind reconnect delay = 1\n".format(member) % (DOMAIN, REALM))
        # Samba leaves loopback addresses out of its DNS, where a member looks for the DC. A DC that has
        # just started refuses this for a few seconds.
        add = self.inside(["samba-tool", "dns", "add", "127.0.0.1", "pellamor.test", "dc1", "A", "127.0.0.1",
                           "-U", "Administrator%" + ADMIN_PASSWORD])

        def added():
            result = subprocess.run(add, capture_output=True, text=True)
            return result.returncode == 0 or "Record already exists" in result.stdout + result.stderr
        self.wait_for(added, "the DC's DNS to take a record")
        run(self.inside(["net", "ads", "join", "-U", "Administrator%" + ADMIN_PASSWORD, "--configfile=" + conf,
                         "--no-dns-updates"]))
        self.start_winbind()

    def start_winbind(self):
        # The member's winbind, until it verifies a login.
        member = os.path.join(self.dir, "member")
        self.spawn("winbindd", self.inside(["winbindd", "-F", "--no-process-group",
                                            "--configfile=" + os.path.join(member, "smb.conf")]),
                   os.path.join(member, "run", "winbindd.pid"))
        self.wait_for(self.member_login_works, "the member's winbind to verify a login")

    def stop_winbind(self):
        stop_process(self.state.get("winbindd"))

    def signal_winbind(self, signal_number):
        # SIGSTOP leaves winbind's sockets open with nobody answering them, as a winbind that hangs does.
        os.killpg(self.state["winbindd"], signal_number)

    def save(self):
        # The state where the run's other programs (the stop at the end) find it.
        if self.path:
            with open(self.path, "w") as f:
                json.dump(self.state, f)

    @classmethod
    def start(cls):
        top = tempfile.mkdtemp(prefix="pellamor-directory-")
        os.chmod(top, 0o755)
        directory = cls({"dir": top, "ns": "pellamor-dc-%d" % os.getpid()})
        try:
            directory.provision()
        except BaseException:
            directory.stop()
            raise
        return directory

    def provision(self):
        dc = os.path.join(self.dir, "dc")
        run(["samba-tool", "domain", "provision", "--targetdir=" + dc, "--realm=" + REALM, "--domain=" + DOMAIN,
             "--server-role=dc", "--dns-backend=SAMBA_INTERNAL", "--adminpass=" + ADMIN_PASSWORD, "--host-name=dc1",
             "--option=interfaces=lo", "--option=bind interfaces only=yes",
             "--option=pid directory=%s/run" % dc, "--option=ncalrpc dir=%s/run/ncalrpc" % dc,
             "--option=winbindd socket directory=%s/run/winbindd" % dc, "--option=log file=%s/log.%%m" % dc])
        run(["/usr/bin/python3", "-c", SETUP, self.dc_conf, self.keytab, repr(PASSWORDS), str(LOCKOUT), ADMINS, str(IVAN_GROUPS)])
        etc = os.path.join("/etc/netns", self.ns)
        os.makedirs(etc)
        with open(os.path.join(etc, "hosts"), "w") as f:
            # A line each: Kerberos clients ask for the ticket of the name's canonical name, the line's first.
            f.write("".join("127.0.0.1 %s\n" % n for n in ("localhost", "dc1.pellamor.test", SERVICE_HOST, OTHER_HOST,
                                                          ALIAS_HOST, NOPAC_HOST)))
        with open(os.path.join(etc, "resolv.conf"), "w") as f:
            f.write("nameserver 127.0.0.1\n")  # the DC's own DNS
        with open(self.krb5_conf, "w") as f:
            f.write("[libdefaults]\ndefault_realm = %s\ndns_lookup_kdc = false\ndns_lookup_realm = false\n"
                    "rdns = false\n[realms]\n%s = {\nkdc = 127.0.0.1\n}\n[domain_realm]\n.pellamor.test = %s\n"
                    % (REALM, REALM, REALM))
        run(["ip", "netns", "add", self.ns])
        run(self.inside(["ip", "link", "set", "lo", "up"]))
        # Clients of the tests may come from any address of this test range, as PCs of a network would.
        run(self.inside(["ip", "route", "add", "local", "192.0.2.0/24", "dev", "lo"]))
        self.start_dc()
        self.join_member()

    def stop(self):
        stop_process(self.state.get("winbindd"))
        self.stop_dc()
        end_leftovers(self.dir)
        subprocess.run(["ip", "netns", "delete", self.ns], capture_output=True)
        shutil.rmtree(os.path.join("/etc/netns", self.ns), ignore_errors=True)
        shutil.rmtree(self.dir, ignore_errors=True)

    def kerberos_env(self, cache_name):
        # Environment of a Kerberos client or of the service: this realm, a cache of its own.
        return dict(os.environ, KRB5_CONFIG=self.krb5_conf, KRB5CCNAME="FILE:" + os.path.join(self.dir, cache_name),
                    KRB5RCACHEDIR=self.dir)

    def bad_password_count(self, user):
        # The failed logons the domain counts against the account now (the DC's own badPwdCount).
        out = run(["samba-tool", "user", "show", user, "-s", self.dc_conf, "--attributes=badPwdCount"])
        return int(re.search(r"^badPwdCount: (\d+)$", out, re.M).group(1)) if "badPwdCount" in out else 0

    def kinit(self, user):
        env = self.kerberos_env("ccache-" + user)
        run(self.inside(["kinit", user]), input=PASSWORDS[user] + "\n", env=env)
        return env


def end_leftovers(folder):
    # Ends, by their process ids, the programs of the domain in `folder` that outlive its daemons'
    # sessions: the samba-dcerpcd that the member's winbind starts on demand leaves winbind's session.
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                argv = f.read().split(b"\0")
        except OSError:
            continue
        if any(arg.startswith(b"--configfile=" + os.fsencode(folder) + b"/") for arg in argv):
            try:
                os.kill(int(pid), 15)
            except ProcessLookupError:
                pass


def stop_process(pid):
    # Ends a daemon's session (the namespace wrappers and the daemon) and waits for it.
    if not pid:
        return
    try:
        os.killpg(pid, 15)
    except ProcessLookupError:
        return
    for _ in range(100):
        try:
            os.killpg(pid, 0)
        except ProcessLookupError:
            return
        time.sleep(0.1)
    os.killpg(pid, 9)


_own = None


def shared():
    # The run's domain (PELLAMOR_DIRECTORY names its state), or one of this process's own.
    global _own
    path = os.environ.get("PELLAMOR_DIRECTORY")
    if path:
        with open(path) as f:
            return Directory(json.load(f), path)
    if _own is None:
        _own = Directory.start()
    return _own


def release():
    if _own is not None:
        _own.stop()


def main(command, state_path):
    if os.path.exists(state_path):  # stop, or what an interrupted run left behind
        with open(state_path) as f:
            Directory(json.load(f)).stop()
        os.remove(state_path)
    if command == "start":
        directory = Directory.start()
        directory.path = state_path
        directory.save()


if __name__ == "__main__":
    main(*sys.argv[1:])
