#!/usr/bin/env bash
# Listing and tree-copy times with smbclient against `vlsmb2s serve` over
# loopback: `ls` of a folder of 100,000 entries, and a recursive `mget` of a
# tree of 2,000 small files (20 folders of 100 files, 1-8 KiB each).
#   BUILD=dir    build directory (default build-bench-listing, built if needed)
#   RUNS=n       runs of each figure; the median is printed (default 3)
#   PROTO=...    smbclient max protocol (default SMB2_10)
set -euo pipefail
BUILD=${BUILD:-build-bench-listing}
RUNS=${RUNS:-3}
PROTO=${PROTO:-SMB2_10}
. "$(dirname "$0")/common.sh"

"$PY" - "$work/share" <<'EOF'
import os, sys
root = sys.argv[1]
many = os.path.join(root, "many")
os.makedirs(many)
for i in range(100000):
    os.close(os.open(os.path.join(many, "entry-%06d.dat" % i), os.O_CREAT | os.O_WRONLY, 0o644))
for d in range(20):
    folder = os.path.join(root, "tree", "folder %02d" % d)
    os.makedirs(folder)
    for i in range(100):
        with open(os.path.join(folder, "file-%03d.bin" % i), "wb") as f:
            f.write(os.urandom(1024 * (1 + (d * 100 + i) % 8)))
EOF

serve "$work/share"
smb() { smbclient //127.0.0.1/bench -p "$port" -U guest% -m "$PROTO" --option='client min protocol=SMB2_02' -c "$1"; }
median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

# One run of a command: its seconds; the output is checked by the caller.
timed() {
  local t0 t1
  t0=$(now)
  smb "$1" >"$work/out.log" 2>&1 || { cat "$work/out.log" >&2; exit 1; }
  t1=$(now)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f\n", b - a }'
}

ls_times=()
for _ in $(seq 1 "$RUNS"); do
  ls_times+=("$(timed 'cd many; ls')")
  n=$(grep -c '^  entry-' "$work/out.log" || true)
  [ "$n" = 100000 ] || { echo "ls listed $n entries, not 100000" >&2; exit 1; }
done

mget_times=()
for _ in $(seq 1 "$RUNS"); do
  rm -rf "$work/copy"; mkdir "$work/copy"
  mget_times+=("$(timed "cd tree; recurse ON; prompt OFF; lcd $work/copy; mget *")")
  n=$(find "$work/copy" -type f | wc -l)
  [ "$n" = 2000 ] || { echo "mget copied $n files, not 2000" >&2; exit 1; }
done
diff -r "$work/share/tree" "$work/copy" >/dev/null || { echo "the copied tree differs" >&2; exit 1; }

echo "smbclient -m $PROTO, median of $RUNS runs"
echo "ls of 100,000 entries:         $(printf '%s\n' "${ls_times[@]}" | median) s   (runs: ${ls_times[*]})"
echo "mget of 2,000 files (~9 MiB):  $(printf '%s\n' "${mget_times[@]}" | median) s   (runs: ${mget_times[*]})"
