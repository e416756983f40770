#!/usr/bin/python3
"""The Go SMB2 library (as Debian ships it) against `vlsmb2s serve`: a guest
and an account log on, list the shares, walk a tree and read every file
whole and in ranges, past the end included (tests/e2e/gosmb2).

usage: test_gosmb2.py PATH_TO_vlsmb2s BUILD_DIR [unittest args]
"""
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from serverproc import Server  # noqa: E402

PROG = None
BUILD = None
HERE = os.path.dirname(os.path.abspath(__file__))


def build_client():
    """Builds the Go program offline against the packaged library; its path."""
    out = os.path.join(BUILD, "gosmb2", "gosmb2")
    env = dict(os.environ, GO111MODULE="off", GOPATH="/usr/share/gocode", GOFLAGS="",
               GOCACHE=os.path.join(BUILD, "gosmb2", "cache"))
    subprocess.run(["go", "build", "-o", out, "main.go"], cwd=os.path.join(HERE, "gosmb2"), env=env,
                   check=True, timeout=300)
    return out


def pattern(n):
    return bytes((i * 7 + i // 251) & 0xFF for i in range(n))


def fill(root):
    """Sizes around the read and block limits, nested and non-ASCII names."""
    files = {
        "empty": b"",
        "one": b"1",
        "block.bin": pattern(65536),
        "seventy.bin": pattern(70000),
        "big.bin": pattern((1 << 20) + 1),
        "Sub dir/n\u00e9e.txt": "caf\u00e9\n".encode(),
        "Sub dir/deeper/last.bin": pattern(131073),
    }
    for name, data in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    os.makedirs(os.path.join(root, "empty dir"))


class GoLibrary(unittest.TestCase):
    def test_guest_and_account_read_everything(self):
        client = build_client()
        with tempfile.TemporaryDirectory() as docs:
            with Server(PROG, "--share", "docs=" + docs, "--user", "alice:secret", "--opt", "guest=on") as srv:
                fill(srv.share_dir)
                for user, password in (("guest", ""), ("alice", "secret")):
                    with self.subTest(user=user):
                        p = subprocess.run(
                            [client, "-addr", "127.0.0.1:%d" % srv.port, "-user", user, "-pass", password,
                             "-share", "pub", "-root", srv.share_dir, "-shares", "IPC$,docs,pub"],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
                        out = p.stdout.decode("utf-8", "replace")
                        self.assertEqual(0, p.returncode, out)
                        self.assertIn("ok: 3 shares, 11 entries, 8 files", out)


if __name__ == "__main__":
    PROG = os.path.abspath(sys.argv.pop(1))
    BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
