#!/usr/bin/env bash
# Sequential read throughput: smbclient `get` of a 1 GiB file to /dev/null
# from `vlsmb2s serve` over loopback, beside plain loopback TCP carrying the
# same bytes in the same run.
#   BUILD=dir    build directory (default build-bench-read, built if needed)
#   SIZE_MB=n    file size in MiB (default 1024)
#   SPARSE=1     make a sparse file instead of random bytes
#   PROTO=...    smbclient max protocol (default SMB2_10: 1 MiB reads)
set -euo pipefail
BUILD=${BUILD:-build-bench-read}
SIZE_MB=${SIZE_MB:-1024}
PROTO=${PROTO:-SMB2_10}
. "$(dirname "$0")/common.sh"

mkdir "$work/share"
file="$work/share/big.bin"
if [ "${SPARSE:-0}" = 1 ]; then
  truncate -s "${SIZE_MB}M" "$file"
else
  head -c "$((SIZE_MB * 1048576))" /dev/urandom > "$file"
fi
bytes=$(stat -c %s "$file")
cat "$file" > /dev/null  # both runs read from the page cache

serve "$work/share"
mbps() { awk -v b="$bytes" -v t="$1" 'BEGIN { printf "%.1f", b / t / 1e6 }'; }

t0=$(now)
smbclient //127.0.0.1/bench -p "$port" -U guest% -m "$PROTO" -c "get big.bin /dev/null" >"$work/smb.log" 2>&1 || {
  cat "$work/smb.log"; exit 1; }
t1=$(now)
smb_s=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')

# The same bytes over a plain loopback TCP connection: read from the file in
# 1 MiB pieces and sent, received into a reused buffer and dropped.
tcp_s=$("$PY" - "$file" <<'EOF'
import socket, sys, threading, time
path = sys.argv[1]
lst = socket.socket(); lst.bind(("127.0.0.1", 0)); lst.listen(1)
got = [0]
def receive():
    c, _ = lst.accept()
    buf = bytearray(1 << 20); view = memoryview(buf)
    while True:
        n = c.recv_into(view)
        if not n: break
        got[0] += n
    c.close()
th = threading.Thread(target=receive); th.start()
t0 = time.monotonic()
s = socket.create_connection(lst.getsockname())
with open(path, "rb", buffering=0) as f:
    buf = bytearray(1 << 20); view = memoryview(buf)
    while True:
        n = f.readinto(buf)
        if not n: break
        s.sendall(view[:n])
s.shutdown(socket.SHUT_WR); th.join(); s.close()
print(time.monotonic() - t0)
EOF
)

echo "file:       $bytes bytes ($([ "${SPARSE:-0}" = 1 ] && echo sparse || echo random)), smbclient -m $PROTO"
echo "smbclient:  $(printf %.3f "$smb_s") s  $(mbps "$smb_s") MB/s   ($(grep -o '([0-9.]* KiloBytes/sec)' "$work/smb.log" | head -1))"
echo "raw TCP:    $(printf %.3f "$tcp_s") s  $(mbps "$tcp_s") MB/s"
