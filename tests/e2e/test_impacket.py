#!/usr/bin/python3
"""A real SMB2 client (impacket) against `vlsmb2s serve`.

usage: test_impacket.py PATH_TO_vlsmb2s [unittest args]
"""
import hashlib
import hmac
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from serverproc import Server  # noqa: E402

from impacket import smb3, smb3structs as s3  # noqa: E402
from impacket.smbconnection import SMBConnection, SessionError  # noqa: E402

PROG = None
STATUS_LOGON_FAILURE = 0xC000006D
SIGNED = 0x00000008


def connect(port, dialect=s3.SMB2_DIALECT_21):
    return SMBConnection("127.0.0.1", "127.0.0.1", sess_port=port, preferredDialect=dialect, timeout=10)


class RawReplies:
    """Keeps the exact bytes of every reply the connection receives."""

    def __init__(self, smb):
        self.frames = []
        nb = smb._NetBIOSSession
        inner = nb.recv_packet

        def recv_packet(timeout=None):
            pkt = inner(timeout)
            self.frames.append(pkt.get_trailer())
            return pkt
        nb.recv_packet = recv_packet


def echo_raw(smb):
    """Sends one ECHO through the connection's own signing; returns the reply bytes."""
    raw = RawReplies(smb)
    pkt = smb.SMB_PACKET()
    pkt["Command"] = s3.SMB2_ECHO
    pkt["Data"] = s3.SMB2Echo()
    mid = smb.sendSMB(pkt)
    ans = smb.recvSMB(mid)
    return ans, raw.frames[-1]


class Dialects(unittest.TestCase):
    def test_both_dialects_negotiate_and_log_on(self):
        with Server(PROG, "--user", "alice:secret") as srv:
            for dialect in (s3.SMB2_DIALECT_21, s3.SMB2_DIALECT_002):
                with self.subTest(dialect=hex(dialect)):
                    c = connect(srv.port, dialect)
                    self.assertEqual(dialect, c.getDialect())
                    c.login("alice", "secret")
                    self.assertFalse(c.isGuestSession())
                    self.assertTrue(c.getSMBServer().echo())
                    c.logoff()
                    c.close()


class Logon(unittest.TestCase):
    def test_guest_logon(self):
        with Server(PROG, "--opt", "guest=on", "--user", "alice:secret") as srv:
            for user, password in (("", ""), ("nobody", "whatever"), ("alice", "secret")):
                with self.subTest(user=user):
                    c = connect(srv.port)
                    c.login(user, password)
                    self.assertTrue(c.isGuestSession())
                    c.close()

    def test_wrong_password_is_refused(self):
        with Server(PROG, "--user", "alice:secret") as srv:
            c = connect(srv.port)
            with self.assertRaises(SessionError) as caught:
                c.login("alice", "wrong")
            self.assertEqual(STATUS_LOGON_FAILURE, caught.exception.getErrorCode())
            c.close()
            c = connect(srv.port)
            with self.assertRaises(SessionError):
                c.login("mallory", "secret")
            c.close()


class Signing(unittest.TestCase):
    def test_required_signing_signs_echo_replies(self):
        with Server(PROG, "--opt", "signing=required", "--user", "alice:secret") as srv:
            for dialect in (s3.SMB2_DIALECT_21, s3.SMB2_DIALECT_002):
                with self.subTest(dialect=hex(dialect)):
                    c = connect(srv.port, dialect)
                    self.assertTrue(c.isSigningRequired())
                    c.login("alice", "secret")
                    smb = c.getSMBServer()
                    self.assertTrue(smb._Session["SigningActivated"])
                    key = smb._Session["SessionKey"]  # 2.x signs with the session key itself
                    for _ in range(3):
                        ans, raw = echo_raw(smb)
                        self.assertEqual(0, ans["Status"])
                        flags = int.from_bytes(raw[16:20], "little")
                        self.assertTrue(flags & SIGNED, "reply not signed")
                        zeroed = raw[:48] + bytes(16) + raw[64:]
                        want = hmac.new(key, zeroed, hashlib.sha256).digest()[:16]
                        self.assertEqual(want, raw[48:64], "reply signature does not verify")
                    # A request signed with the wrong key is refused.
                    smb._Session["SessionKey"] = bytes(16)
                    ans, _ = echo_raw(smb)
                    self.assertEqual(0xC0000022, ans["Status"])
                    smb._Session["SessionKey"] = key
                    self.assertTrue(smb.echo())
                    c.close()


def context(tag, data=b"", last=True):
    """One create context as impacket lays it out: name at 16, data at 24."""
    ctx = s3.SMB2CreateContext()
    ctx["NameOffset"], ctx["NameLength"] = 16, len(tag)
    ctx["DataOffset"], ctx["DataLength"] = (24 if data else 0), len(data)
    ctx["Buffer"] = tag + bytes(4) + data
    if not last:
        ctx["Next"] = (len(ctx.getData()) + 7) // 8 * 8
        ctx["Buffer"] += bytes(ctx["Next"] - len(ctx.getData()))
    return ctx


class CreateContexts(unittest.TestCase):
    def test_answered_ignored_and_refused_contexts(self):
        with Server(PROG) as srv:
            c = connect(srv.port)
            c.login("guest", "")
            smb = c.getSMBServer()
            tid = c.connectTree("pub")
            # A snapshot listing sends a timewarp token: no snapshots here,
            # so it lists what there is.
            names = [f.get_longname() for f in c.listPath("pub", "@GMT-2024.01.01-00.00.00\\*")]
            self.assertIn("hello.txt", names)
            raw = RawReplies(smb)
            asked = [context(b"DHnQ", bytes(16), False), context(b"MxAc", b"", False),
                     context(b"RqLs", bytes(32), False), context(b"QFid")]
            fid = smb.create(tid, "hello.txt", s3.FILE_READ_DATA, s3.FILE_SHARE_READ, 0, s3.FILE_OPEN, 0,
                             createContexts=asked)
            body = raw.frames[-1][64:]
            off, length = int.from_bytes(body[80:84], "little"), int.from_bytes(body[84:88], "little")
            answers, at = {}, off
            while True:
                ctx = s3.SMB2CreateContext(raw.frames[-1][at:off + length])
                name = ctx["Buffer"][:ctx["NameLength"]]
                start = at + ctx["DataOffset"]
                answers[name] = raw.frames[-1][start:start + ctx["DataLength"]]
                if not ctx["Next"]:
                    break
                at += ctx["Next"]
            self.assertEqual([b"MxAc", b"QFid"], list(answers))
            self.assertEqual((0, 0x001200A9), (int.from_bytes(answers[b"MxAc"][:4], "little"),
                                               int.from_bytes(answers[b"MxAc"][4:], "little")))
            self.assertEqual(os.stat(os.path.join(srv.share_dir, "hello.txt")).st_ino,
                             int.from_bytes(answers[b"QFid"][:8], "little"))
            smb.close(tid, fid)
            # No handle is durable, so a reconnect finds nothing.
            with self.assertRaises(smb3.SessionError) as e:
                smb.create(tid, "hello.txt", s3.FILE_READ_DATA, s3.FILE_SHARE_READ, 0, s3.FILE_OPEN, 0,
                           createContexts=[context(b"DHnC", bytes(16))])
            self.assertEqual(0xC0000034, e.exception.get_error_code())
            c.close()


if __name__ == "__main__":
    PROG = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
