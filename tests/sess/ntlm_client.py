#!/usr/bin/python3
"""Client side of NTLMv2 built on impacket, independent of the server's code.

  ntlm_client.py negotiate raw|spnego
      prints the client's first message (bare NTLM NEGOTIATE, or a SPNEGO
      NegTokenInit carrying it) as hex.
  ntlm_client.py auth raw|spnego CHALLENGE_HEX USER PASSWORD DOMAIN [SEED]
      CHALLENGE_HEX is the server's security buffer (bare or SPNEGO-wrapped;
      the NTLM message is located by its signature). Prints two lines: the
      AUTHENTICATE (bare, or wrapped in a negTokenResp) and the exported
      session key, both as hex. SEED makes the client challenge and the
      random session key reproducible.
"""
import random
import sys

from impacket import ntlm
from impacket.spnego import SPNEGO_NegTokenInit, SPNEGO_NegTokenResp, TypesMech

SIG = b"NTLMSSP\x00"
NTLMSSP_MECH = TypesMech["NTLMSSP - Microsoft NTLM Security Support Provider"]


def type1():
    # signingRequired asks for KEY_EXCH, so the exported key is the one the
    # server recovers from the encrypted random session key.
    return ntlm.getNTLMSSPType1("", "", signingRequired=True)


def main(argv):
    if len(argv) >= 2 and argv[0] == "negotiate":
        t1 = type1().getData()
        if argv[1] == "raw":
            print(t1.hex())
        else:
            init = SPNEGO_NegTokenInit()
            init["MechTypes"] = [NTLMSSP_MECH]
            init["MechToken"] = t1
            print(init.getData().hex())
        return 0
    if len(argv) >= 6 and argv[0] == "auth":
        mode, chal_hex, user, password, domain = argv[1:6]
        random.seed(int(argv[6]) if len(argv) > 6 else 1)
        blob = bytes.fromhex(chal_hex)
        at = blob.find(SIG)
        if at < 0:
            print("no NTLM message in the challenge", file=sys.stderr)
            return 2
        t3, key = ntlm.getNTLMSSPType3(type1(), blob[at:], user, password, domain)
        msg = t3.getData()
        if mode == "spnego":
            resp = SPNEGO_NegTokenResp()
            resp["ResponseToken"] = msg
            msg = resp.getData()
        print(msg.hex())
        print(key.hex())
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
