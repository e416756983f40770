#!/usr/bin/python3
"""nmap's SMB scripts against `vlsmb2s serve`.

usage: test_nmap.py PATH_TO_vlsmb2s [unittest args]
"""
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from serverproc import Server  # noqa: E402

PROG = None
SCRIPTS = "smb-protocols,smb2-capabilities,smb2-security-mode"


def nmap(port):
    p = subprocess.run(["nmap", "-Pn", "-n", "-p", str(port), "--script", SCRIPTS,
                        "--script-args", "smbport=%d" % port, "127.0.0.1"],
                       capture_output=True, timeout=300)
    return p.stdout.decode()


def block(out, script):
    """The lines of one host script's result, without the '|' marks."""
    lines = out.splitlines()
    for i, line in enumerate(lines):
        if line.startswith("| " + script + ":"):
            body = []
            for more in lines[i + 1:]:
                body.append(more[2:].strip())
                if more.startswith("|_"):
                    break
            return body
    return []


def dialects(out):
    body = block(out, "smb-protocols")
    names = body[body.index("dialects:") + 1:] if "dialects:" in body else []
    # nmap words them "202", "2:0:2" or "2.0.2" depending on its version.
    return sorted(n.replace(".", "").replace(":", "") for n in names)


class Nmap(unittest.TestCase):
    def test_dialects_capabilities_and_signing_mode(self):
        for signing, modes in (("enabled", ["Message signing enabled but not required"]),
                               ("required", ["Message signing enabled and required"])):
            with self.subTest(signing=signing):
                with Server(PROG, "--opt", "signing=" + signing) as srv:
                    out = nmap(srv.port)
                self.assertIn("smb-protocols", out)
                self.assertIn(dialects(out), (["202", "21"], ["202", "210"]), out)
                caps = block(out, "smb2-capabilities")
                self.assertTrue(any(c.startswith("202") for c in caps), caps)
                self.assertTrue(any(c.startswith("21") for c in caps), caps)
                mode = block(out, "smb2-security-mode")
                self.assertEqual(2, len(mode), mode)
                self.assertIn(mode[1], modes)


if __name__ == "__main__":
    PROG = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
