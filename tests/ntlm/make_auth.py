#!/usr/bin/python3
"""Makes client NTLM/SPNEGO messages with impacket, an independent client.

Given our CHALLENGE (hex; either the bare NTLM message or wrapped in our
negTokenResp, which is then unwrapped by impacket's own SPNEGO parser) and
an account, prints one JSON object:
  negotiate      the NEGOTIATE message impacket sends first
  spnego_init    the first SESSION_SETUP blob: NegTokenInit with mechToken
  authenticate   the AUTHENTICATE message
  spnego_resp    the second SESSION_SETUP blob: negTokenResp around it
  session_key    the exported session key the client signs with
  challenge      the bare CHALLENGE the client answered

--no-keyexch clears NEGOTIATE_KEY_EXCH in the challenge the client sees, so
it answers without an encrypted random session key. --seed makes the
client's random choices (client challenge, random session key) repeatable.
The unit tests keep the output as fixed vectors; this script is only
needed to make new ones.

Example:
  make_auth.py --challenge 4e544c4d... --user alice --password pw --domain WG
"""
import argparse
import json
import random
import struct

from impacket import ntlm
from impacket.spnego import SPNEGO_NegTokenInit, SPNEGO_NegTokenResp, TypesMech

KEY_EXCH = 0x40000000


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--challenge', required=True)
    ap.add_argument('--user', default='')
    ap.add_argument('--password', default='')
    ap.add_argument('--domain', default='')
    ap.add_argument('--workstation', default='CLIENT01')
    ap.add_argument('--no-keyexch', action='store_true')
    ap.add_argument('--seed', type=int, default=None)
    a = ap.parse_args()
    if a.seed is not None:
        random.seed(a.seed)

    chal = bytes.fromhex(a.challenge)
    if chal[:1] == b'\xa1':
        chal = SPNEGO_NegTokenResp(chal)['ResponseToken']
    if a.no_keyexch:
        flags = struct.unpack_from('<I', chal, 20)[0] & ~KEY_EXCH
        chal = chal[:20] + struct.pack('<I', flags) + chal[24:]

    type1 = ntlm.getNTLMSSPType1(a.workstation, '', signingRequired=not a.no_keyexch, use_ntlmv2=True)
    init = SPNEGO_NegTokenInit()
    init['MechTypes'] = [TypesMech['NTLMSSP - Microsoft NTLM Security Support Provider']]
    init['MechToken'] = type1.getData()

    type3, key = ntlm.getNTLMSSPType3(type1, chal, a.user, a.password, a.domain, use_ntlmv2=True)
    resp = SPNEGO_NegTokenResp()
    resp['ResponseToken'] = type3.getData()

    print(json.dumps({
        'negotiate': type1.getData().hex(),
        'spnego_init': init.getData().hex(),
        'authenticate': type3.getData().hex(),
        'spnego_resp': resp.getData().hex(),
        'session_key': key.hex(),
        'challenge': chal.hex(),
    }, indent=1))


if __name__ == '__main__':
    main()
