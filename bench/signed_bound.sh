#!/usr/bin/env bash
# Where a signed sequential read spends its CPU: smbclient (signing required)
# reads the 1 GiB big.bin to /dev/null with the server pinned to core 0 and
# the client to core 1, first from `vlsmb2s serve`, then from the peer server
# of the kit in ../shared/bench. Each core's busy time comes from /proc/stat,
# so the figures count everything done on that core, the kernel's TCP work
# included. client_bound_MB/s is what the client alone could take if it never
# waited for the server: the file's size over the client core's busy time.
#   CORPUS=dir   the kit's corpus (default /tmp/vlbench-corpus, built if missing)
#   RUNS=n       reads per server (default 5); medians are printed
#   BUILD=dir    build directory (default build-bench)
set -euo pipefail
BUILD=${BUILD:-build-bench}
CORPUS=${CORPUS:-/tmp/vlbench-corpus}
RUNS=${RUNS:-5}
. "$(dirname "$0")/common.sh"
kit=$PWD/../shared/bench
[ "$(nproc)" -ge 2 ] || { echo "signed_bound.sh: needs two cores" >&2; exit 1; }
[ -f "$CORPUS/big.bin" ] || "$kit/make_corpus.sh" "$CORPUS" >&2
cat "$CORPUS/big.bin" >/dev/null
bytes=$(stat -c %s "$CORPUS/big.bin")

peer_port=""
stop_all() {
  if [ -n "$peer_port" ]; then "$kit/samba_peer.sh" stop "$peer_port" >/dev/null 2>&1 || true; fi
  cleanup
}
trap stop_all EXIT

# A private client configuration: nothing from /etc/samba.
mkdir -p "$work"/{lock,state,cache,private}
cat >"$work/client.conf" <<EOF
[global]
    lock directory = $work/lock
    state directory = $work/state
    cache directory = $work/cache
    private dir = $work/private
    log file = $work/log.%m
    client min protocol = SMB2_02
    client max protocol = SMB2_10
EOF

busy() {  # CORE: busy jiffies of that core so far
  awk -v c="cpu$1" '$1 == c { print $2 + $3 + $4 + $7 + $8 + $9 }' /proc/stat
}

# measure LABEL PORT: RUNS pinned signed reads, then one line of medians.
measure() {
  local label=$1 p=$2 i t0 t1 s0 s1 c0 c1 hz
  hz=$(getconf CLK_TCK)
  : >"$work/runs"
  for i in $(seq 1 "$RUNS"); do
    s0=$(busy 0); c0=$(busy 1); t0=$(now)
    taskset -c 1 smbclient -s "$work/client.conf" //127.0.0.1/share -p "$p" -m SMB2_10 \
      -U bench%benchpw --option='client signing=required' -c 'get big.bin /dev/null' \
      >"$work/get.log" 2>&1 || { cat "$work/get.log" >&2; exit 1; }
    t1=$(now); s1=$(busy 0); c1=$(busy 1)
    grep -q "getting file" "$work/get.log" || { cat "$work/get.log" >&2; exit 1; }
    awk -v b="$bytes" -v w="$(awk -v a="$t0" -v z="$t1" 'BEGIN { print z - a }')" \
      -v s="$(( s1 - s0 ))" -v c="$(( c1 - c0 ))" -v hz="$hz" 'BEGIN {
        gib = b / 1073741824
        printf "%.0f %.3f %.3f %.0f\n", b / w / 1e6, s / hz / gib, c / hz / gib, b / (c / hz) / 1e6 }' \
      >>"$work/runs"
  done
  awk -v label="$label" '
    { for (k = 1; k <= 4; k++) v[k, NR] = $k }
    END {
      for (k = 1; k <= 4; k++) {
        for (x = 1; x <= NR; x++) a[x] = v[k, x]
        for (x = 1; x <= NR; x++) for (y = x + 1; y <= NR; y++) if (a[y] + 0 < a[x] + 0) { t = a[x]; a[x] = a[y]; a[y] = t }
        m[k] = NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2
      }
      printf "%-6s %10.0f %16.3f %16.3f %18.0f\n", label, m[1], m[2], m[3], m[4]
    }' "$work/runs"
}

setsid taskset -c 0 "$BUILD/vlsmb2s" serve --share "share=$CORPUS" --user bench:benchpw \
  --bind 127.0.0.1 --port 0 --port-file "$work/port" >"$work/ours.log" 2>&1 &
srv=$!
for _ in $(seq 1 200); do [ -s "$work/port" ] && break; sleep 0.05; done
[ -s "$work/port" ] || { cat "$work/ours.log" >&2; exit 1; }

peer_port=$("$PY" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
SAMBA_EXTRA=${PEER_EXTRA:-smb2 max read = 1048576} taskset -c 0 \
  "$kit/samba_peer.sh" start "$peer_port" "$CORPUS" >/dev/null

echo "signed sequential read of $bytes bytes, server on core 0, smbclient on core 1, median of $RUNS"
printf "%-6s %10s %16s %16s %18s\n" server "MB/s" "core0_s_per_GiB" "core1_s_per_GiB" "client_bound_MB/s"
measure ours "$(cat "$work/port")"
measure peer "$peer_port"
