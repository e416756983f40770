#!/usr/bin/python3
"""Hostile peers against `vlsmb2s serve`: stalled and dripping frames, a peer
that never reads, garbage, over-long and malformed compounds, many opens,
bad signatures, logon retries and the per-connection listing bound. While
each runs, a well-behaved client (impacket) logs on and reads a file.

usage: test_hostile.py PATH_TO_vlsmb2s [unittest args]
"""
import os
import random
import select
import shutil
import socket
import struct
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from serverproc import Server  # noqa: E402
import rawsmb as R  # noqa: E402

from impacket import ntlm  # noqa: E402
from impacket import smb3structs as s3  # noqa: E402
from impacket.smbconnection import SMBConnection  # noqa: E402

PROG = None
SHORT = ("--opt", "guest=on", "--opt", "idle_timeout_ms=1500", "--opt", "io_timeout_ms=1000")


def well_behaved(port, user="guest", password=""):
    """A real client logs on and reads a small file; raises on any failure."""
    c = SMBConnection("127.0.0.1", "127.0.0.1", sess_port=port, preferredDialect=s3.SMB2_DIALECT_21, timeout=10)
    try:
        c.login(user, password)
        tid = c.connectTree("pub")
        fid = c.openFile(tid, "hello.txt", desiredAccess=s3.FILE_READ_DATA)
        data = c.readFile(tid, fid, 0, 100)
        c.closeFile(tid, fid)
        if data != b"hello\n":
            raise AssertionError("well-behaved client read %r" % data)
    finally:
        c.close()


class Peer(threading.Thread):
    """Runs a hostile peer's function on its own thread; .result or .error."""

    def __init__(self, fn):
        super().__init__(daemon=True)
        self.fn, self.result, self.error = fn, None, None
        self.start()

    def run(self):
        try:
            self.result = self.fn()
        except Exception as e:  # reported by the test
            self.error = e

    def finish(self, test, limit=30):
        self.join(limit)
        test.assertFalse(self.is_alive(), "hostile peer did not finish")
        if self.error:
            raise self.error
        return self.result


class HostileBase(unittest.TestCase):
    ARGS = SHORT

    def setUp(self):
        self.srv = Server(PROG, *self.ARGS).__enter__()
        self.addCleanup(self.srv.__exit__, None, None, None)
        self.port = self.srv.port

    def alongside(self, fn, rounds=2):
        """Runs fn as a hostile peer while a well-behaved client is served."""
        p = Peer(fn)
        for _ in range(rounds):
            well_behaved(self.port)
        r = p.finish(self)
        well_behaved(self.port)
        self.assertIsNone(self.srv.proc.poll(), "server exited")
        return r

    def logged_on(self, large=False, timeout=10.0, rcvbuf=0):
        c = R.Conn(self.port, timeout=timeout, rcvbuf=rcvbuf)
        self.addCleanup(c.close)
        return c.logon(large).tree("pub")


class Stalls(HostileBase):
    def test_half_a_frame_is_cut_at_the_idle_limit(self):
        def peer():
            with R.Conn(self.port) as c:
                c.send(R.prefix(b"\0" * 1000) + R.header(R.ECHO, 1) + b"\0" * 436)
                return c.closed_by_server(15)
        self.assertTrue(self.alongside(peer))

    def test_a_frame_dripped_a_byte_every_90_ms_is_cut(self):
        def peer():
            with R.Conn(self.port) as c:
                c.logon()
                f = R.frame(R.header(R.ECHO, 50) + R.ECHO_BODY)
                for i, b in enumerate(f):
                    r, _, _ = select.select([c.s], [], [], 0.09)
                    if r:
                        try:
                            return i, c.s.recv(100)  # the server's end: b"", or a reply
                        except ConnectionResetError:
                            return i, b""
                    try:
                        c.send(bytes([b]))
                    except OSError:
                        return i, b""
                return len(f), c.recv_frame()
        sent, answer = self.alongside(peer)
        # The idle limit bounds a frame that arrives slowly too.
        self.assertLess(sent, 72)
        self.assertEqual(b"", answer)

    def test_a_session_request_whose_body_never_comes(self):
        def peer():
            with R.Conn(self.port) as c:
                c.send(bytes([0x81, 0x00, 0x10, 0x00]) + b"\x20" * 10)
                got = b""
                c.s.settimeout(15)
                try:
                    while True:
                        d = c.s.recv(100)
                        if not d:
                            return got
                        got += d
                except (ConnectionResetError, socket.timeout) as e:
                    return got if isinstance(e, ConnectionResetError) else None
        self.assertEqual(b"", self.alongside(peer))


class NonReader(HostileBase):
    # Only the write time-out may end this connection.
    ARGS = ("--opt", "guest=on", "--opt", "idle_timeout_ms=60000", "--opt", "io_timeout_ms=1000")

    def test_a_peer_that_never_reads_its_1_mib_reads_is_dropped(self):
        with open(os.path.join(self.srv.share_dir, "big.bin"), "wb") as f:
            f.write(os.urandom(1 << 20))
        c = self.logged_on(large=True, rcvbuf=4096)
        st, fid, _ = c.create("big.bin")
        self.assertEqual(R.SUCCESS, st)
        for i in range(16):
            c.send(R.frame(R.header(R.READ, 100 + i, tid=c.tid) + R.read_body(fid, 1 << 20)))
        well_behaved(self.port)
        time.sleep(3)  # three write time-outs
        well_behaved(self.port)
        got = 0
        c.s.settimeout(15)
        try:
            while True:
                d = c.s.recv(1 << 16)
                if not d:
                    break
                got += len(d)
        except ConnectionResetError:
            pass
        self.assertLess(got, 16 << 20)


class Garbage(HostileBase):
    def test_frames_of_4_mib_garbage_close_their_connections_silently(self):
        rnd = random.Random(7)

        def peer(n, first):
            def run():
                body = bytes([first]) + rnd.randbytes(n - 1)
                with R.Conn(self.port, timeout=15) as c:
                    try:
                        # Past the limit the server ends the connection on the prefix alone.
                        c.send(R.prefix(body) if n > 4194304 else R.frame(body))
                        return c.s.recv(100)
                    except (ConnectionResetError, BrokenPipeError):
                        return b""
            return run
        peers = [Peer(peer(4194304, first)) for first in (0x00, 0x41, 0xFE, 0x13)]
        peers.append(Peer(peer(4194305, 0x00)))
        well_behaved(self.port)
        for p in peers:
            self.assertEqual(b"", p.finish(self))
        well_behaved(self.port)

    def test_64_request_compounds_and_one_more(self):
        c = self.logged_on()
        for n, want in ((64, 64), (65, 65)):
            c.send(R.compound([(dict(cmd=R.ECHO, mid=1000 + i), R.ECHO_BODY) for i in range(n)]))
            reply = c.recv_frame()
            rs = R.responses(reply)
            self.assertEqual(want, len(rs))
            self.assertTrue(all(r[1] == R.ECHO and r[2] == R.SUCCESS for r in rs[:64]))
            if n == 65:
                self.assertEqual((0, R.INVALID_PARAMETER), rs[64][1:])
        # One open read 62 times and closed within one compound.
        st, fid, _ = c.create("hello.txt")
        parts = [(dict(cmd=R.CREATE, mid=2000, tid=c.tid), R.create_body(R.utf16("hello.txt")))]
        parts += [(dict(cmd=R.READ, mid=2001 + i, tid=c.tid, flags=R.FLAG_RELATED), R.read_body(2 ** 64 - 1, 64))
                  for i in range(62)]
        parts.append((dict(cmd=R.CLOSE, mid=2063, tid=c.tid, flags=R.FLAG_RELATED), R.close_body(2 ** 64 - 1)))
        c.send(R.compound(parts))
        reply = c.recv_frame()
        rs = R.responses(reply)
        self.assertEqual(64, len(rs))
        self.assertEqual([R.SUCCESS] * 64, [r[2] for r in rs])
        for at, cmd, _ in rs[1:63]:
            n, = struct.unpack_from("<I", reply, at + 68)
            self.assertEqual(b"hello\n", reply[at + 80:at + 80 + n])
        self.assertEqual(R.SUCCESS, c.close_file(fid))
        well_behaved(self.port)

    def test_compounds_whose_next_command_and_offsets_point_everywhere(self):
        rnd = random.Random(1234)
        edges = [0, 1, 7, 8, 63, 64, 65, 72, 88, 96, 120, 0x7FFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFF8, 0x80000000]
        cmds = [R.NEGOTIATE, R.SESSION_SETUP, 2, R.TREE_CONNECT, 4, R.CREATE, R.CLOSE, 7, R.READ, 9, 11, R.ECHO,
                R.QUERY_DIRECTORY, 15, 16, 17, 18, 0x22, 0x105]

        def body(cmd):
            good = {R.CREATE: R.create_body(R.utf16("hello.txt")), R.READ: R.read_body(0x11, 4096),
                    R.QUERY_DIRECTORY: R.qd_body(0x11), R.CLOSE: R.close_body(0x11), R.ECHO: R.ECHO_BODY,
                    R.TREE_CONNECT: R.tree_body("\\\\x\\pub"),
                    R.SESSION_SETUP: R.setup_body(R.NTLM_NEGOTIATE)}.get(cmd, rnd.randbytes(rnd.randrange(0, 120)))
            b = bytearray(good)
            # Overwrite a few 16- and 32-bit fields (offsets, lengths) with edge values.
            for _ in range(rnd.randrange(0, 4)):
                if len(b) >= 4:
                    at = rnd.randrange(0, len(b) - 3)
                    v = rnd.choice(edges)
                    if rnd.random() < 0.5:
                        struct.pack_into("<I", b, at, v)
                    else:
                        struct.pack_into("<H", b, at, v & 0xFFFF)
            return bytes(b[:rnd.randrange(0, len(b) + 1)] if rnd.random() < 0.2 else b)

        def fresh():
            c = R.Conn(self.port, timeout=5)
            return c.logon().tree("pub")

        def hammer():
            c = fresh()
            closed = answered = 0
            for n in range(300):
                raw = b""
                for i in range(rnd.randrange(1, 9)):
                    cmd = rnd.choice(cmds)
                    flags = rnd.choice([0, 0, R.FLAG_RELATED, 1, 0xFFFFFFF7])
                    req = bytearray(R.header(cmd & 0xFFFF, 5000 + n * 10 + i, sid=rnd.choice([0, c.sid, 2 ** 64 - 1]),
                                             tid=rnd.choice([c.tid, 0, 0xFFFFFFFF]), flags=flags) + body(cmd))
                    if i > 0 or rnd.random() < 0.9:
                        struct.pack_into("<I", req, 20, rnd.choice(edges + [len(req), (len(req) + 7) & ~7,
                                                                         rnd.randrange(0, 2000)]))
                    raw += bytes(req)
                marker = 0xEC40000 + n
                try:
                    c.send(R.frame(raw) + R.frame(R.header(R.ECHO, marker) + R.ECHO_BODY))
                    for _ in range(80):
                        reply = c.recv_frame()
                        for at, cmd, st in R.responses(reply):
                            self.assertLessEqual(at + 64, len(reply))
                        if len(reply) >= 64 and struct.unpack_from("<Q", reply, 24)[0] == marker:
                            answered += 1
                            break
                    else:
                        self.fail("no answer to the marker ECHO")
                except ConnectionError:
                    # Allowed: the requests included logons that fail up to the limit.
                    closed += 1
                    c.close()
                    c = fresh()
            c.close()
            return answered, closed

        # A time-out (no answer within 5 s) fails the test: a thread was held.
        answered, closed = self.alongside(hammer, rounds=3)
        self.assertGreater(answered, 250)
        if os.environ.get("VL2_VERBOSE"):
            print("compounds: %d answered, %d connections ended" % (answered, closed), file=sys.stderr)


class Resources(HostileBase):
    def test_1024_opens_on_one_connection_then_refusal(self):
        c = self.logged_on()
        fids = []
        for batch in range(32):
            parts = [(dict(cmd=R.CREATE, mid=3000 + batch * 32 + i, tid=c.tid), R.create_body(R.utf16("hello.txt")))
                     for i in range(32)]
            c.send(R.compound(parts))
            reply = c.recv_frame()
            rs = R.responses(reply)
            self.assertEqual([R.SUCCESS] * 32, [r[2] for r in rs])
            fids += [struct.unpack_from("<Q", reply, at + 128)[0] for at, _, _ in rs]
        self.assertEqual(1024, len(set(fids)))
        self.assertEqual(R.INSUFFICIENT_RESOURCES, c.create("hello.txt")[0])
        well_behaved(self.port)
        self.assertEqual(R.SUCCESS, c.close_file(fids[500]))
        st, fid, _ = c.create("hello.txt")
        self.assertEqual(R.SUCCESS, st)
        self.assertEqual((R.SUCCESS, b"hello\n"), c.read_all(fids[1023]))

    def test_unbounded_tree_records(self):
        """Regression: every TREE_CONNECT added a record that only LOGOFF
        freed, so one connection could grow without end."""
        c = R.Conn(self.port)
        self.addCleanup(c.close)
        c.logon()

        def connects(n, mid):
            c.send(R.compound([(dict(cmd=R.TREE_CONNECT, mid=mid + i), R.tree_body("\\\\x\\pub")) for i in range(n)]))
            reply = c.recv_frame()
            return [(st, struct.unpack_from("<I", reply, at + 36)[0]) for at, _, st in R.responses(reply)]
        tids = []
        for k in range(16):
            got = connects(64, 10000 + 64 * k)
            self.assertEqual([R.SUCCESS] * 64, [st for st, _ in got])
            tids += [t for _, t in got]
        self.assertEqual(R.INSUFFICIENT_RESOURCES, connects(1, 20000)[0][0])
        well_behaved(self.port)
        # Disconnected records make room again, however many come and go.
        for k in range(40):
            self.assertEqual(R.SUCCESS, R.status(c.call(4, R.ECHO_BODY, tid=tids[k])))
            st, tid = connects(1, 30000 + k)[0]
            self.assertEqual(R.SUCCESS, st)
            self.assertEqual(R.SUCCESS, R.status(c.call(4, R.ECHO_BODY, tid=tid)))
        # 984 trees are live: 40 more fit, then the bound holds again.
        self.assertEqual([R.SUCCESS] * 40, [st for st, _ in connects(40, 40000)])
        self.assertEqual(R.INSUFFICIENT_RESOURCES, connects(1, 40100)[0][0])
        c.tid = tids[-1]
        st, fid, _ = c.create("hello.txt")
        self.assertEqual(R.SUCCESS, st)
        self.assertEqual((R.SUCCESS, b"hello\n"), c.read_all(fid))

    def test_signed_requests_with_wrong_signatures(self):
        with R.Conn(self.port) as c:
            # Before any logon: refused, and the connection goes on.
            c.negotiate()
            self.assertEqual(R.ACCESS_DENIED, c.echo(flags=R.FLAG_SIGNED, sig=os.urandom(16)))
            c.logon().tree("pub")
            for _ in range(50):
                self.assertEqual(R.ACCESS_DENIED, c.echo(flags=R.FLAG_SIGNED, sig=os.urandom(16)))
            # In a compound the bad member is refused and the rest dropped.
            c.send(R.compound([(dict(cmd=R.ECHO, mid=7000), R.ECHO_BODY),
                               (dict(cmd=R.ECHO, mid=7001, flags=R.FLAG_SIGNED, sig=os.urandom(16)), R.ECHO_BODY),
                               (dict(cmd=R.ECHO, mid=7002), R.ECHO_BODY)]))
            rs = R.responses(c.recv_frame())
            self.assertEqual([R.SUCCESS, R.ACCESS_DENIED], [r[2] for r in rs])
            self.assertEqual(R.SUCCESS, c.echo())
        well_behaved(self.port)


class Lifetimes(HostileBase):
    """Opens, listings and trees used after what ends them, inside one
    compound and across frames."""
    ANY = 2 ** 64 - 1

    def rel(self, cmd, mid, body, **kw):
        return (dict(cmd=cmd, mid=mid, flags=R.FLAG_RELATED, sid=self.ANY, tid=0xFFFFFFFF, **kw), body)

    def test_requests_after_close_logoff_and_disconnect_in_one_compound(self):
        c = self.logged_on()
        first = (dict(cmd=R.CREATE, mid=1, tid=c.tid, sid=c.sid), R.create_body(b""))
        cases = [
            # CREATE, CLOSE, then the closed handle again.
            [first, self.rel(R.CLOSE, 2, R.close_body(self.ANY)), self.rel(R.QUERY_DIRECTORY, 3, R.qd_body(self.ANY)),
             self.rel(R.CLOSE, 4, R.close_body(self.ANY)), self.rel(R.READ, 5, R.read_body(self.ANY, 100))],
            # A listing held, then LOGOFF, then the listing and the tree again.
            [first, self.rel(R.QUERY_DIRECTORY, 2, R.qd_body(self.ANY)), self.rel(2, 3, R.ECHO_BODY),
             self.rel(R.QUERY_DIRECTORY, 4, R.qd_body(self.ANY)), self.rel(R.CREATE, 5, R.create_body(b"")),
             self.rel(R.CLOSE, 6, R.close_body(self.ANY))],
        ]
        for parts in cases:
            c.send(R.compound(parts))
            rs = R.responses(c.recv_frame())
            self.assertEqual(len(parts), len(rs))
            self.assertEqual(R.SUCCESS, rs[0][2])
            self.assertEqual(R.SUCCESS, rs[1][2])
            self.assertTrue(all(st != R.SUCCESS for _, _, st in rs[3:]), rs)
            c.close()
            c = self.logged_on()
        # A disconnected tree: its open still reads, new opens are refused.
        st, fid, _ = c.create("hello.txt")
        self.assertEqual(R.SUCCESS, R.status(c.call(4, R.ECHO_BODY)))
        self.assertEqual((R.SUCCESS, b"hello\n"), c.read_all(fid))
        self.assertNotEqual(R.SUCCESS, c.create("hello.txt")[0])
        # After LOGOFF nothing of the old session answers, and a new logon works.
        self.assertEqual(R.SUCCESS, R.status(c.call(2, R.ECHO_BODY)))
        self.assertNotEqual(R.SUCCESS, c.read(fid)[0])
        self.assertNotEqual(R.SUCCESS, c.create("hello.txt")[0])
        c.mid = 100
        c.logon().tree("pub")
        self.assertEqual(R.SUCCESS, c.create("hello.txt")[0])
        well_behaved(self.port)


class LogonRetries(HostileBase):
    ARGS = ("--user", "alice:secret", "--opt", "guest=off", "--opt", "max_login_failures=3",
            "--opt", "idle_timeout_ms=5000")

    def failing_leg(self, c):
        r = c.call(R.SESSION_SETUP, R.setup_body(ntlm.getNTLMSSPType1("", "").getData()))
        self.assertEqual(R.MORE_PROCESSING, R.status(r))
        off, n = struct.unpack_from("<HH", r, 68)
        blob = r[off:off + n]
        t1 = ntlm.getNTLMSSPType1("", "")
        t3, _ = ntlm.getNTLMSSPType3(t1, blob[blob.find(b"NTLMSSP\0"):], "alice", "wrong", "WORKGROUP")
        return R.status(c.call(R.SESSION_SETUP, R.setup_body(t3.getData())))

    def test_session_setup_retries_up_to_the_failure_limit(self):
        # Each peer from an address of its own, since failed logons are also
        # limited per address across connections.
        def peer(source):
            seen = []
            with R.Conn(self.port, source=source) as c:
                self.assertEqual(R.SUCCESS, R.status(c.call(R.NEGOTIATE, R.negotiate_body())))
                for _ in range(3):
                    seen.append(self.failing_leg(c))
                seen.append(c.closed_by_server(10))
            return seen
        peers = [Peer(lambda k=k: peer("127.0.0.%d" % (k + 2))) for k in range(4)]
        for _ in range(2):
            well_behaved(self.port, "alice", "secret")
        for p in peers:
            self.assertEqual([R.LOGON_FAILURE] * 3 + [True], p.finish(self))
        well_behaved(self.port, "alice", "secret")


class ListingBound(unittest.TestCase):
    """A connection holds at most 1,000,000 listing entries across its opens."""

    @classmethod
    def setUpClass(cls):
        base = "/dev/shm" if os.path.isdir("/dev/shm") else None
        cls.tmp = tempfile.mkdtemp(prefix="vl2big.", dir=base)
        for i in range(100000):
            os.close(os.open(os.path.join(cls.tmp, "e%06d" % i), os.O_CREAT | os.O_WRONLY, 0o644))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def test_the_eleventh_listing_of_100000_entries_waits_for_a_close(self):
        with Server(PROG, "--opt", "guest=on", "--share", "big=" + self.tmp) as srv:
            with R.Conn(srv.port, timeout=60) as c:
                c.logon().tree("big")
                fids = []
                for i in range(11):
                    st, fid, _ = c.create("")
                    self.assertEqual(R.SUCCESS, st)
                    fids.append(fid)
                t0 = time.time()
                for fid in fids[:10]:
                    r = c.call(R.QUERY_DIRECTORY, R.qd_body(fid))
                    self.assertEqual(R.SUCCESS, R.status(r))
                if os.environ.get("VL2_VERBOSE"):
                    print("10 listings of 100,000 entries: %.2f s" % (time.time() - t0), file=sys.stderr)
                self.assertEqual(R.ACCESS_DENIED, R.status(c.call(R.QUERY_DIRECTORY, R.qd_body(fids[10]))))
                well_behaved(srv.port)
                self.assertEqual(R.SUCCESS, c.close_file(fids[3]))
                r = c.call(R.QUERY_DIRECTORY, R.qd_body(fids[10]))
                self.assertEqual(R.SUCCESS, R.status(r))
                self.assertEqual(["e000000", "e000001"], R.entry_names(r)[:2])
                # LOGOFF gives every entry back (a million were held).
                self.assertEqual(R.SUCCESS, R.status(c.call(2, R.ECHO_BODY)))
                c.logon().tree("big")
                st, fid, _ = c.create("")
                self.assertEqual(R.SUCCESS, R.status(c.call(R.QUERY_DIRECTORY, R.qd_body(fid))))


if __name__ == "__main__":
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    PROG = sys.argv.pop(1)
    unittest.main()
