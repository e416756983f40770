"""Encrypted SMB 3 sessions with real clients: smbclient with each cipher and
dialect, impacket at 3.0, libsmbclient at SMB3, and a client that encrypts
because encryption=required tells it to. The server's trace shows that the
replies really went out sealed."""
import os
import subprocess
import sys
import tempfile
import unittest

from serverproc import Server, digest
from test_smb3 import Capture

PROG = sys.argv.pop(1)
USER = ["--user", "alice:Secret-1"]
SMB3 = ["--opt", "max_protocol=3.1.1"]


def smbclient(port, args, commands=None, timeout=120):
    cmd = ["smbclient", "-p", str(port), "--option=client min protocol=SMB2_02"] + args
    if commands is not None:
        cmd += ["-c", commands]
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
    return p.returncode, p.stdout.decode("utf-8", "replace")


class Traced(Server):
    """The server with its trace on; sealed() counts the replies it sealed."""

    def __enter__(self):
        os.environ["VLSMB2S_TRACE"] = "1"
        try:
            return super().__enter__()
        finally:
            del os.environ["VLSMB2S_TRACE"]

    def sealed(self):
        # pread: the server writes through the same file offset.
        fd = self.log.fileno()
        text = os.pread(fd, os.fstat(fd).st_size, 0)
        return sum(1 for line in text.splitlines() if b" SEND " in line and line.endswith(b" sealed"))


def big_file(share_dir, size=9 * 1024 * 1024 + 12345):
    data = os.urandom(size)
    with open(os.path.join(share_dir, "big.bin"), "wb") as f:
        f.write(data)
    return digest(data)


class Smbclient(unittest.TestCase):
    def check_session(self, srv, want, proto, extra=()):
        """ls, get of the big file (checksum compared), allinfo and -L, all
        encrypted; returns nothing, fails with the client's output."""
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "big.bin")
            args = ["//127.0.0.1/pub", "-U", "alice%Secret-1", "-m", proto, "--client-protection=encrypt", *extra]
            before = srv.sealed()
            rc, text = smbclient(srv.port, args, "ls; get big.bin %s; allinfo hello.txt" % out)
            self.assertEqual(rc, 0, text)
            self.assertIn("hello.txt", text)
            self.assertIn("attributes:", text)
            with open(out, "rb") as f:
                self.assertEqual(digest(f.read()), want)
            self.assertGreater(srv.sealed(), before + 10)
        rc, text = smbclient(srv.port, ["-L", "127.0.0.1", "-U", "alice%Secret-1", "-m", proto,
                                        "--client-protection=encrypt", *extra])
        self.assertEqual(rc, 0, text)
        self.assertIn("pub", text)

    def test_every_cipher_and_dialect(self):
        cases = [
            ("SMB3_11", []),
            ("SMB3_11", ["--option=client smb3 encryption algorithms=AES-256-GCM"]),
            ("SMB3_11", ["--option=client smb3 encryption algorithms=AES-128-CCM"]),
            ("SMB3_11", ["--option=client smb3 encryption algorithms=AES-256-CCM"]),
            ("SMB3_02", []),
            ("SMB3_00", []),
        ]
        with Traced(PROG, *USER, *SMB3, "--opt", "encryption=desired") as srv:
            want = big_file(srv.share_dir)
            for proto, extra in cases:
                with self.subTest(proto=proto, extra=extra):
                    self.check_session(srv, want, proto, extra)

    def test_required_serves_a_client_told_to_encrypt_by_the_logon(self):
        # The refusals under "required" are tested with the dialect range.
        with Traced(PROG, *USER, *SMB3, "--opt", "encryption=required") as srv:
            want = big_file(srv.share_dir)
            with tempfile.TemporaryDirectory() as tmp:
                before = srv.sealed()
                rc, text = smbclient(srv.port, ["//127.0.0.1/pub", "-U", "alice%Secret-1", "-m", "SMB3_11"],
                                     "get big.bin %s/b" % tmp)
                self.assertEqual(rc, 0, text)
                with open(os.path.join(tmp, "b"), "rb") as f:
                    self.assertEqual(digest(f.read()), want)
                self.assertGreater(srv.sealed(), before + 10)


    def test_tshark_opens_every_sealed_message_with_the_password(self):
        # An independent implementation derives the keys from the password,
        # opens what both sides sealed and finds nothing malformed; nothing
        # but NEGOTIATE and SESSION_SETUP travels in the clear.
        with Traced(PROG, *USER, *SMB3, "--opt", "encryption=desired") as srv, \
                tempfile.TemporaryDirectory() as tmp:
            with Capture(srv.port, os.path.join(tmp, "cap.pcapng")) as cap:
                rc, text = smbclient(srv.port, ["//127.0.0.1/pub", "-U", "alice%Secret-1", "-m", "SMB3_11"],
                                     "ls; get hello.txt %s/h" % tmp)
                self.assertEqual(rc, 0, text)
            frames = [f for f in cap.fields("smb2.cmd", "smb2.protocol_id") if f[0]]
            sealed = [f for f in frames if "0xfd534d42" in f[1]]
            self.assertGreater(len(sealed), 6, frames)
            for cmd, ids in frames:
                if cmd not in ("0", "1"):
                    self.assertIn("0xfd534d42", ids, frames)
            self.assertEqual(cap.malformed(), [])


class Impacket(unittest.TestCase):
    def test_dialect_3_0_encrypts_and_reads(self):
        from impacket.smbconnection import SMBConnection
        from impacket.smb3structs import SMB2_DIALECT_30
        # impacket sends an encrypted session key whenever the CHALLENGE
        # offers key exchange, but flags it only when it asked for it: the
        # CHALLENGE must offer it only when asked, or the keys differ and its
        # first sealed request fails. (Its 3.1.1 keys are its own: not tried.)
        for dialect, enc in ((SMB2_DIALECT_30, "desired"),):
            with self.subTest(dialect=hex(dialect)), \
                    Traced(PROG, *USER, *SMB3, "--opt", "encryption=" + enc) as srv:
                want = big_file(srv.share_dir, 3 * 1024 * 1024 + 7)
                c = SMBConnection("127.0.0.1", "127.0.0.1", sess_port=srv.port, preferredDialect=dialect,
                                  timeout=30)
                try:
                    c.login("alice", "Secret-1")
                    self.assertEqual(c.getDialect(), dialect)
                    names = [f.get_longname() for f in c.listPath("pub", "*")]
                    self.assertIn("hello.txt", names)
                    got = bytearray()
                    c.getFile("pub", "big.bin", got.extend)
                    self.assertEqual(digest(bytes(got)), want)
                    c.logoff()
                finally:
                    c.close()
                if enc == "desired":
                    self.assertGreater(srv.sealed(), 5)


class Libsmbclient(unittest.TestCase):
    def test_smb3_minimum_with_encryption(self):
        import smbc
        with Traced(PROG, *USER, *SMB3, "--opt", "encryption=desired") as srv:
            want = big_file(srv.share_dir, 2 * 1024 * 1024 + 3)
            with tempfile.TemporaryDirectory() as home:
                # libsmbclient reads smb.conf from $HOME/.smb first.
                os.mkdir(os.path.join(home, ".smb"))
                with open(os.path.join(home, ".smb", "smb.conf"), "w") as f:
                    f.write("[global]\n client min protocol = SMB3\n client max protocol = SMB3_11\n"
                            " client smb encrypt = required\n")
                env = dict(os.environ, HOME=home)
                script = (
                    "import smbc, sys, hashlib\n"
                    "ctx = smbc.Context(auth_fn=lambda *a: ('', 'alice', 'Secret-1'))\n"
                    "ctx.optionNoAutoAnonymousLogin = True\n"
                    "url = 'smb://127.0.0.1:%d/pub/'\n"
                    "names = [e.name for e in ctx.opendir(url).getdents()]\n"
                    "assert 'hello.txt' in names, names\n"
                    "f = ctx.open(url + 'big.bin')\n"
                    "h = hashlib.sha256()\n"
                    "while True:\n"
                    "    b = f.read(1 << 20)\n"
                    "    if not b: break\n"
                    "    h.update(b)\n"
                    "print(h.hexdigest())\n" % srv.port)
                p = subprocess.run(["/usr/bin/python3", "-c", script], env=env, capture_output=True, text=True,
                                   timeout=120)
                self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
                self.assertEqual(p.stdout.strip(), want)
            self.assertGreater(srv.sealed(), 5)


if __name__ == "__main__":
    unittest.main()
