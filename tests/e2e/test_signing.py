"""A signed agent: signed by scripts/sign with a certificate of an authority made here, checked, and still working."""
import os
import shutil
import subprocess
import tempfile

from harness import ARCH, TOP, AgentTestCase, Service, run_agent


class SigningTest(AgentTestCase):
    def test_the_signature_holds_for_its_authority_only_and_the_signed_agent_still_logs_in(self):
        work = tempfile.mkdtemp(prefix="pellamor-sign-")
        self.addCleanup(shutil.rmtree, work, True)
        path = lambda name: os.path.join(work, name)  # noqa: E731
        signer = ("-CA", path("root.pem"), "-CAkey", path("root.key"), "-addext", "extendedKeyUsage=codeSigning",
                  "-addext", "basicConstraints=CA:FALSE")
        for name, issued_by in (("root", ()), ("stranger", ()), ("signer", signer)):  # two authorities, a signer
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                            "/O=Example School/CN=" + name, "-keyout", path(name + ".key"), "-out", path(name + ".pem"),
                            *issued_by], check=True, capture_output=True, timeout=120)
        subprocess.run([os.path.join(TOP, "scripts", "sign"), "--cert", path("signer.pem"), "--key", path("signer.key"),
                        "--out", work, ARCH], check=True, capture_output=True, timeout=120)
        signed = os.path.join(work, ARCH, "Pellamor.exe")
        verify = [subprocess.run(["osslsigncode", "verify", "-CAfile", path(authority), "-in", signed],
                                 capture_output=True, text=True, timeout=120) for authority in ("root.pem", "stranger.pem")]
        self.assertEqual([result.returncode == 0 for result in verify], [True, False], verify[0].stdout)
        with Service() as service:
            self.assertEqual(run_agent(service.url, "/nopersist", program=signed).exit_code, 0)
            self.assertEqual(service.sent("status"), [401, 200])
