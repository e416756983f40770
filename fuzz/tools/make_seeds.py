#!/usr/bin/python3
"""Hand-made seeds beside the captured ones: requests the captured clients
never send (refused commands, odd classes, compounds, the pipe by IOCTL,
WRITE and READ) and texts for the parsers. Usage: make_seeds.py CORPUS_DIR

The conn_files seeds use the ids the fuzz target's fixed conversation yields
(printed by the target with VL2_FUZZ_SHOW_IDS=1): disk tree 1, IPC$ tree 4,
file 0x21, folder 0x31, pipe 0x51."""
import hashlib
import os
import struct
import sys

SID = 0x3ADF5C21F6D572E9
DISK, IPC, FILE, DIR, PIPE = 1, 4, 0x21, 0x31, 0x51
ANY = 0xFFFFFFFFFFFFFFFF


def hdr(cmd, mid, tid=0, sid=SID, flags=0, nxt=0):
    return (b"\xfeSMB" + struct.pack("<HHIHHIIQIIQ", 64, 1, 0, cmd, 32, flags, nxt, mid, 0, tid, sid)
            + bytes(16))


def frame(body):
    return bytes([0]) + len(body).to_bytes(3, "big") + body


def fid(v):
    return struct.pack("<QQ", v, 0 if v != ANY else ANY)


def u16(s):
    return s.encode("utf-16-le")


def read(mid, f, length=4096, off=0, tid=DISK, **kw):
    return hdr(8, mid, tid, **kw) + struct.pack("<HBBIQ", 49, 0x50, 0, length, off) + fid(f) + \
        struct.pack("<IIIHH", 1, 0, 0, 0, 0) + b"\0"


def close(mid, f, tid=DISK, flags=1, **kw):
    return hdr(6, mid, tid, **kw) + struct.pack("<HHI", 24, flags, 0) + fid(f)


def qinfo(mid, f, itype, cls, outlen=4096, tid=DISK, addl=0, **kw):
    return hdr(16, mid, tid, **kw) + struct.pack("<HBBIHHIII", 41, itype, cls, outlen, 0, 0, 0, addl, 0) + \
        fid(f) + b"\0"


def qdir(mid, f, cls, pattern, flags=0, outlen=65536, tid=DISK, **kw):
    p = u16(pattern)
    return hdr(14, mid, tid, **kw) + struct.pack("<HBBI", 33, cls, flags, 0) + fid(f) + \
        struct.pack("<HHI", 96, len(p), outlen) + (p or b"\0")


def ioctl(mid, f, code, data, tid=IPC, maxout=4280, flags=1, **kw):
    return hdr(11, mid, tid, **kw) + struct.pack("<HHI", 57, 0, code) + fid(f) + \
        struct.pack("<IIIIIIII", 120, len(data), 0, 120, 0, maxout, flags, 0) + data


def write(mid, f, data, tid=IPC, **kw):
    return hdr(9, mid, tid, **kw) + struct.pack("<HHIQ", 49, 112, len(data), 0) + fid(f) + \
        struct.pack("<IIHHI", 0, 0, 0, 0, 0) + data


def create(mid, name, tid=DISK, access=0x00120089, disp=1, opts=0, contexts=b"", **kw):
    n = u16(name) or b"\0"
    pad = bytes(-len(n) % 8) if contexts else b""
    coff = 120 + len(n) + len(pad) if contexts else 0
    return hdr(5, mid, tid, **kw) + struct.pack("<HBBIQQIIIIIHHII", 57, 0, 0, 2, 0, 0, access, 0, 7, disp, opts,
                                                120, len(u16(name)), coff, len(contexts)) + n + pad + contexts


def context(tag, data=b"", nxt=0):
    """One create context: header, name, padded data."""
    doff = 24 if data else 0
    return struct.pack("<IHHHHI", nxt, 16, len(tag), 0, doff, len(data)) + tag + bytes(4) + data


def create_ctx_seeds():
    """Offset 64 (the body's start), the length, then the chain."""
    chains = [context(b"QFid"), context(b"MxAc", nxt=24) + context(b"QFid"),
              context(b"DHnQ", bytes(16), nxt=40) + context(b"MxAc", bytes(8), nxt=32) + context(b"RqLs", bytes(32)),
              context(b"DHnC", bytes(16))]
    return [struct.pack("<HH", 64, len(ch)) + ch for ch in chains]


def tree_connect(mid, path, sid=SID):
    p = u16(path)
    return hdr(3, mid, 0, sid) + struct.pack("<HHHH", 9, 0, 72, len(p)) + p


def small(cmd, mid, tid=0, **kw):
    return hdr(cmd, mid, tid, **kw) + struct.pack("<HH", 4, 0)


def compound(reqs):
    out = b""
    for i, r in enumerate(reqs):
        if i + 1 < len(reqs):
            r = r + bytes(-len(r) % 8)
            r = r[:20] + struct.pack("<I", len(r)) + r[24:]
        out += r
    return out


def related(r):
    flags = struct.unpack_from("<I", r, 16)[0] | 4
    return r[:16] + struct.pack("<I", flags) + r[20:]


# DCE/RPC: bind to srvsvc and NetrShareEnumAll at levels 1 and 2.
SRVSVC_UUID = bytes.fromhex("c84f324b7016d30112785a47bf6ee188")
NDR_UUID = bytes.fromhex("045d888aeb1cc9119fe808002b104860")


def rpc_bind(call=1):
    ctx = struct.pack("<HBB", 0, 1, 0) + SRVSVC_UUID + struct.pack("<HH", 3, 0) + NDR_UUID + struct.pack("<I", 2)
    body = struct.pack("<HHIB3x", 4280, 4280, 0, 1) + ctx
    return struct.pack("<BBBBIHHI", 5, 0, 11, 3, 0x10, 16 + len(body), 0, call) + body


def rpc_enum(level=1, call=2, opnum=15):
    server = u16("\\\\127.0.0.1\0")
    n = len(server) // 2
    stub = struct.pack("<IIII", 0x20000, n, 0, n) + server + bytes(-len(server) % 4)
    stub += struct.pack("<III", level, level, 0x20004) + struct.pack("<II", 0, 0) + struct.pack("<II", 0xFFFFFFFF, 0)
    body = struct.pack("<IHH", len(stub), 0, opnum) + stub
    return struct.pack("<BBBBIHHI", 5, 0, 0, 3, 0x10, 16 + len(body), 0, call) + body


FSCTL_PIPE_TRANSCEIVE = 0x0011C017


def signed(frames):
    """The same requests with the signed flag (the harness signs them)."""
    out, pos = b"", 0
    while pos + 4 <= len(frames):
        n = int.from_bytes(frames[pos + 1:pos + 4], "big")
        body = bytearray(frames[pos + 4:pos + 4 + n])
        off = 0
        while off + 64 <= len(body):
            body[off + 16] |= 8
            nxt = struct.unpack_from("<I", body, off + 20)[0]
            if not nxt:
                break
            off += nxt
        out += frames[pos:pos + 4] + bytes(body)
        pos += 4 + n
    return out


def conn_files():
    seeds = []
    m = 10
    seeds.append([read(m, FILE), read(m + 1, FILE, 100, 590), read(m + 2, FILE, 10, 600), read(m + 3, DIR)])
    seeds.append([qinfo(m + i, FILE, 1, c) for i, c in enumerate((4, 5, 6, 7, 8, 14, 16, 18, 22, 28, 34, 35))])
    seeds.append([qinfo(m + i, DIR, 2, c) for i, c in enumerate((1, 3, 4, 5, 6, 7, 8, 11))] +
                 [qinfo(40, FILE, 3, 0, addl=7), qinfo(41, DIR, 4, 0)])
    seeds.append([qdir(m, DIR, c, "*") for c in (1, 2, 3, 12, 37, 38)])
    seeds.append([qdir(m, DIR, 37, "*.TXT", flags=1), qdir(m + 1, DIR, 37, "*"), qdir(m + 2, DIR, 3, "c?txt", 0x10),
                  qdir(m + 3, DIR, 1, "deeper", 2), qdir(m + 4, DIR, 37, "*", 0, 200)])
    seeds.append([ioctl(m, PIPE, FSCTL_PIPE_TRANSCEIVE, rpc_bind()),
                  ioctl(m + 1, PIPE, FSCTL_PIPE_TRANSCEIVE, rpc_enum(1)),
                  ioctl(m + 2, PIPE, FSCTL_PIPE_TRANSCEIVE, rpc_enum(2, 3)),
                  ioctl(m + 3, PIPE, FSCTL_PIPE_TRANSCEIVE, rpc_enum(1, 4, 16), maxout=64)])
    seeds.append([write(m, PIPE, rpc_bind()), read(m + 1, PIPE, 4280, tid=IPC),
                  write(m + 2, PIPE, rpc_enum(2)), read(m + 3, PIPE, 100, tid=IPC), read(m + 4, PIPE, 4280, tid=IPC)])
    seeds.append([ioctl(m, ANY, 0x00140204, bytes(24), tid=DISK), ioctl(m + 1, ANY, 0x00060194, b"\0" * 8, tid=IPC),
                  ioctl(m + 2, FILE, 0x00090078, b"", tid=DISK)])
    seeds.append([compound([create(m, "sub\\c.txt"), related(read(m + 1, ANY)), related(qinfo(m + 2, ANY, 1, 5)),
                            related(close(m + 3, ANY))])])
    seeds.append([compound([create(m, "missing.txt"), related(read(m + 1, ANY)), related(close(m + 2, ANY))])])
    seeds.append([compound([create(m, "", opts=1, access=0x00100081), related(qdir(m + 1, ANY, 37, "*")),
                            related(close(m + 2, ANY))])])
    seeds.append([create(m, "in_link\\c.txt"), create(m + 1, "out_link\\vl2canary.txt"), create(m + 2, "out_file"),
                  create(m + 3, "b.bin"), read(m + 4, 0x61, 65536, 4096), create(m + 5, "\u00fcn\u00ef.txt")])
    seeds.append([create(m, "a.txt", access=0x40000000), create(m + 1, "a.txt", disp=2), create(m + 2, "a.txt", opts=0x1000),
                  create(m + 3, "..\\x"), create(m + 4, "srvsvc", tid=IPC), create(m + 5, "lsarpc", tid=IPC)])
    seeds.append([small(7, m, DISK), write(m + 1, FILE, b"data", tid=DISK), small(10, m + 2, DISK), small(17, m + 3, DISK),
                  small(12, m + 4), small(13, m + 5), small(15, m + 6, DISK), small(18, m + 7, DISK)])
    mxac = context(b"MxAc", nxt=24)
    seeds.append([create(m, "a.txt", contexts=context(b"QFid")), create(m + 1, "sub", opts=1, access=0x00100081,
                                                                         contexts=mxac + context(b"QFid")),
                  create(m + 2, "a.txt", contexts=context(b"DHnQ", bytes(16)))])
    seeds.append([close(m, FILE), close(m + 1, FILE), close(m + 2, DIR, flags=0), close(m + 3, PIPE, IPC),
                  read(m + 4, FILE)])
    seeds.append([small(4, m, DISK), read(m + 1, FILE), small(4, m + 2, DISK), small(2, m + 3), read(m + 4, FILE)])
    seeds.append([hdr(13, m, flags=8) + struct.pack("<HH", 4, 0), tree_connect(m + 1, "\\\\x\\share"),
                  tree_connect(m + 2, "\\\\x\\one"), tree_connect(m + 3, "\\\\x\\nope"), tree_connect(m + 4, "")])
    return [b"".join(frame(r) for r in s) for s in seeds]


def conn_fresh():
    neg = hdr(0, 0, sid=0) + struct.pack("<HHHHI", 36, 3, 1, 0, 0x7F) + bytes(16) + bytes(8) + \
        struct.pack("<HHH", 0x202, 0x210, 0x300)
    dialects = b"\x02NT LM 0.12\0\x02SMB 2.002\0\x02SMB 2.???\0"
    smb1 = b"\xffSMBr" + bytes(27) + b"\x00" + struct.pack("<H", len(dialects)) + dialects
    return [frame(neg), frame(smb1) + frame(neg), b"\x81\0\0\x44" + bytes(68) + frame(neg), bytes(4) + frame(neg),
            frame(compound([neg, small(13, 1, sid=0)]))]


def ntlm_negotiate():
    return b"NTLMSSP\0" + struct.pack("<II", 1, 0xE2088297) + bytes(16)


def ntlm_anonymous():
    return b"NTLMSSP\0" + struct.pack("<I", 3) + struct.pack("<HHI", 0, 0, 64) * 6 + struct.pack("<I", 1)


def setup(mid, blob, sid=0):
    return hdr(1, mid, sid=sid) + struct.pack("<HBBIIHHQ", 25, 0, 1, 1, 0, 88, len(blob), 0) + blob


def der(tag, content):
    n = len(content)
    if n < 128:
        return bytes([tag, n]) + content
    if n < 256:
        return bytes([tag, 0x81, n]) + content
    return bytes([tag, 0x82, n >> 8, n & 255]) + content


NTLM_OID = bytes.fromhex("060a2b0601040182370202 0a".replace(" ", ""))
SPNEGO_OID = bytes.fromhex("06062b0601050502")


def spnego_init(tok):
    inner = der(0xA0, der(0x30, NTLM_OID))
    if tok is not None:
        inner += der(0xA2, der(0x04, tok))
    return der(0x60, SPNEGO_OID + der(0xA0, der(0x30, inner)))


def spnego_resp(tok):
    return der(0xA1, der(0x30, der(0xA2, der(0x04, tok))))


def conn_negotiated():
    return [frame(setup(1, ntlm_negotiate())) + frame(setup(2, ntlm_anonymous())),
            frame(setup(1, spnego_init(ntlm_negotiate()))) + frame(setup(2, spnego_resp(ntlm_anonymous()))),
            frame(setup(1, spnego_init(None))) + frame(setup(2, b"\x60\x00")),
            frame(setup(1, b"")) + frame(small(2, 2))]


def conn_guest():
    return [frame(tree_connect(3, "\\\\127.0.0.1\\share")) + frame(create(4, "a.txt")) + frame(read(5, 0x21)),
            frame(tree_connect(3, "\\\\127.0.0.1\\IPC$")) + frame(create(4, "srvsvc", tid=1)) +
            frame(ioctl(5, 0x21, FSCTL_PIPE_TRANSCEIVE, rpc_bind(), tid=1)) +
            frame(ioctl(6, 0x21, FSCTL_PIPE_TRANSCEIVE, rpc_enum(1), tid=1)),
            frame(tree_connect(3, "\\\\127.0.0.1\\one")) + frame(create(4, "", opts=0)) + frame(small(4, 5, 1)),
            frame(setup(3, ntlm_anonymous())) + frame(small(2, 4)) + frame(tree_connect(5, "\\\\x\\share"))]


def spnego_seeds():
    return [spnego_init(ntlm_negotiate()), spnego_init(None), spnego_resp(ntlm_anonymous()), ntlm_negotiate(),
            der(0x60, bytes.fromhex("060a2b06010401823702020a") + ntlm_negotiate()),
            spnego_init(b"")]


def names_seeds():
    return [b"a\\b//c\\", b"a/./b", b"...", b"sub\\deeper\\", b"\\\\server\\share\\x", b"*.txt\0readme.TXT",
            b"a?c\0abc", b"*a*b\0xaxxb", b"\0", "\u00fcn\u00ef.txt".encode(), u16("A\U0001F600z"),
            b"\x3d\xd8\x00\xde", b"\xed\xa0\x80", b"\xc0\x80", b"*" * 40 + b"b\0" + b"a" * 200,
            b"x/" * 64 + b"y", b"n " + b"\x7f"]


def addr_seeds():
    return [b"127.0.0.1", b"::1", b"[fe80::1%eth0]", b"::ffff:10.0.0.0/104", b"10.1.2.3/8", b"2001:db8::1:0:0:1",
            b"1:2:3:4:5:6:1.2.3.4", b"0.0.0.0/0", b"::/0", b"010.001.2.3", b"00 ff\tA0\r\nbc", b"abc",
            b"1:2:3:4:5:6:7::", b"::1.2.3.4/128"]


def simulate_seeds(negotiate_hex):
    return [b"", b"# only a comment\n\n",
            ("# negotiate\r\n" + negotiate_hex + "  \r\n00000000\n").encode(),
            ("!" + negotiate_hex[:40] + "\n!" + negotiate_hex[40:] + "\n!zz\n!0000\n").encode(),
            ("81000044" + "00" * 68 + "\n" + negotiate_hex + "\n000000\n").encode(),
            ("ff000000\n").encode()]


class Corpus:
    def __init__(self, root):
        self.root = root

    def add(self, target, data):
        d = os.path.join(self.root, target)
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "hand-" + hashlib.sha1(data).hexdigest()[:12]), "wb") as f:
            f.write(data)


def main():
    c = Corpus(sys.argv[1])
    for s in conn_fresh():
        c.add("conn_fresh", s)
    for s in conn_negotiated():
        c.add("conn_negotiated", s)
        c.add("conn_traced", s)
    for s in conn_guest():
        c.add("conn_guest", s)
    for s in conn_files():
        c.add("conn_files", s)
        c.add("conn_signed", signed(s))
    for s in spnego_seeds():
        c.add("spnego", s)
    c.add("ntlm_auth", ntlm_anonymous())
    for s in (rpc_bind(), rpc_enum(1), rpc_enum(2), rpc_enum(502), rpc_enum(1, opnum=16), rpc_bind()[:20]):
        c.add("srvsvc", s)
    for s in create_ctx_seeds():
        c.add("create_ctx", s)
    for s in names_seeds():
        c.add("names", s)
    for s in addr_seeds():
        c.add("addr", s)
    for s in simulate_seeds(conn_fresh()[0].hex()):
        c.add("simulate", s)


if __name__ == "__main__":
    main()
