"""The agent's logon answered with the user's own domain credentials: alice of a real Active Directory
domain (service/tests/ad_domain.py), her password cached in the member's winbind, the agent run as the uid
winbind maps her to, and the service verifying the answers through that winbind, without its test mode.

Wine's own winhttp.dll never answers a challenge with the logged-on user's credentials; the prefix of
this module loads the one tests/winhttp/build patches to do so under the LOW autologon policy, and to name
the server by its service principal under Negotiate, as Windows does. Below it, Wine's Kerberos takes
alice's ticket from her credential cache, and Wine's NTLM asks Samba's ntlm_auth for the cached credentials."""
import os
import shutil
import socket
import subprocess
import unittest

from harness import BUILD, TOP, WINE, Service, end_resident, remove, run_agent, start_agent, wait_until
import ad_domain as directory  # beside the service's tests, which the harness puts on the path

ALICE = "%s\\alice" % directory.DOMAIN
HOST = socket.gethostname()
ADDRESS = "198.51.100.50"  # the one address of the agent's host, in the domain's namespace
FINAL_401 = "Pellamor can not reach the Auth server in the final attempt. (Invalid status code, error: 401)"
PATCHED_DLL = os.path.join(BUILD, "winhttp-patched", os.environ["PELLAMOR_ARCH"], "winhttp.dll")
DOMAIN = None
AS_ALICE = None  # the command prefix that runs a program as alice, in the domain, seeing the member's winbind
UID_GID = None
CCACHE = None  # alice's Kerberos credential cache, where her Wine looks for tickets


def wbinfo(*arguments, as_alice=True):
    who = ["setpriv", "--reuid=%d" % UID_GID[0], "--regid=%d" % UID_GID[1], "--clear-groups"] if as_alice else []
    return subprocess.run(DOMAIN.with_winbind([*who, "wbinfo", *arguments]), capture_output=True, text=True,
                          timeout=60)


def cache_alices_password():
    # winbind keeps another uid's cache from her: it is saved as her uid.
    result = wbinfo("--ccache-save=%s%%%s" % (ALICE, directory.PASSWORDS["alice"]))
    assert result.returncode == 0, result.stdout + result.stderr


def forget_alices_password():
    # As at her logoff. winbind counts the saves and keeps the password until as many logoffs.
    for _ in range(5):
        result = wbinfo("--logoff", "--logoff-user=" + ALICE, "--logoff-uid=%d" % UID_GID[0], as_alice=False)
        assert result.returncode == 0, result.stdout + result.stderr


def alice_prefix():
    """A Wine prefix of this build and route owned by alice's uid, kept in the build tree, with the patched DLL."""
    global CCACHE
    default = subprocess.run([WINE, "--prefix"], capture_output=True, text=True, check=True).stdout.strip()
    prefix = os.path.join(BUILD, "domain-" + os.path.basename(default))
    os.makedirs(prefix, exist_ok=True)
    CCACHE = os.path.join(prefix, "krb5cc_alice")
    subprocess.run(["chown", "-R", "%d:%d" % UID_GID, prefix], check=True)  # uids may differ between runs
    subprocess.run([*alice_command(prefix), os.path.join(TOP, "scripts", "wine-prefix")], check=True,
                   stdout=subprocess.DEVNULL, timeout=300)
    system32 = os.path.join(prefix, "drive_c", "windows", "system32")
    shutil.copy(PATCHED_DLL, system32)
    os.chown(os.path.join(system32, "winhttp.dll"), *UID_GID)
    return prefix


def give_alice_her_ticket():
    shutil.copy(DOMAIN.kinit("alice")["KRB5CCNAME"][len("FILE:"):], CCACHE)
    os.chown(CCACHE, *UID_GID)


def entries(service):
    return [(u["domain"] + "\\" + u["user"], u["host"], u["ips"], u["authenticated"], u["persistent"])
            for u in service.status()["users"]]


def alice_command(prefix):
    # scripts/wine becomes alice itself (as root it can keep her true uid on the qemu route too).
    return DOMAIN.with_winbind([
        "env", "-i", "HOME=" + prefix, "USER=alice", "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "WINEPREFIX=" + prefix,
        "WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml=;winhttp=n,b", "PELLAMOR_WINE_USER=%d:%d" % UID_GID,
        "KRB5_CONFIG=" + DOMAIN.krb5_conf, "KRB5CCNAME=FILE:" + CCACHE,
        "PELLAMOR_ARCH=" + os.environ["PELLAMOR_ARCH"],
        "PELLAMOR_WINE_ROUTE=" + os.environ.get("PELLAMOR_WINE_ROUTE", "auto")])


class DomainLogonTest(unittest.TestCase):
    def setUp(self):
        self.service = Service("--verify", "winbind", test_mode=False, prefix_command=DOMAIN.with_winbind([]))
        self.url = self.service.__enter__().url
        self.addCleanup(self.service.__exit__)

    def entries(self):
        return entries(self.service)

    def test_logins_name_alice_at_the_agents_host_and_address_a_logout_removes_her_and_none_go_without_her_cache(self):
        self.assertEqual(run_agent(self.url, "/nopersist", "/verbose", prefix_command=AS_ALICE), (0, []))
        self.assertEqual(self.entries(), [(ALICE, HOST, [ADDRESS], True, False)])
        resident = start_agent(self.url, "/verbose", prefix_command=AS_ALICE)
        wait_until(lambda: [e[4] for e in self.entries()] == [True], "the resident's login")
        self.assertEqual(self.entries(), [(ALICE, HOST, [ADDRESS], True, True)])
        self.assertEqual(end_resident(self.service, resident, "/verbose", prefix_command=AS_ALICE), (0, []))
        self.assertEqual(self.entries(), [])
        requests = [(r["params"]["action"], r["authorization"], r["status"]) for r in self.service.agent_requests()]
        # WinHTTP answers the repeated request's 401 itself, with NTLM's two steps on that connection.
        exchange = [("none", 401), ("none", 401), ("NTLM-negotiate", 401), ("NTLM-authenticate", 200)]
        self.assertEqual(requests, [(action, auth, status) for action in ("login", "login", "logout")
                                    for auth, status in exchange])
        forget_alices_password()  # as at her logoff: the final attempt is refused
        self.addCleanup(cache_alices_password)
        self.assertEqual(run_agent(self.url, "/nopersist", "/verbose", prefix_command=AS_ALICE),
                         (0, [("Pellamor", FINAL_401)]))
        self.assertEqual(self.entries(), [])

    def test_to_the_services_principal_alice_logs_on_by_kerberos_with_her_ticket_and_by_ntlm_without_it(self):
        with Service("--verify", "winbind", "--keytab", DOMAIN.keytab, "--service-name", directory.SERVICE_NAMES,
                     test_mode=False, prefix_command=DOMAIN.with_winbind([]),
                     env=DOMAIN.kerberos_env("service-cache")) as service:
            url = "http://%s:%d" % (directory.SERVICE_HOST, service.port)  # the name of HTTP/web.pellamor.test
            give_alice_her_ticket()
            self.addCleanup(remove, CCACHE)
            self.assertEqual(run_agent(url, "/nopersist", "/verbose", prefix_command=AS_ALICE), (0, []))
            self.assertEqual(entries(service), [(ALICE, HOST, [ADDRESS], True, False)])
            remove(CCACHE)  # as with no domain controller to get a ticket from
            self.assertEqual(run_agent(url, "/logout", "/verbose", prefix_command=AS_ALICE), (0, []))
            self.assertEqual(entries(service), [])
            requests = [(r["params"]["action"], r["authorization"], r["status"], r.get("user"))
                        for r in service.agent_requests()]
        # The ticket answers the offer at once; without it Negotiate carries NTLM's two steps.
        unanswered = [("none", 401, None)] * 2
        self.assertEqual(requests, [("login", *r) for r in [*unanswered, ("Kerberos", 200, "alice")]] +
                         [("logout", *r) for r in [*unanswered, ("NTLM-negotiate", 401, None),
                                                   ("NTLM-authenticate", 200, "alice")]])


def setUpModule():
    global DOMAIN, AS_ALICE, UID_GID
    DOMAIN = directory.shared()
    setUpModule.entered = DOMAIN.entered()
    setUpModule.entered.__enter__()
    # Wine answers the host's name with the addresses of its interfaces: the pair's one address.
    subprocess.run(DOMAIN.inside(["ip", "link", "del", "pdl0"]), stderr=subprocess.DEVNULL)  # a reused domain's
    for command in (["add", "pdl0", "type", "veth", "peer", "name", "pdl1"], ["set", "pdl0", "up"],
                    ["set", "pdl1", "up"]):
        subprocess.run(DOMAIN.inside(["ip", "link", *command]), check=True)
    subprocess.run(DOMAIN.inside(["ip", "addr", "add", ADDRESS + "/24", "dev", "pdl0"]), check=True)
    fields = wbinfo("-i", ALICE, as_alice=False).stdout.split(":")
    UID_GID = (int(fields[2]), int(fields[3]))
    cache_alices_password()
    prefix = alice_prefix()
    AS_ALICE = alice_command(prefix)
    subprocess.run([*AS_ALICE, WINE, "--server", "-p"], check=True)


def tearDownModule():
    if AS_ALICE:
        subprocess.run([*AS_ALICE, WINE, "--server", "-k"])
        forget_alices_password()
    setUpModule.entered.__exit__(None, None, None)
    directory.release()
