#!/usr/bin/python3
"""One scripted client session for the seed capture: share list, folder
listings, file reads, queries and a refused write. Usage: PORT USER PASS [DIALECT]"""
import io
import sys

from impacket import smb3structs
from impacket.smbconnection import SMBConnection

port, user, password = int(sys.argv[1]), sys.argv[2], sys.argv[3]
dialect = {"202": smb3structs.SMB2_DIALECT_002, "210": smb3structs.SMB2_DIALECT_21}.get(
    sys.argv[4] if len(sys.argv) > 4 else "", None)
c = SMBConnection("127.0.0.1", "127.0.0.1", sess_port=port, preferredDialect=dialect)
c.login(user, password, "WORKGROUP")
for s in c.listShares():
    print(s["shi1_netname"][:-1])
for f in c.listPath("pub", "*"):
    print(f.get_longname())
for f in c.listPath("pub", "sub\\*.txt"):
    print(f.get_longname())
buf = io.BytesIO()
c.getFile("pub", "hello.txt", buf.write)
buf = io.BytesIO()
c.getFile("pub", "big.bin", buf.write)
tid = c.connectTree("pub")
fid = c.openFile(tid, "sub\\x.txt", desiredAccess=smb3structs.FILE_READ_DATA)
c.readFile(tid, fid, 0, 2)
c.closeFile(tid, fid)
for bad in ("..\\etc", "nope.txt"):
    try:
        c.openFile(tid, bad, desiredAccess=smb3structs.FILE_READ_DATA)
    except Exception as e:
        print("refused", bad, str(e)[:40])
try:
    c.putFile("pub", "new.txt", io.BytesIO(b"x").read)
except Exception as e:
    print("refused write", str(e)[:40])
c.disconnectTree(tid)
c.logoff()
c.close()
print("ok")
