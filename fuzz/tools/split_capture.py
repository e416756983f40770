#!/usr/bin/python3
"""Cuts a loopback capture of client sessions into the fuzz seed corpora.

Usage: split_capture.py CAPTURE.pcap SERVER_PORT CORPUS_DIR

The TCP payloads are read with tshark, joined per connection and direction,
and cut into frames at the 4-byte frame prefix. Client frames then feed the
connection-loop targets (whole conversations and their tails after the
negotiate and the logon), and the pieces inside them feed the others: the
session-setup blobs (spnego), the NTLM AUTHENTICATE messages (ntlm_auth), the
DCE/RPC PDUs of the srvsvc pipe (srvsvc), CREATE names and search patterns
(names) and each conversation as a simulator script (simulate).
"""
import hashlib
import os
import struct
import subprocess
import sys

CONV_CAP = 48 * 1024     # bytes of one conversation seed
SCRIPT_CAP = 60 * 1024   # bytes of one simulator script


def payloads(pcap, port):
    out = subprocess.run(
        ["tshark", "-r", pcap, "-o", "tcp.desegment_tcp_streams:FALSE", "-Y", "tcp.len > 0",
         "-T", "fields", "-e", "tcp.stream", "-e", "tcp.dstport", "-e", "tcp.payload"],
        check=True, capture_output=True, text=True).stdout
    streams = {}
    for line in out.splitlines():
        parts = line.split("\t")
        if len(parts) != 3 or not parts[2]:
            continue
        sid, dport, hexdata = int(parts[0]), int(parts[1]), parts[2].replace(":", "")
        c2s, s2c = streams.setdefault(sid, (bytearray(), bytearray()))
        (c2s if dport == port else s2c).extend(bytes.fromhex(hexdata))
    return [streams[k] for k in sorted(streams)]


def frames(stream):
    """Whole frames (prefix included) in order; a cut-off tail is dropped."""
    out, pos = [], 0
    while pos + 4 <= len(stream):
        n = int.from_bytes(stream[pos + 1:pos + 4], "big")
        if pos + 4 + n > len(stream):
            break
        out.append(bytes(stream[pos:pos + 4 + n]))
        pos += 4 + n
    return out


def cmd(f):
    b = f[4:]
    if len(b) >= 64 and b[:4] == b"\xfeSMB":
        return struct.unpack_from("<H", b, 12)[0]
    return -1


def requests(f):
    """(command, body) of every request of a compound frame."""
    b, off, out = f[4:], 0, []
    while off + 64 <= len(b) and b[off:off + 4] == b"\xfeSMB":
        nxt = struct.unpack_from("<I", b, off + 20)[0]
        end = off + nxt if nxt else len(b)
        out.append((struct.unpack_from("<H", b, off + 12)[0], b[off:end]))
        if not nxt or end > len(b):
            break
        off = end
    return out


def region(req, off, n):
    return req[off:off + n] if off >= 64 and off + n <= len(req) else b""


class Corpus:
    def __init__(self, root):
        self.root = root

    def add(self, target, data):
        if not data:
            return
        d = os.path.join(self.root, target)
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, hashlib.sha1(data).hexdigest()[:16]), "wb") as f:
            f.write(data)


def capped(frs, cap):
    out = bytearray()
    for f in frs:
        if len(out) + len(f) > cap:
            break
        out.extend(f)
    return bytes(out)


def main():
    pcap, port, root = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    c = Corpus(root)
    for c2s, s2c in payloads(pcap, port):
        cf = frames(c2s)
        if not cf:
            continue
        c.add("conn_fresh", capped(cf, CONV_CAP))
        # Tails after the negotiate and after the logon.
        i = 0
        while i < len(cf) and (cmd(cf[i]) in (0, -1)):
            i += 1
        c.add("conn_negotiated", capped(cf[i:], CONV_CAP))
        c.add("conn_traced", capped(cf[i:], CONV_CAP))
        last_setup = max((k for k, f in enumerate(cf) if cmd(f) == 1), default=-1)
        tail = cf[last_setup + 1:]
        c.add("conn_guest", capped(tail, CONV_CAP))
        for f in tail:
            c.add("conn_files", f)
            c.add("conn_signed", f)
        script = "# captured client conversation\n" + "".join(f.hex() + "\n" for f in cf)
        c.add("simulate", script[:SCRIPT_CAP].rsplit("\n", 1)[0].encode() + b"\n")
        for f in cf:
            for command, req in requests(f):
                if command == 1 and len(req) >= 64 + 24:
                    boff, blen = struct.unpack_from("<HH", req, 64 + 12)
                    blob = region(req, boff, blen)
                    c.add("spnego", blob)
                    at = blob.find(b"NTLMSSP\0\x03\0\0\0")
                    if at >= 0:
                        c.add("ntlm_auth", blob[at:])
                elif command == 5 and len(req) >= 64 + 56:
                    noff, nlen = struct.unpack_from("<HH", req, 64 + 44)
                    name = region(req, noff, nlen)
                    try:
                        c.add("names", name.decode("utf-16-le").encode())
                    except UnicodeDecodeError:
                        pass
                    c.add("names", name)
                elif command == 14 and len(req) >= 64 + 32:
                    poff, plen = struct.unpack_from("<HH", req, 64 + 24)
                    pat = region(req, poff, plen)
                    try:
                        c.add("names", pat.decode("utf-16-le").encode())
                    except UnicodeDecodeError:
                        pass
                elif command == 11 and len(req) >= 64 + 56:
                    ioff, ilen = struct.unpack_from("<II", req, 64 + 24)
                    c.add("srvsvc", region(req, ioff, ilen))
                elif command == 9 and len(req) >= 64 + 48:
                    doff, dlen = struct.unpack_from("<HI", req, 64 + 2)
                    c.add("srvsvc", region(req, doff, dlen))
        # The server's NEGOTIATE token is a NegTokenInit too.
        for f in frames(s2c):
            if cmd(f) == 0 and len(f) >= 4 + 64 + 64:
                toff, tlen = struct.unpack_from("<HH", f, 4 + 64 + 56)
                c.add("spnego", f[4 + toff:4 + toff + tlen])


if __name__ == "__main__":
    main()
