#!/usr/bin/python3
"""Nothing outside a share is ever served: names with "..", links leading
out, a sibling folder sharing the share's name prefix, and a folder swapped
for a link between open and read. The server runs in this process through
the shared library so its counters can be read.

usage: test_files_containment.py PATH_TO_libvlsmb2s.so [unittest args]
"""
import ctypes
import json
import os
import subprocess
import sys
import tempfile
import unittest

from impacket import smb3structs as s3
from impacket.smbconnection import SMBConnection, SessionError

LIB = None
SECRET = b"OUTSIDE SECRET\n"
ACCESS_DENIED = 0xC0000022
NAME_INVALID = 0xC0000033
PATH_NOT_FOUND = 0xC000003A


class Containment(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lib = ctypes.CDLL(LIB)
        cls.lib.vlsmb2s_stats_json.restype = ctypes.c_char_p
        cls.lib.vlsmb2s_last_error.restype = ctypes.c_char_p
        cls.lib.vlsmb2s_start.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p]
        cls.lib.vlsmb2s_add_share.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        cls.lib.vlsmb2s_set_option.argtypes = [ctypes.c_char_p, ctypes.c_char_p]

        cls.tmp = tempfile.TemporaryDirectory()
        t = os.path.realpath(cls.tmp.name)
        cls.share = os.path.join(t, "media")
        for d in ("media/sub", "media/swap", "outside", "media2"):
            os.makedirs(os.path.join(t, d))
        files = {"media/ok.txt": b"ok\n", "media/sub/inner.txt": b"inner\n", "media/swap/f.txt": b"inside\n",
                 "outside/secret.txt": SECRET, "outside/f.txt": SECRET, "media2/sibling.txt": SECRET}
        for rel, data in files.items():
            with open(os.path.join(t, rel), "wb") as f:
                f.write(data)
        os.symlink(os.path.join(t, "outside"), os.path.join(cls.share, "link_out"))
        os.symlink(os.path.join(t, "outside", "secret.txt"), os.path.join(cls.share, "link_file_out"))
        os.symlink(os.path.join(t, "media2"), os.path.join(cls.share, "link_sib"))
        os.symlink("sub", os.path.join(cls.share, "link_in"))
        cls.root = t

        assert cls.lib.vlsmb2s_set_option(b"guest", b"on") == 0
        assert cls.lib.vlsmb2s_add_share(b"media", cls.share.encode()) == 0
        rc = cls.lib.vlsmb2s_start(None, 0, None)
        assert rc == 0, cls.lib.vlsmb2s_last_error()
        cls.port = cls.lib.vlsmb2s_port()

    @classmethod
    def tearDownClass(cls):
        cls.lib.vlsmb2s_stop()
        cls.tmp.cleanup()

    def refused(self):
        return json.loads(self.lib.vlsmb2s_stats_json().decode())["path_refused"]

    def connect(self):
        c = SMBConnection("VLSMB2S", "127.0.0.1", sess_port=self.port, preferredDialect=s3.SMB2_DIALECT_21,
                          timeout=30)
        c.login("guest", "")
        self.addCleanup(c.close)
        return c, c.connectTree("media")

    def read_all(self, c, tid, name):
        fid = c.openFile(tid, name, desiredAccess=s3.FILE_READ_DATA)
        try:
            return c.readFile(tid, fid, 0, 65536)
        finally:
            c.closeFile(tid, fid)

    def test_escapes_are_refused_and_counted(self):
        c, tid = self.connect()
        cases = [
            ("..\\outside\\secret.txt", NAME_INVALID),
            ("sub\\..\\..\\outside\\secret.txt", NAME_INVALID),
            ("link_out\\secret.txt", PATH_NOT_FOUND),
            ("link_out", PATH_NOT_FOUND),
            ("link_file_out", PATH_NOT_FOUND),
            ("link_sib\\sibling.txt", PATH_NOT_FOUND),  # media2 merely starts like media
        ]
        for name, status in cases:
            with self.subTest(name=name):
                before = self.refused()
                with self.assertRaises(SessionError) as e:
                    self.read_all(c, tid, name)
                self.assertEqual(status, e.exception.getErrorCode())
                self.assertEqual(before + 1, self.refused())

    def test_links_inside_the_share_are_followed(self):
        c, tid = self.connect()
        before = self.refused()
        self.assertEqual(b"inner\n", self.read_all(c, tid, "link_in\\inner.txt"))
        self.assertEqual(b"ok\n", self.read_all(c, tid, "ok.txt"))
        self.assertEqual(before, self.refused())

    def test_folder_swapped_for_a_link_after_open(self):
        c, tid = self.connect()
        fid = c.openFile(tid, "swap\\f.txt", desiredAccess=s3.FILE_READ_DATA)
        self.assertEqual(b"inside\n", c.readFile(tid, fid, 0, 100))
        swap = os.path.join(self.share, "swap")
        os.rename(swap, swap + ".old")
        os.symlink(os.path.join(self.root, "outside"), swap)
        try:
            before = self.refused()
            with self.assertRaises(SessionError) as e:
                c.readFile(tid, fid, 0, 100)
            self.assertEqual(ACCESS_DENIED, e.exception.getErrorCode())
            self.assertEqual(before + 1, self.refused())
        finally:
            os.unlink(swap)
            os.rename(swap + ".old", swap)
        self.assertEqual(b"inside\n", c.readFile(tid, fid, 0, 100))
        c.closeFile(tid, fid)

    def test_smbclient_gets_nothing_outside(self):
        out = os.path.join(self.root, "got")
        for name in ("link_out/secret.txt", "link_file_out", "link_sib/sibling.txt", "../outside/secret.txt"):
            with self.subTest(name=name):
                p = subprocess.run(["smbclient", "//127.0.0.1/media", "-p", str(self.port), "-U", "guest%",
                                    "-m", "SMB2_10", "-c", "get %s %s" % (name, out)],
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
                text = p.stdout.decode("utf-8", "replace")
                self.assertIn("NT_STATUS_OBJECT_PATH_NOT_FOUND", text)
                if os.path.exists(out):
                    with open(out, "rb") as f:
                        self.assertNotIn(SECRET, f.read())
                    os.unlink(out)


if __name__ == "__main__":
    LIB = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
