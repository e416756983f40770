#!/usr/bin/env bash
# Captures smbclient and impacket sessions against a local server on a
# loopback port and cuts them into fuzz/corpus/ (run once; the result is
# kept in the repo). Usage: fuzz/tools/capture.sh PATH/TO/vlsmb2s
# The clock is fixed so the challenge and the session ids match the ones the
# fuzz targets use; the account matches the one ntlm_auth checks.
set -euo pipefail
bin=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
corpus=$here/../corpus
work=$(mktemp -d)
srv=
cap=
cleanup() {
  [ -n "$cap" ] && kill -INT "$cap" 2>/dev/null && wait "$cap" 2>/dev/null || true
  [ -n "$srv" ] && kill "$srv" 2>/dev/null && wait "$srv" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/share/sub"
echo hello >"$work/share/hello.txt"
head -c 100000 /dev/zero | tr '\0' 'z' >"$work/share/big.bin"
echo x >"$work/share/sub/x.txt"
"$bin" serve --share "pub=$work/share" --user alice:secret --opt clock=1700000000 \
  --port 0 --port-file "$work/port" >"$work/serve.log" 2>&1 &
srv=$!
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")

tshark -q -i lo -f "tcp port $port" -w "$work/cap.pcap" >"$work/tshark.log" 2>&1 &
cap=$!
for _ in $(seq 100); do grep -q Capturing "$work/tshark.log" && break; sleep 0.1; done
sleep 1

sc() { timeout 60 smbclient -U alice%secret -p "$port" "$@" >/dev/null 2>&1 || true; }
sc -L //127.0.0.1
sc //127.0.0.1/pub -c 'ls; get hello.txt /dev/null; get big.bin /dev/null; cd sub; ls *.txt; allinfo x.txt'
sc -m SMB2_02 //127.0.0.1/pub -c 'ls; get hello.txt /dev/null'
for d in "" 202; do
  timeout 60 /usr/bin/python3 "$here/impacket_session.py" "$port" alice secret $d >/dev/null 2>&1 || true
done
sleep 1
kill -INT "$cap"; wait "$cap" || true
cap=

rm -rf "$corpus"
/usr/bin/python3 "$here/split_capture.py" "$work/cap.pcap" "$port" "$corpus"
/usr/bin/python3 "$here/make_seeds.py" "$corpus"
du -sh "$corpus"
