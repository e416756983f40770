#!/usr/bin/python3
"""Share enumeration and folder listings with real clients (smbclient,
impacket, libsmbclient, rpcclient, tshark) against `vlsmb2s serve`.

usage: test_listing.py PATH_TO_vlsmb2s [unittest args]
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from serverproc import Server, digest, smbclient, tree_state  # noqa: E402

import smbc  # noqa: E402
from impacket import smb3structs as s3  # noqa: E402
from impacket.smbconnection import SMBConnection  # noqa: E402

PROG = None
USER, PASSWORD = "alice", "Secret-1"
FOLDERS = {"zero": 0, "one": 1, "thousand": 1000, "many": 100000}
# Names a client must carry through unchanged: spaces, letters beyond
# ASCII, emoji (outside the basic plane), case.
TREE = {
    "read me.txt": 0,
    "UPPER.TXT": 1,
    "lower.txt": 65536,
    "M\u00fasica/canci\u00f3n \u00f1.mp3": 70000,
    "M\u00fasica/\u00c5ngstr\u00f6m/\u65e5\u672c\u8a9e.txt": 300,
    "\U0001f3b5 emoji \U0001f3b6.bin": 65537,
    "deep/a/b/c/leaf.txt": 12,
    "deep/a/side file.dat": 4097,
}


def ls_names(text):
    """Names from smbclient's `ls` lines ("  NAME   ATTRS  SIZE  DATE")."""
    names = []
    for line in text.splitlines():
        m = re.match(r"^  (.+?)\s+([ADHSRNA]+)\s+(\d+)\s+\w{3} \w{3} +\d+ [\d:]+ \d{4}$", line)
        if m:
            names.append(m.group(1))
    return names


class Listing(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        base = cls.tmp.name
        cls.tree = os.path.join(base, "tree")
        for rel, size in TREE.items():
            p = os.path.join(cls.tree, rel)
            os.makedirs(os.path.dirname(p), exist_ok=True)
            with open(p, "wb") as f:
                f.write(os.urandom(size))
        os.makedirs(os.path.join(cls.tree, "empty folder"))
        cls.big = os.path.join(base, "big")
        for name, count in FOLDERS.items():
            d = os.path.join(cls.big, name)
            os.makedirs(d)
            for i in range(count):
                os.close(os.open(os.path.join(d, "f%06d" % i), os.O_CREAT | os.O_WRONLY, 0o644))
        cls.docs = os.path.join(base, "docs")
        os.mkdir(cls.docs)
        cls.out = os.path.join(base, "out")
        cls.srv = Server(PROG, "--share", "tree=" + cls.tree, "--share", "big=" + cls.big,
                         "--share", "docs=" + cls.docs, "--user", "%s:%s" % (USER, PASSWORD),
                         "--opt", "guest=on").__enter__()
        cls.port = cls.srv.port

    @classmethod
    def tearDownClass(cls):
        cls.srv.__exit__(None, None, None)
        cls.tmp.cleanup()

    def fresh_out(self):
        shutil.rmtree(self.out, ignore_errors=True)
        os.mkdir(self.out)
        return self.out

    def expected_shares(self):
        return [("IPC$", "IPC", "IPC share"), ("big", "Disk", "read-only share"),
                ("docs", "Disk", "read-only share"), ("pub", "Disk", "read-only share"),
                ("tree", "Disk", "read-only share")]

    def test_smbclient_lists_every_share_with_its_remark(self):
        for proto in ("SMB2_02", "SMB2_10"):
            with self.subTest(proto=proto):
                cmd = ["smbclient", "-L", "//127.0.0.1", "-p", str(self.port), "-U", "guest%", "-m", proto,
                       "--option=client min protocol=SMB2_02"]
                p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
                text = p.stdout.decode()
                got = re.findall(r"^\t(\S+)\s+(Disk|IPC)\s+(.*?)\s*$", text, re.M)
                self.assertEqual(self.expected_shares(), got, text)

    def test_smbclient_ls_shows_every_entry_once(self):
        for name, count in FOLDERS.items():
            with self.subTest(folder=name):
                rc, text = smbclient(self.port, "big", "cd %s; ls" % name)
                self.assertEqual(0, rc, text[-2000:])
                names = ls_names(text)
                self.assertEqual([".", ".."] + ["f%06d" % i for i in range(count)], names, text[-2000:])

    def test_smbclient_recursive_mget_reproduces_the_tree(self):
        for proto in ("SMB2_02", "SMB2_10"):
            with self.subTest(proto=proto):
                out = self.fresh_out()
                rc, text = smbclient(self.port, "tree", "recurse ON; prompt OFF; lcd %s; mget *" % out,
                                     user="%s%%%s" % (USER, PASSWORD), proto=proto)
                self.assertEqual(0, rc, text)
                want = tree_state(self.tree)
                # mget makes the folders it descends into, empty ones included.
                self.assertEqual(want, tree_state(out), text)

    def test_impacket_shares_patterns_and_a_download_walk(self):
        for dialect in (s3.SMB2_DIALECT_002, s3.SMB2_DIALECT_21):
            c = SMBConnection("*SMBSERVER", "127.0.0.1", sess_port=self.port, preferredDialect=dialect, timeout=60)
            c.login(USER, PASSWORD)
            try:
                with self.subTest(dialect=hex(dialect), what="shares"):
                    got = [(s["shi1_netname"][:-1], s["shi1_type"], s["shi1_remark"][:-1]) for s in c.listShares()]
                    self.assertEqual([(n, 3 if t == "IPC" else 0, r) for n, t, r in self.expected_shares()], got)
                patterns = {
                    "*": [".", "..", "M\u00fasica", "UPPER.TXT", "deep", "empty folder", "lower.txt", "read me.txt",
                          "\U0001f3b5 emoji \U0001f3b6.bin"],
                    "*.txt": ["UPPER.TXT", "lower.txt", "read me.txt"],
                    "upper.txt": ["UPPER.TXT"],
                    "?ower.*": ["lower.txt"],
                    "M\u00fasica\\*": [".", "..", "canci\u00f3n \u00f1.mp3", "\u00c5ngstr\u00f6m"],
                    "deep\\a\\*": [".", "..", "b", "side file.dat"],
                    "nothing*": [],
                }
                for pattern, want in patterns.items():
                    with self.subTest(dialect=hex(dialect), pattern=pattern):
                        got = [f.get_longname() for f in c.listPath("tree", pattern)]
                        self.assertEqual(want, got)
                with self.subTest(dialect=hex(dialect), what="walk"):
                    out = self.fresh_out()
                    # This impacket counts a name's length in code points, so
                    # it cannot open names beyond the basic plane.
                    want = {k: v for k, v in tree_state(self.tree).items() if max(k) < "\U00010000"}

                    def walk(rel):
                        for f in c.listPath("tree", (rel + "\\*") if rel else "*"):
                            name = f.get_longname()
                            if name in (".", "..") or max(name) >= "\U00010000":
                                continue
                            r = rel + "\\" + name if rel else name
                            local = os.path.join(out, *r.split("\\"))
                            if f.is_directory():
                                os.mkdir(local)
                                walk(r)
                            else:
                                with open(local, "wb") as fh:
                                    c.getFile("tree", r, fh.write)
                                self.assertEqual(os.path.getsize(local), f.get_filesize())
                    walk("")
                    self.assertEqual(want, tree_state(out))
            finally:
                c.close()

    def test_libsmbclient_walk_and_reads(self):
        ctx = smbc.Context()
        ctx.optionNoAutoAnonymousLogin = True
        ctx.functionAuthData = lambda *a: ("WORKGROUP", USER, PASSWORD)
        url = "smb://127.0.0.1:%d/tree" % self.port
        got = {}

        def walk(rel):
            for e in ctx.opendir(url + "/" + rel).getdents():
                if e.name in (".", ".."):
                    continue
                r = rel + "/" + e.name if rel else e.name
                if e.smbc_type == smbc.DIR:
                    got[r] = "dir"
                    walk(r)
                elif e.smbc_type == smbc.FILE:
                    f = ctx.open(url + "/" + r)
                    data = b""
                    while True:
                        chunk = f.read(65536)
                        if not chunk:
                            break
                        data += chunk
                    f.close()
                    got[r] = (len(data), digest(data))
                else:
                    got[r] = "type %d" % e.smbc_type
        walk("")
        self.assertEqual(tree_state(self.tree), got)

    def test_many_shares_are_all_listed(self):
        # The share list then outgrows the clients' 4,280-byte transceive
        # output; they read the rest from the pipe.
        names = ["share_with_a_longer_name_%03d" % i for i in range(120)]
        args = []
        for n in names:
            args += ["--share", n + "=" + self.docs]
        with Server(PROG, "--opt", "guest=on", *args) as srv:
            cmd = ["smbclient", "-L", "//127.0.0.1", "-p", str(srv.port), "-U", "guest%",
                   "--option=client min protocol=SMB2_02"]
            p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
            text = p.stdout.decode()
            self.assertEqual(["IPC$", "pub"] + names, re.findall(r"^\t(\S+)\s+(?:Disk|IPC)", text, re.M), text)
            c = SMBConnection("*SMBSERVER", "127.0.0.1", sess_port=srv.port, timeout=60)
            c.login("", "")
            self.assertEqual(122, len(c.listShares()))
            c.close()

    def test_rpcclient_levels(self):
        # rpcclient asks for signing on IPC$ by default; a guest has no key.
        base = ["rpcclient", "-p", str(self.port), "-U", "guest%", "--option=client min protocol=SMB2_02",
                "--option=client max protocol=SMB2_10", "--option=client ipc signing=auto", "127.0.0.1", "-c"]
        p = subprocess.run(base + ["netshareenumall 1"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           timeout=60)
        text = p.stdout.decode()
        self.assertEqual(0, p.returncode, text)
        self.assertEqual([s[0] for s in self.expected_shares()], re.findall(r"^netname: (\S+)$", text, re.M))
        self.assertEqual([s[2] for s in self.expected_shares()], re.findall(r"^\tremark:\t(.*)$", text, re.M))
        # Level 2 is refused, and the same session goes on to list at level 1.
        p = subprocess.run(base + ["netshareenumall; netshareenumall 1"], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=60)
        text = p.stdout.decode()
        self.assertEqual(0, p.returncode, text)
        self.assertIn("WERR_INVALID_LEVEL", text)
        self.assertEqual(5, len(re.findall(r"^netname: ", text, re.M)), text)

    def test_tshark_decodes_a_whole_session_cleanly(self):
        cap = os.path.join(self.tmp.name, "session.pcapng")
        ts = subprocess.Popen(["tshark", "-i", "lo", "-f", "tcp port %d" % self.port, "-a", "duration:120",
                               "-w", cap], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            # tshark says "Capturing on" once the filter is in place.
            seen = b""
            os.set_blocking(ts.stderr.fileno(), False)
            deadline = time.time() + 30
            while b"Capturing on" not in seen and time.time() < deadline and ts.poll() is None:
                seen += ts.stderr.read() or b""
                time.sleep(0.05)
            self.assertIn(b"Capturing on", seen)
            out = self.fresh_out()
            subprocess.run(["smbclient", "-L", "//127.0.0.1", "-p", str(self.port), "-U", "guest%",
                            "--option=client min protocol=SMB2_02"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60)
            rc, text = smbclient(self.port, "tree", "ls; cd deep\\a; ls nothing*; ls; cd \\; allinfo lower.txt; "
                                 "recurse ON; prompt OFF; lcd %s; mget *" % out,
                                 user="%s%%%s" % (USER, PASSWORD))
            self.assertEqual(0, rc, text)
            time.sleep(1)
        finally:
            ts.send_signal(signal.SIGINT)
            try:
                ts.wait(timeout=30)
            except subprocess.TimeoutExpired:
                ts.kill()
                ts.wait()
            ts.stderr.close()
        p = subprocess.run(["tshark", "-r", cap, "-d", "tcp.port==%d,nbss" % self.port],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        text = p.stdout.decode("utf-8", "replace")
        for what in ("Find Response", "NetShareEnumAll response", "Bind_ack", "Read Response"):
            self.assertIn(what, text)
        bad = [line for line in text.splitlines() if "Malformed" in line]
        self.assertEqual([], bad)


if __name__ == "__main__":
    PROG = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
