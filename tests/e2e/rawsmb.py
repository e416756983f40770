"""A raw SMB2 client for the hostile-peer and traversal tests: every request
is built byte by byte, so names and offsets reach the server exactly as
written (no client library normalises them)."""
import socket
import struct

SUCCESS = 0
NO_MORE_FILES = 0x80000006
INVALID_PARAMETER = 0xC000000D
ACCESS_DENIED = 0xC0000022
NAME_INVALID = 0xC0000033
NAME_NOT_FOUND = 0xC0000034
PATH_NOT_FOUND = 0xC000003A
LOGON_FAILURE = 0xC000006D
INSUFFICIENT_RESOURCES = 0xC000009A
MORE_PROCESSING = 0xC0000016

NEGOTIATE, SESSION_SETUP, TREE_CONNECT, CREATE, CLOSE, READ, ECHO, QUERY_DIRECTORY = 0, 1, 3, 5, 6, 8, 13, 14
FLAG_RELATED, FLAG_SIGNED = 0x4, 0x8


def prefix(body, kind=0):
    n = len(body)
    return bytes([kind, (n >> 16) & 0xFF, (n >> 8) & 0xFF, n & 0xFF])


def frame(body):
    return prefix(body) + body


def header(cmd, mid, sid=0, tid=0, flags=0, next_cmd=0, credits=1, sig=b""):
    h = b"\xfeSMB" + struct.pack("<HHIHHIIQIIQ", 64, 0, 0, cmd, credits, flags, next_cmd, mid, 0, tid, sid)
    return h + sig.ljust(16, b"\0")[:16]


def utf16(text):
    return text.encode("utf-16-le", "surrogatepass")


# ---- request bodies (without the header) ----------------------------------
def negotiate_body(large=False):
    return struct.pack("<HHHHI", 36, 2, 1, 0, 4 if large else 0) + b"\xa5" * 16 + b"\0" * 8 + \
        struct.pack("<HH", 0x0202, 0x0210)


def setup_body(blob):
    return struct.pack("<HBBIIHHQ", 25, 0, 1, 0, 0, 88, len(blob), 0) + blob


NTLM_NEGOTIATE = b"NTLMSSP\0" + struct.pack("<II", 1, 0x00088207) + b"\0" * 20
# Anonymous AUTHENTICATE: six empty fields, so a guest logon where allowed.
NTLM_ANON = b"NTLMSSP\0" + struct.pack("<I", 3) + struct.pack("<HHI", 0, 0, 64) * 6 + struct.pack("<I", 0x00088205)


def tree_body(path):
    u = utf16(path)
    return struct.pack("<HHHH", 9, 0, 72, len(u)) + u


def create_body(name_bytes, access=0x80000000, disp=1, opts=0, name_off=120, name_len=None):
    if name_len is None:
        name_len = len(name_bytes)
    b = struct.pack("<HBBIQQIIIIIHHII", 57, 0, 0, 2, 0, 0, access, 0, 7, disp, opts, name_off, name_len, 0, 0)
    return b + (name_bytes if name_bytes else b"\0")


def read_body(fid, length, offset=0):
    return struct.pack("<HBBIQQQIIIHHB", 49, 80, 0, length, offset, fid, 0, 0, 0, 0, 0, 0, 0)


def qd_body(fid, flags=0, pattern="*", out_cap=65536, cls=37):
    u = utf16(pattern)
    return struct.pack("<HBBIQQHHI", 33, cls, flags, 0, fid, 0, 96 if u else 0, len(u), out_cap) + (u or b"\0")


def close_body(fid):
    return struct.pack("<HHIQQ", 24, 0, 0, fid, 0)


ECHO_BODY = struct.pack("<HH", 4, 0)


def compound(parts):
    """parts: list of (header_kwargs, body). NextCommand is set 8-aligned
    unless a part gives next_cmd itself."""
    out = b""
    for i, (kw, body) in enumerate(parts):
        kw = dict(kw)
        req = header(**{**kw, "next_cmd": 0}) + body
        if i + 1 < len(parts):
            req = req.ljust((len(req) + 7) // 8 * 8, b"\0")
            req = req[:20] + struct.pack("<I", kw.get("next_cmd", len(req))) + req[24:]
        out += req
    return frame(out)


def status(reply, at=0):
    return struct.unpack_from("<I", reply, at + 8)[0] if len(reply) >= at + 12 else None


def responses(reply):
    """Every (offset, command, status) of a reply chain; stops where a
    NextCommand would leave the reply."""
    out, at = [], 0
    while at + 64 <= len(reply):
        cmd, = struct.unpack_from("<H", reply, at + 12)
        nxt, = struct.unpack_from("<I", reply, at + 20)
        out.append((at, cmd, status(reply, at)))
        if nxt == 0:
            break
        at += nxt
    return out


class Conn:
    """One connection; every call waits for one reply frame."""

    def __init__(self, port, timeout=10.0, rcvbuf=0, source=None):
        """source: a loopback address (127.0.0.2, ...) to connect from."""
        self.s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf:
            self.s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        if source:
            self.s.bind((source, 0))
        self.s.settimeout(timeout)
        self.s.connect(("127.0.0.1", port))
        self.mid = 1
        self.tid = 0
        self.sid = 0
        self.negotiated = False

    def close(self):
        self.s.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def send(self, data):
        self.s.sendall(data)

    def recv_exact(self, n):
        buf = b""
        while len(buf) < n:
            chunk = self.s.recv(n - len(buf))
            if not chunk:
                raise ConnectionError("closed by the server")
            buf += chunk
        return buf

    def recv_frame(self):
        pre = self.recv_exact(4)
        n = (pre[1] << 16) | (pre[2] << 8) | pre[3]
        return self.recv_exact(n) if n else b""

    def call(self, cmd, body, **kw):
        kw.setdefault("tid", self.tid)
        kw.setdefault("sid", self.sid)
        mid = self.mid
        self.mid += 1
        self.send(frame(header(cmd, mid, **kw) + body))
        return self.recv_frame()

    def closed_by_server(self, wait=10.0):
        """True when the server ends the connection (EOF or reset) within wait
        seconds, whatever it sends first."""
        self.s.settimeout(wait)
        try:
            while self.s.recv(65536):
                pass
            return True
        except ConnectionResetError:
            return True
        except socket.timeout:
            return False

    # ---- conversation steps ---------------------------------------------
    def negotiate(self, large=False):
        """The first request of a connection, and its only NEGOTIATE."""
        r = self.call(NEGOTIATE, negotiate_body(large))
        assert status(r) == SUCCESS, hex(status(r))
        self.negotiated = True
        return self

    def logon(self, large=False):
        if not self.negotiated:
            self.negotiate(large)
        r = self.call(SESSION_SETUP, setup_body(NTLM_NEGOTIATE))
        assert status(r) == MORE_PROCESSING, hex(status(r))
        self.sid = struct.unpack_from("<Q", r, 40)[0]
        r = self.call(SESSION_SETUP, setup_body(NTLM_ANON))
        assert status(r) == SUCCESS, hex(status(r))
        return self

    def tree(self, share):
        r = self.call(TREE_CONNECT, tree_body("\\\\127.0.0.1\\" + share))
        assert status(r) == SUCCESS, hex(status(r))
        self.tid = struct.unpack_from("<I", r, 36)[0]
        return self

    def create_raw(self, name_bytes, **kw):
        """(status, FileId or 0, reply)."""
        r = self.call(CREATE, create_body(name_bytes, **kw))
        st = status(r)
        fid = struct.unpack_from("<Q", r, 128)[0] if st == SUCCESS and len(r) >= 136 else 0
        return st, fid, r

    def create(self, name, **kw):
        return self.create_raw(utf16(name), **kw)

    def read(self, fid, length=65536, offset=0):
        r = self.call(READ, read_body(fid, length, offset))
        st = status(r)
        if st != SUCCESS:
            return st, b"", r
        n, = struct.unpack_from("<I", r, 68)
        return st, r[80:80 + n], r

    def read_all(self, fid, chunk=65536):
        data, off = b"", 0
        while True:
            st, d, _ = self.read(fid, chunk, off)
            if st != SUCCESS:
                return st, data
            data += d
            off += len(d)
            if len(d) < chunk:
                return SUCCESS, data

    def list(self, fid, pattern="*"):
        """(status, names, every reply)."""
        names, replies, flags = [], [], 1
        while True:
            r = self.call(QUERY_DIRECTORY, qd_body(fid, flags, pattern))
            replies.append(r)
            flags = 0
            st = status(r)
            if st == NO_MORE_FILES:
                return SUCCESS, names, replies
            if st != SUCCESS:
                return st, names, replies
            names += entry_names(r)

    def close_file(self, fid):
        return status(self.call(CLOSE, close_body(fid)))

    def echo(self, **kw):
        return status(self.call(ECHO, ECHO_BODY, **kw))


def entry_names(reply):
    """Names of a class-37 listing reply (FileIdBothDirectoryInformation)."""
    names = []
    if len(reply) < 72:
        return names
    length, = struct.unpack_from("<I", reply, 68)
    at, end = 72, min(len(reply), 72 + length)
    while at + 104 <= end:
        nxt, = struct.unpack_from("<I", reply, at)
        nlen, = struct.unpack_from("<I", reply, at + 60)
        names.append(reply[at + 104:at + 104 + nlen].decode("utf-16-le", "replace"))
        if nxt == 0:
            break
        at += nxt
    return [n for n in names if n not in (".", "..")]
