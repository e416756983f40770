"""Guests whose client insists on signing: smbclient -N / -U guest% with
client signing required, and rpcclient, which requires signing on IPC$ by
default. Each verifies the signed SESSION_SETUP reply with the key it derived,
so the server must sign with the same key."""
import subprocess
import sys
import unittest

from serverproc import Server

PROG = sys.argv.pop(1)


def run(cmd):
    p = subprocess.run(cmd, capture_output=True, text=True, timeout=60)
    return p.returncode, p.stdout + p.stderr


class SignedGuest(unittest.TestCase):
    def test_smbclient_guests_with_client_signing_required(self):
        with Server(PROG) as srv:
            for who in (["-N"], ["-U", "guest%"]):
                rc, text = run(["smbclient", "//127.0.0.1/pub", "-p", str(srv.port), "-m", "SMB2_10",
                                "--option=client signing=required"] + who + ["-c", "get hello.txt /dev/null"])
                self.assertEqual(rc, 0, text)
                self.assertIn("getting file \\hello.txt", text)

    def test_account_logon_while_guests_are_on_with_client_signing_required(self):
        # With guests on every logon is a guest logon, but the client signs
        # with the key of its account's proof.
        with Server(PROG, "--user", "alice:Secret-1", "--opt", "guest=on") as srv:
            rc, text = run(["smbclient", "//127.0.0.1/pub", "-p", str(srv.port), "-m", "SMB2_10",
                            "--option=client signing=required", "-U", "alice%Secret-1",
                            "-c", "get hello.txt /dev/null"])
            self.assertEqual(rc, 0, text)
            self.assertIn("getting file \\hello.txt", text)

    def test_rpcclient_share_enum_with_default_ipc_signing(self):
        with Server(PROG) as srv:
            for who in (["-N"], ["-U", "guest%"]):
                rc, text = run(["rpcclient", "-p", str(srv.port)] + who + ["127.0.0.1", "-c", "netshareenumall 1"])
                self.assertEqual(rc, 0, text)
                self.assertIn("netname: pub", text)


if __name__ == "__main__":
    unittest.main()
