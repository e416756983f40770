"""Logons that insist on integrity: real clients asking for NTLM signing
(and with it the AUTHENTICATE MIC and the SPNEGO mechListMIC), and a client
written here from the protocol, over SPNEGO and raw NTLM, with and without
key exchange, whose mechListMIC can be damaged on purpose."""
import hashlib
import hmac
import struct
import subprocess
import sys
import unittest

import rawsmb as R
import smbc
from Cryptodome.Cipher import ARC4
from impacket import ntlm
from impacket.spnego import SPNEGO_NegTokenInit, TypesMech
from serverproc import Server

PROG = sys.argv.pop(1)
ACCOUNT = ("--user", "alice:Secret-1")
NTLMSSP = TypesMech["NTLMSSP - Microsoft NTLM Security Support Provider"]
KEY_EXCH = ntlm.NTLMSSP_NEGOTIATE_KEY_EXCH


def der(tag, content):
    n = len(content)
    size = bytes([n]) if n < 128 else bytes([0x81, n]) if n < 256 else bytes([0x82, n >> 8, n & 0xFF])
    return bytes([tag]) + size + content


def neg_token_resp(token, mic):
    """negTokenResp { responseToken [2], mechListMIC [3] }."""
    return der(0xa1, der(0x30, der(0xa2, der(0x04, token)) + der(0xa3, der(0x04, mic))))


def run(cmd):
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
    return p.returncode, p.stdout.decode("utf-8", "replace")


def smbclient(port, who, *extra):
    return run(["smbclient", "//127.0.0.1/pub", "-p", str(port), "-m", "SMB3_00", "--option=client min protocol=SMB2_02",
                *who, *extra, "-c", "ls; get hello.txt /dev/stdout"])


class RealClients(unittest.TestCase):
    def check(self, rc, text):
        self.assertEqual(rc, 0, text)
        self.assertIn("hello.txt", text)
        self.assertIn("hello\n", text)

    def test_accounts_with_and_without_signing(self):
        with Server(PROG, *ACCOUNT) as srv:
            for extra in ([], ["--client-protection=sign"], ["--option=client signing=required"]):
                with self.subTest(extra=extra):
                    self.check(*smbclient(srv.port, ["-U", "alice%Secret-1"], *extra))
            with self.subTest("wrong password, signing asked"):
                rc, text = smbclient(srv.port, ["-U", "alice%wrong"], "--client-protection=sign")
                self.assertNotEqual(rc, 0)
                self.assertIn("NT_STATUS_LOGON_FAILURE", text)
            rc, text = run(["rpcclient", "-p", str(srv.port), "-U", "alice%Secret-1", "127.0.0.1",
                            "-c", "netshareenumall 1"])
            self.assertEqual(rc, 0, text)
            self.assertIn("netname: pub", text)
            ctx = smbc.Context()
            ctx.optionNoAutoAnonymousLogin = True
            ctx.functionAuthData = lambda *a: ("WORKGROUP", "alice", "Secret-1")
            f = ctx.open("smb://127.0.0.1:%d/pub/hello.txt" % srv.port)
            self.assertEqual(f.read(), b"hello\n")
            f.close()

    def test_server_requiring_signing(self):
        with Server(PROG, *ACCOUNT, "--opt", "signing=required") as srv:
            self.check(*smbclient(srv.port, ["-U", "alice%Secret-1"], "--client-protection=sign"))

    def test_guests_and_anonymous(self):
        with Server(PROG, *ACCOUNT, "--opt", "guest=on") as srv:
            for who, extra in ((["-N"], []), (["-U", "guest%"], []), (["-U", "guest%"], ["--client-protection=sign"]),
                               (["-U", "alice%Secret-1"], ["--client-protection=sign"])):
                with self.subTest(who=who, extra=extra):
                    self.check(*smbclient(srv.port, who, *extra))
            rc, text = run(["rpcclient", "-p", str(srv.port), "-N", "127.0.0.1", "-c", "netshareenumall 1"])
            self.assertEqual(rc, 0, text)


class OwnClient(unittest.TestCase):
    """One logon by hand: impacket makes the NTLM messages, the SPNEGO
    wrapping and both mechListMICs are built here."""

    def logon(self, port, spnego, keyexch, damage_mic=False, password="Secret-1"):
        c = R.Conn(port)
        self.addCleanup(c.close)
        r = c.call(R.NEGOTIATE, R.negotiate_body())
        self.assertEqual(R.status(r), R.SUCCESS)
        t1 = ntlm.getNTLMSSPType1("", "", signingRequired=True)
        if not keyexch:
            t1["flags"] &= ~KEY_EXCH
        init = SPNEGO_NegTokenInit()
        init["MechTypes"] = [NTLMSSP]
        init["MechToken"] = t1.getData()
        r = c.call(R.SESSION_SETUP, R.setup_body(init.getData() if spnego else t1.getData()))
        self.assertEqual(R.status(r), R.MORE_PROCESSING)
        c.sid = struct.unpack_from("<Q", r, 40)[0]
        blob = r[72:72 + struct.unpack_from("<H", r, 70)[0]]
        chal = blob[blob.find(b"NTLMSSP\0"):]
        flags = struct.unpack_from("<I", chal, 20)[0]
        self.assertTrue(flags & ntlm.NTLMSSP_NEGOTIATE_SIGN, hex(flags))  # asked for, so answered
        if not keyexch:  # impacket exchanges keys whenever the CHALLENGE offers it
            chal = chal[:20] + struct.pack("<I", flags & ~KEY_EXCH) + chal[24:]
        t3, key = ntlm.getNTLMSSPType3(t1, chal, "alice", password, "WORKGROUP")
        if not spnego:
            return c, R.status(c.call(R.SESSION_SETUP, R.setup_body(t3.getData()))), key, None
        neg = t3["flags"]
        # The MIC over the DER of the mechTypes list offered (sequence 0).
        mech_types = init.getData()
        types = b"\x30\x0c" + bytes.fromhex("060a2b06010401823702020a")
        self.assertIn(types, mech_types)
        seal = ARC4.new(ntlm.SEALKEY(neg, key, "Client")).encrypt
        mic = ntlm.SIGN(neg, ntlm.SIGNKEY(neg, key, "Client"), types, 0, seal).getData()
        if damage_mic:
            mic = mic[:-1] + bytes([mic[-1] ^ 1])
        r = c.call(R.SESSION_SETUP, R.setup_body(neg_token_resp(t3.getData(), mic)))
        if R.status(r) != R.SUCCESS:
            return c, R.status(r), key, None
        done = r[72:72 + struct.unpack_from("<H", r, 70)[0]]
        # accept-completed with mechListMIC: a1 1b 30 19 a0 03 0a 01 00 a3 12 04 10 MIC
        self.assertEqual(done[:13].hex(), "a11b3019a0030a0100a3120410")
        seal = ARC4.new(ntlm.SEALKEY(neg, key, "Server")).encrypt
        want = ntlm.SIGN(neg, ntlm.SIGNKEY(neg, key, "Server"), types, 0, seal).getData()
        return c, R.SUCCESS, key, (done[13:], want)

    def signed_tree_connect(self, c, key):
        body = R.tree_body("\\\\127.0.0.1\\pub")
        h = R.header(R.TREE_CONNECT, c.mid, sid=c.sid, flags=R.FLAG_SIGNED)
        sig = hmac.new(key, h + body, hashlib.sha256).digest()[:16]
        c.mid += 1
        c.send(R.frame(h[:48] + sig + body))
        return R.status(c.recv_frame())

    def test_spnego_and_raw_with_and_without_key_exchange(self):
        with Server(PROG, *ACCOUNT, "--opt", "signing=required") as srv:
            for spnego in (True, False):
                for keyexch in (True, False):
                    with self.subTest(spnego=spnego, keyexch=keyexch):
                        c, st, key, mics = self.logon(srv.port, spnego, keyexch)
                        self.assertEqual(st, R.SUCCESS)
                        if spnego:  # ours holds under the server-to-client keys
                            self.assertEqual(mics[0], mics[1])
                        # The key both sides derived signs the next request.
                        self.assertEqual(self.signed_tree_connect(c, key), R.SUCCESS)

    def test_damaged_mech_list_mic_fails_the_logon(self):
        with Server(PROG, *ACCOUNT) as srv:
            for keyexch in (True, False):
                with self.subTest(keyexch=keyexch):
                    _, st, _, _ = self.logon(srv.port, True, keyexch, damage_mic=True)
                    self.assertEqual(st, R.LOGON_FAILURE)


if __name__ == "__main__":
    unittest.main()
