#!/usr/bin/python3
"""Reading files with real clients (smbclient, impacket) from `vlsmb2s serve`.

usage: test_files_smbclient.py PATH_TO_vlsmb2s [unittest args]
"""
import hashlib
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from serverproc import Server, digest, smbclient, tree_state  # noqa: E402

from impacket import smb3structs as s3  # noqa: E402
from impacket.smbconnection import SMBConnection  # noqa: E402

PROG = None
SIZES = [0, 1, 65535, 65536, 65537, 1 << 20, 10 << 20]
LABEL = "M\u00fasica"


class Files(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.root = os.path.join(cls.tmp.name, "files")
        os.makedirs(os.path.join(cls.root, "folder"))
        cls.data = {}
        for n in SIZES:
            name = "f%d.bin" % n
            cls.data[name] = os.urandom(n)
            with open(os.path.join(cls.root, name), "wb") as f:
                f.write(cls.data[name])
        with open(os.path.join(cls.root, "folder", "inner.txt"), "wb") as f:
            f.write(b"inner\n")
        cls.single = os.path.join(cls.tmp.name, "single.bin")
        with open(cls.single, "wb") as f:
            f.write(cls.data["f65537.bin"])
        cls.label_dir = os.path.join(cls.tmp.name, "label")
        os.mkdir(cls.label_dir)
        cls.out = os.path.join(cls.tmp.name, "out")
        os.mkdir(cls.out)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def server(self, *extra):
        return Server(PROG, "--share", "files=" + self.root, "--share", "one=" + self.single,
                      "--share", LABEL + "=" + self.label_dir, "--user", "alice:Secret-1", *extra)

    def get_all(self, port, **kw):
        shutil.rmtree(self.out)
        os.mkdir(self.out)
        cmds = "; ".join("get %s %s" % (n, os.path.join(self.out, n)) for n in self.data)
        rc, text = smbclient(port, "files", cmds, **kw)
        self.assertEqual(0, rc, text)
        for n, want in self.data.items():
            with open(os.path.join(self.out, n), "rb") as f:
                self.assertEqual(digest(want), digest(f.read()), "%s: %s" % (n, text))

    def test_get_every_size_both_dialects_guest_and_account(self):
        with self.server("--opt", "guest=on") as srv:
            for proto in ("SMB2_02", "SMB2_10"):
                for user in ("guest%", "alice%Secret-1"):
                    with self.subTest(proto=proto, user=user):
                        self.get_all(srv.port, user=user, proto=proto)

    def test_get_with_signing_required_by_either_side(self):
        with self.server() as srv:
            for proto in ("SMB2_02", "SMB2_10"):
                with self.subTest(side="client", proto=proto):
                    self.get_all(srv.port, user="alice%Secret-1", proto=proto,
                                 extra=["--option=client signing=required"])
        with self.server("--opt", "signing=required") as srv:
            for proto in ("SMB2_02", "SMB2_10"):
                with self.subTest(side="server", proto=proto):
                    self.get_all(srv.port, user="alice%Secret-1", proto=proto)

    def test_single_file_share_and_volume_labels(self):
        with self.server("--opt", "guest=on") as srv:
            dst = os.path.join(self.out, "single")
            rc, text = smbclient(srv.port, "one", "get \\ " + dst)
            self.assertEqual(0, rc, text)
            with open(dst, "rb") as f:
                self.assertEqual(digest(self.data["f65537.bin"]), digest(f.read()))
            rc, text = smbclient(srv.port, "one", "get f65537.bin " + dst + "2")
            self.assertIn("NT_STATUS_OBJECT_PATH_NOT_FOUND", text)

            rc, text = smbclient(srv.port, "files", "volume")
            self.assertIn("Volume: |files| serial number", text)
            rc, text = smbclient(srv.port, LABEL, "volume")
            self.assertIn("Volume: |%s| serial number" % LABEL, text)

    def test_allinfo_on_a_file_and_a_folder(self):
        # allinfo first asks for the alternate (8.3) name, which is not kept;
        # NOT_SUPPORTED lets it go on to the times and attributes.
        with self.server("--opt", "guest=on") as srv:
            for name, attrs in (("f1.bin", "attributes: RA (21)"), ("folder", "attributes: RD (11)")):
                rc, text = smbclient(srv.port, "files", "allinfo " + name)
                self.assertIn("write_time:", text)
                self.assertIn(attrs, text)

    def test_writing_is_refused_and_the_folder_stays_unchanged(self):
        before = tree_state(self.root)
        local = os.path.join(self.out, "up.txt")
        with open(local, "w") as f:
            f.write("upload\n")
        with self.server("--opt", "guest=on") as srv:
            for user in ("guest%", "alice%Secret-1"):
                for cmd, what in (("put %s new.txt" % local, "opening remote file"),
                                  ("put %s f1.bin" % local, "opening remote file"),
                                  ("mkdir nd", "making remote directory"),
                                  ("rm f1.bin", "deleting remote file"),
                                  ("rename f1.bin moved.bin", "renaming files"),
                                  ("rmdir folder", "removing remote directory")):
                    with self.subTest(user=user, cmd=cmd):
                        rc, text = smbclient(srv.port, "files", cmd, user=user)
                        self.assertIn("NT_STATUS_ACCESS_DENIED " + what, text)
        self.assertEqual(before, tree_state(self.root))

    def test_impacket_get_file_and_query_info(self):
        with self.server("--opt", "guest=on") as srv:
            for dialect in (s3.SMB2_DIALECT_002, s3.SMB2_DIALECT_21):
                c = SMBConnection("VLSMB2S", "127.0.0.1", sess_port=srv.port, preferredDialect=dialect,
                                  timeout=30)
                c.login("alice", "Secret-1")
                tid = c.connectTree("files")
                for name, want in self.data.items():
                    with self.subTest(dialect=hex(dialect), name=name):
                        got = bytearray()
                        c.getFile("files", name, got.extend)
                        self.assertEqual(digest(want), digest(bytes(got)))
                        fid = c.openFile(tid, name, desiredAccess=s3.FILE_READ_DATA)
                        info = c.queryInfo(tid, fid)
                        self.assertEqual(len(want), info["EndOfFile"])
                        self.assertEqual((len(want) + 65535) // 65536 * 65536, info["AllocationSize"])
                        self.assertEqual(1, info["NumberOfLinks"])
                        self.assertEqual(0, info["Directory"])
                        c.closeFile(tid, fid)
                fid = c.openFile(tid, "folder", desiredAccess=s3.FILE_READ_ATTRIBUTES,
                                 creationOption=s3.FILE_DIRECTORY_FILE)
                info = c.queryInfo(tid, fid)
                self.assertEqual((0, 1), (info["NumberOfLinks"], info["Directory"]))
                c.closeFile(tid, fid)
                c.logoff()
                c.close()

    def test_impacket_reads_a_large_file_over_2_0_2(self):
        # 80 MiB in 64 KiB reads: a READ that claimed DataRemaining made
        # impacket read on recursively and fail past its recursion limit.
        big = os.path.join(self.root, "large.bin")
        with open(big, "wb") as f:
            f.truncate(80 << 20)
            f.seek(123456789 % (80 << 20))
            f.write(b"marker")
        try:
            with self.server("--opt", "guest=on") as srv:
                c = SMBConnection("VLSMB2S", "127.0.0.1", sess_port=srv.port,
                                  preferredDialect=s3.SMB2_DIALECT_002, timeout=60)
                c.login("alice", "Secret-1")
                h = hashlib.sha256()
                size = [0]

                def sink(chunk):
                    h.update(chunk)
                    size[0] += len(chunk)
                c.getFile("files", "large.bin", sink)
                c.close()
            with open(big, "rb") as f:
                self.assertEqual(hashlib.sha256(f.read()).hexdigest(), h.hexdigest())
            self.assertEqual(80 << 20, size[0])
        finally:
            os.unlink(big)


if __name__ == "__main__":
    PROG = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
