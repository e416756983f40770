#!/usr/bin/python3
"""Nothing outside a share is ever returned: hostile names sent in raw CREATE
requests, links of every kind, and folders and files swapped for links while
clients read and list in a loop. A secret file planted next to the share must
never appear in any reply, and every request must be answered.

usage: test_traversal.py PATH_TO_vlsmb2s [unittest args]
"""
import os
import socket
import stat
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from serverproc import Server  # noqa: E402
import rawsmb as R  # noqa: E402

PROG = None
SECRET = b"TOP-SECRET-0f6c2a9e"
INSIDE = b"inside\n"
NOT_SERVED = {R.NAME_INVALID, R.NAME_NOT_FOUND, R.PATH_NOT_FOUND, R.INVALID_PARAMETER, R.ACCESS_DENIED,
              0xC00000BA, 0xC0000103}  # FILE_IS_A_DIRECTORY, NOT_A_DIRECTORY


def u16(text):
    return text.encode("utf-16-le", "surrogatepass")


# Names that must never leave the share, as raw UTF-16LE bytes.
HOSTILE = [u16(n) for n in [
    "..", "../secret.txt", "..\\secret.txt", "../", "..\\", "./../secret.txt", ".\\..\\secret.txt",
    "sub/../../secret.txt", "sub\\..\\..\\secret.txt", "sub/..\\../secret.txt", "sub/../..",
    "sub//..//..//secret.txt", "sub/./../../secret.txt", "sub/../sub/../../secret.txt",
    "...", "..../secret.txt", "bar..", "sub/bar../../secret.txt", ". ./secret.txt", ".. /secret.txt",
    " ../secret.txt", "..\t/secret.txt",
    "/secret.txt", "\\secret.txt", "/etc/passwd", "\\etc\\passwd", "//127.0.0.1/pub/../secret.txt",
    "\\\\127.0.0.1\\pub\\..\\secret.txt", "\\\\?\\C:\\secret.txt", "\\??\\C:\\secret.txt",
    "C:\\secret.txt", "C:secret.txt", "c:/etc/passwd", "C:..\\secret.txt",
    "%2e%2e/secret.txt", "..%2fsecret.txt", "..%5csecret.txt",
    "\u2025/secret.txt", "\uff0e\uff0e/secret.txt", "..\u2215secret.txt", "..\uff0fsecret.txt",
    "..\u29f5secret.txt", "hello.txt/../../secret.txt", "hello.txt::$DATA/../../secret.txt",
    "sub/inner.txt/..", "link_in/../../secret.txt", "link_in/../..",
    "a" * 256, ("a/" * 600) + "x", "/".join(["sub"] * 400), "x" * 1100,
]] + [
    u16("..") + b"\0\0" + u16("/secret.txt"),            # embedded zero
    u16("hello.txt") + b"\0\0" + u16("/../../secret.txt"),
    b"\0\0" + u16("../secret.txt"),
    b"\x00\xd8" + u16("/../secret.txt"),                  # lone high surrogate
    u16("..") + b"\x00\xdc" + u16("/secret.txt"),         # lone low surrogate
    u16("sub/") + b"\x3d\xd8\x00\xd8" + u16("/../../secret.txt"),
    u16("../secret.txt") + b"\x2e",                       # odd length
    b"\xff\xfe" + u16("../secret.txt"),
]

# Links: (name, target) made inside the share; "outside" is the share's parent.
OUT_LINKS = ["link_out", "link_secret", "chain1", "chain_outside", "link_root", "link_proc", "dangling",
             "loop1", "link_dev", "link_fifo_out", "link_up_and_out"]
IN_LINKS = {"link_in": None, "chain_in1": INSIDE, "link_back_in": INSIDE}


class Traversal(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = Server(PROG, "--opt", "guest=on", "--opt", "idle_timeout_ms=30000").__enter__()
        sh = cls.share = cls.srv.share_dir
        out = cls.out = os.path.dirname(sh)
        os.makedirs(os.path.join(out, "outside"))
        for p in ("secret.txt", "outside/secret.txt", "outside/f.txt"):
            with open(os.path.join(out, p), "wb") as f:
                f.write(SECRET)
        os.mkfifo(os.path.join(out, "outside/fifo"))
        os.makedirs(os.path.join(sh, "sub"))
        os.makedirs(os.path.join(sh, "swap"))
        os.makedirs(os.path.join(sh, "foo"))
        for p in ("sub/inner.txt", "swap/f.txt", "b..ar", "..hidden", "foo/..bar", "victim.txt"):
            with open(os.path.join(sh, p), "wb") as f:
                f.write(INSIDE)
        os.mkfifo(os.path.join(sh, "fifo_in"))
        s = socket.socket(socket.AF_UNIX)
        s.bind(os.path.join(sh, "sock_in"))
        s.close()
        try:
            os.mknod(os.path.join(sh, "zero_in"), stat.S_IFCHR | 0o644, os.makedev(1, 5))
        except OSError:
            pass  # not permitted here
        links = {
            "link_out": "..", "link_secret": os.path.join(out, "secret.txt"), "chain1": "chain2",
            "chain2": "chain3", "chain3": os.path.join(out, "outside"), "chain_outside": "chain3",
            "link_root": "/", "link_proc": "/proc/self/root" + out, "dangling": "/nonexistent/x",
            "loop1": "loop2", "loop2": "loop1", "link_dev": "/dev/zero",
            "link_fifo_out": os.path.join(out, "outside/fifo"), "link_up_and_out": "sub/../../secret.txt",
            "link_in": "sub", "chain_in1": "chain_in2", "chain_in2": "hello.txt",
            "link_back_in": "../pub/hello.txt",
        }
        for name, target in links.items():
            os.symlink(target, os.path.join(sh, name))

    @classmethod
    def tearDownClass(cls):
        cls.srv.__exit__(None, None, None)

    def conn(self):
        c = R.Conn(self.srv.port, timeout=10)
        self.addCleanup(c.close)
        return c.logon().tree("pub")

    def no_secret(self, *blobs):
        for b in blobs:
            self.assertNotIn(SECRET, b)
            self.assertNotIn(SECRET[:12], b)

    def use(self, c, fid):
        """Reads and lists whatever fid is; every reply is checked."""
        st, data = c.read_all(fid)
        self.no_secret(data)
        st, names, replies = c.list(fid)
        self.no_secret(*replies)
        self.assertNotIn("secret.txt", names)
        return data, names

    def test_hostile_names_are_refused_and_leak_nothing(self):
        c = self.conn()
        for name in HOSTILE:
            with self.subTest(name=name[:80]):
                st, fid, reply = c.create_raw(name)
                self.no_secret(reply)
                self.assertIn(st, NOT_SERVED, "served %r" % name[:80])
        # Offsets and lengths that do not describe the name's bytes.
        for off, n in ((0, 8), (32, 24), (63, 2), (64, 8), (119, 4), (121, 3), (120, 0xFFFF), (0xFFFF, 2),
                       (120, 4097)):
            with self.subTest(off=off, n=n):
                st, fid, reply = c.create_raw(u16("../secret.txt"), name_off=off, name_len=n)
                self.no_secret(reply)
                self.assertNotEqual(R.SUCCESS, st, (off, n))
        self.assertEqual(R.SUCCESS, c.echo())

    def test_names_that_only_look_hostile_are_served_from_inside(self):
        c = self.conn()
        for name in ("b..ar", "..hidden", "foo/..bar", "foo\\..bar", "sub/inner.txt", "link_in/inner.txt", "chain_in1",
                     "link_back_in"):
            with self.subTest(name=name):
                st, fid, _ = c.create(name)
                self.assertEqual(R.SUCCESS, st)
                data, _ = self.use(c, fid)
                self.assertIn(data, (INSIDE, b"hello\n"))
                c.close_file(fid)

    def test_links_out_of_the_share_and_odd_objects_are_refused(self):
        c = self.conn()
        for name in OUT_LINKS + ["link_out/secret.txt", "chain1/f.txt", "link_root/etc/passwd", "fifo_in",
                                 "sock_in", "zero_in", "link_fifo_out", "loop2"]:
            with self.subTest(name=name):
                st, fid, reply = c.create(name)
                self.no_secret(reply)
                self.assertIn(st, NOT_SERVED)
        # Listings leave them out too, and the objects the listing shows are inside.
        st, root, _ = c.create("")
        data, names = self.use(c, root)
        for name in OUT_LINKS + ["fifo_in", "sock_in", "zero_in", "loop2", "chain2", "chain3"]:
            self.assertNotIn(name, names)
        for name in ("link_in", "chain_in1", "link_back_in", "hello.txt", "sub"):
            self.assertIn(name, names)

    def test_a_file_swapped_for_a_link_to_a_fifo_is_never_opened(self):
        """The object behind a name that changed since CREATE is examined
        without being opened: a writer waiting on a FIFO outside the share
        must stay blocked."""
        c = self.conn()
        st, fid, _ = c.create("victim.txt")
        self.assertEqual(R.SUCCESS, st)
        fifo = os.path.join(self.out, "outside", "fifo")
        opened = threading.Event()

        def writer():
            try:
                fd = os.open(fifo, os.O_WRONLY)
                opened.set()
                os.close(fd)
            except OSError:
                pass
        victim = os.path.join(self.share, "victim.txt")
        os.rename(victim, victim + ".away")
        os.symlink(fifo, victim)
        t = threading.Thread(target=writer, daemon=True)
        t.start()
        try:
            time.sleep(0.1)
            st, data, reply = c.read(fid)
            self.assertNotEqual(R.SUCCESS, st)
            time.sleep(0.2)
            self.assertFalse(opened.is_set(), "the server opened a FIFO outside the share")
        finally:
            # Release the writer with a reader of our own.
            rd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
            t.join(5)
            os.close(rd)
            os.unlink(victim)
            os.rename(victim + ".away", victim)

    def test_folders_and_files_swapped_for_links_while_clients_loop(self):
        swap = os.path.join(self.share, "swap")
        outside = os.path.join(self.out, "outside")
        stop = threading.Event()
        errors = []
        outcomes = {}

        def swapper():
            while not stop.is_set():
                try:
                    os.rename(swap, swap + ".real")
                    os.symlink(outside, swap)
                    time.sleep(0.001)
                    os.unlink(swap)
                    os.rename(swap + ".real", swap)
                    f = os.path.join(swap, "f.txt")
                    os.rename(f, f + ".real")
                    os.symlink(os.path.join(outside, "f.txt" if time.time() % 2 < 1 else "fifo"), f)
                    time.sleep(0.001)
                    os.unlink(f)
                    os.rename(f + ".real", f)
                except OSError as e:
                    errors.append(e)
                    return

        def client(seed):
            try:
                with R.Conn(self.srv.port, timeout=10) as c:
                    c.logon().tree("pub")
                    held = 0
                    while not stop.is_set():
                        for name in ("swap/f.txt", "swap", "swap/../swap/f.txt"):
                            st, fid, reply = c.create(name)
                            self.no_secret(reply)
                            outcomes[st] = outcomes.get(st, 0) + 1
                            if st == R.SUCCESS:
                                self.use(c, fid)
                                c.close_file(fid)
                        # A handle taken while the folder was real, used across swaps.
                        if not held:
                            st, held, _ = c.create("swap/f.txt")
                            held = held if st == R.SUCCESS else 0
                        if held:
                            st, data, reply = c.read(held)
                            self.no_secret(reply)
            except Exception as e:  # a timeout here means a blocked thread
                errors.append(e)

        threads = [threading.Thread(target=swapper)] + [threading.Thread(target=client, args=(i,)) for i in range(3)]
        for t in threads:
            t.start()
        time.sleep(3)
        stop.set()
        for t in threads:
            t.join(30)
            self.assertFalse(t.is_alive())
        self.assertEqual([], errors)
        self.assertIn(R.SUCCESS, outcomes)
        if os.environ.get("VL2_VERBOSE"):
            print("swap outcomes: %s" % {hex(k): v for k, v in outcomes.items()}, file=sys.stderr)
        self.assertEqual(R.SUCCESS, self.conn().echo())


if __name__ == "__main__":
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    PROG = sys.argv.pop(1)
    unittest.main()
