#!/usr/bin/env bash
# Measures `vlsmb2s serve` beside the peer server with the kit in
# ../shared/bench (real clients over loopback), alternating the two servers,
# and writes the figures side by side with their ratio (ours / peer).
# Run on demand only; it takes several minutes and loads both cores.
#
#   CORPUS=dir      files served by both (default /tmp/vlbench-corpus; built
#                   with the kit's make_corpus.sh when missing)
#   ROUNDS=n        alternations of the two servers (default 2)
#   RUNS=n          repetitions per figure inside measure.sh (default 3)
#   SKIP="..."      measure.sh figure groups to leave out
#   PEER_EXTRA=...  extra [global] lines of the peer (default: 1 MiB reads)
#   OUT=file        where the table goes (default bench/results/<date>.txt;
#                   "-" for standard output only)
#
# Ours runs twice: the share with the account bench/benchpw and guests on
# (every figure but the signed read), and the same account with guests off
# for the signed read, because with guests on every logon is a guest logon.
# The 2.0.2 figure (CLIENT_MAXPROTO=SMB2_02) is added as seq_read_guest_202.
#
# The SMB 3.1.1 reads (smbclient -m SMB3_11, the account): signed with
# AES-GMAC and with AES-CMAC (seq_read_signed_gmac, _cmac) against a third
# instance of ours that speaks 3.1.1 without encrypting, and encrypted with
# AES-128-GCM and AES-256-GCM (seq_read_encrypted_aes128gcm, _aes256gcm)
# against a fourth with encryption=desired. The peer speaks up to
# SAMBA_MAXPROTO (default SMB3_11); the 2.x figures stay 2.x because the
# client asks for no more. SKIP="smb3" leaves these out.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
kit=$root/../shared/bench
[ -x "$kit/measure.sh" ] || { echo "compare.sh: no measurement kit in $kit" >&2; exit 1; }
for t in smbclient smbd ss /usr/bin/python3; do
    command -v "$t" >/dev/null || { echo "compare.sh: $t is missing" >&2; exit 1; }
done

corpus=${CORPUS:-/tmp/vlbench-corpus}
rounds=${ROUNDS:-2}
export RUNS=${RUNS:-3}
skip=${SKIP:-}
peer_extra=${PEER_EXTRA:-smb2 max read = 1048576}
build=$root/build-bench

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVL2_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target vlsmb2s_cli >/dev/null

if [ ! -f "$corpus/big.bin" ] || [ ! -d "$corpus/many" ] || [ ! -d "$corpus/tree" ]; then
    "$kit/make_corpus.sh" "$corpus"
fi
cat "$corpus/big.bin" >/dev/null  # every server reads from the page cache

work=$(mktemp -d /tmp/vl2compare.XXXXXX)
mkdir "$work/res"
pids=()
peer_port=""
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    if [ -n "$peer_port" ]; then "$kit/samba_peer.sh" stop "$peer_port" >/dev/null 2>&1 || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# serve NAME [option]...: starts our server on a port of the system's choice.
serve() {
    local name=$1
    shift
    # A process group of its own: the kit counts the listener's group as the
    # server, which would otherwise be this script and every client it runs.
    setsid "$build/vlsmb2s" serve --allow-root --share "share=$corpus" --user bench:benchpw --opt max_clients=64 \
        --bind 127.0.0.1 --port 0 --port-file "$work/$name.port" "$@" >"$work/$name.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 1 200); do [ -s "$work/$name.port" ] && break; sleep 0.05; done
    [ -s "$work/$name.port" ] || { echo "compare.sh: $name did not start" >&2; cat "$work/$name.log" >&2; exit 1; }
}
serve ours --opt guest=on
serve ours_signed
serve ours_smb3 --opt max_protocol=3.1.1
serve ours_sealed --opt max_protocol=3.1.1 --opt encryption=desired
ours_port=$(cat "$work/ours.port")
ours_signed_port=$(cat "$work/ours_signed.port")
ours_smb3_port=$(cat "$work/ours_smb3.port")
ours_sealed_port=$(cat "$work/ours_sealed.port")
peer_port=$(free_port)
SAMBA_MAXPROTO=${SAMBA_MAXPROTO:-SMB3_11} SAMBA_EXTRA=$peer_extra "$kit/samba_peer.sh" start "$peer_port" "$corpus" >&2

# kit PORT LABEL FILE: the whole kit, the 2.0.2 reads and (for ours on the
# second instance) the signed read, appended to FILE.
kit_run() {
    local port=$1 label=$2 file=$3 sport=${4:-$1}
    if [ "$sport" = "$port" ]; then
        SKIP="$skip" "$kit/measure.sh" 127.0.0.1 "$port" share "$label" >>"$file"
    else
        SKIP="$skip signed" "$kit/measure.sh" 127.0.0.1 "$port" share "$label" >>"$file"
        case " $skip " in *" signed "*) ;; *)
            SKIP="tcp seq user list mget conn par idle" \
                "$kit/measure.sh" 127.0.0.1 "$sport" share "$label" >>"$file" ;;
        esac
    fi
    case " $skip " in *" seq "*) ;; *)
        CLIENT_MAXPROTO=SMB2_02 SKIP="tcp user signed list mget conn par idle" \
            "$kit/measure.sh" 127.0.0.1 "$port" share "$label" |
            awk '$2 ~ /^seq_read_/ { $2 = $2 "_202" } $2 ~ /^seq_read_/ { print }' >>"$file" ;;
    esac
}

# smb3_run SIGN_PORT SEAL_PORT LABEL FILE: the 3.1.1 reads, each figure
# renamed after its algorithm, appended to FILE.
smb3_run() {
    local sport=$1 eport=$2 label=$3 file=$4 alg
    case " $skip " in *" smb3 "*) return ;; esac
    for alg in GMAC CMAC; do
        CLIENT_MAXPROTO=SMB3_11 CLIENT_OPTS="--option=client smb3 signing algorithms=AES-128-$alg" \
            SKIP="tcp seq user enc list mget conn par idle" "$kit/measure.sh" 127.0.0.1 "$sport" share "$label" |
            awk -v a="${alg,,}" '$2 ~ /seq_read_signed/ { sub(/seq_read_signed/, "seq_read_signed_" a, $2); print }' >>"$file"
    done
    for alg in AES-128-GCM AES-256-GCM; do
        CLIENT_MAXPROTO=SMB3_11 CLIENT_OPTS="--option=client smb3 encryption algorithms=$alg" \
            SKIP="tcp seq user signed list mget conn par idle" "$kit/measure.sh" 127.0.0.1 "$eport" share "$label" |
            awk -v a="$(tr -d - <<<"${alg,,}")" \
                '$2 ~ /seq_read_encrypted/ { sub(/seq_read_encrypted/, "seq_read_encrypted_" a, $2); print }' >>"$file"
    done
}

for r in $(seq 1 "$rounds"); do
    echo "[compare] round $r of $rounds: ours" >&2
    kit_run "$ours_port" "ours$r" "$work/res/ours.$r" "$ours_signed_port"
    smb3_run "$ours_smb3_port" "$ours_sealed_port" "ours$r" "$work/res/ours.$r"
    echo "[compare] round $r of $rounds: peer" >&2
    kit_run "$peer_port" "peer$r" "$work/res/peer.$r"
    smb3_run "$peer_port" "$peer_port" "peer$r" "$work/res/peer.$r"
done

# One file per server with the median of the rounds for every figure.
merge() {
    local label=$1
    shift
    awk -v label="$label" '
        NF >= 4 {
            if (!($2 in unit)) { order[++n] = $2; unit[$2] = $4 }
            if ($3 ~ /^[0-9.]+$/) vals[$2] = vals[$2] " " $3
        }
        END {
            for (i = 1; i <= n; i++) {
                k = order[i]; m = split(vals[k], a, " ")
                for (x = 1; x <= m; x++) for (y = x + 1; y <= m; y++) if (a[y] + 0 < a[x] + 0) { t = a[x]; a[x] = a[y]; a[y] = t }
                if (m == 0) v = "NA"
                else if (m % 2) v = a[(m + 1) / 2]
                else v = sprintf("%.4g", (a[m / 2] + a[m / 2 + 1]) / 2)
                print label, k, v, unit[k]
            }
        }' "$@"
}
merge peer "$work"/res/peer.* >"$work/peer.med"
merge ours "$work"/res/ours.* >"$work/ours.med"

# The goals of the server beside the peer, checked on the medians.
targets() {
    awk '
        FNR == NR { p[$2] = $3; next }
        { o[$2] = $3 }
        function num(x) { return x ~ /^[0-9.e+]+$/ }
        function rel(k, op, want,   r, ok) {
            if (!num(p[k]) || !num(o[k]) || p[k] + 0 == 0) { printf "%-44s %8s  %s\n", k " " op " " want " x peer", "NA", "?"; return }
            r = o[k] / p[k]; ok = op == ">=" ? r >= want : r <= want
            printf "%-44s %8.2f  %s\n", k " " op " " want " x peer", r, ok ? "met" : "MISSED"
        }
        function own(label, v, op, want,   ok) {
            if (!num(v)) { printf "%-44s %8s  %s\n", label, "NA", "?"; return }
            ok = op == ">=" ? v + 0 >= want : v + 0 <= want
            printf "%-44s %8.2f  %s\n", label, v, ok ? "met" : "MISSED"
        }
        END {
            print "target                                          value  result"
            rel("seq_read_guest", ">=", 1.1); rel("seq_read_user", ">=", 1.1)
            if (num(o["tcp_limit_copy"]) && o["tcp_limit_copy"] > 0) {
                own("seq_read_guest / tcp_limit_copy >= 0.85", o["seq_read_guest"] / o["tcp_limit_copy"], ">=", 0.85)
                own("seq_read_user / tcp_limit_copy >= 0.85", o["seq_read_user"] / o["tcp_limit_copy"], ">=", 0.85)
            }
            rel("seq_read_signed", ">=", 1.3); rel("seq_read_guest_202", ">=", 1.2)
            rel("seq_read_signed_gmac", ">=", 1.3); rel("seq_read_encrypted_aes128gcm", ">=", 1.3)
            if (num(o["seq_read_signed_gmac"]) && num(o["seq_read_user"]) && o["seq_read_user"] > 0)
                own("seq_read_signed_gmac / seq_read_user >= 0.7", o["seq_read_signed_gmac"] / o["seq_read_user"], ">=", 0.7)
            rel("list_many", "<=", 0.5); rel("mget_tree", "<=", 0.8)
            rel("conn_rate_impacket", ">=", 2)
            if (num(o["cpu_server_conn_impacket"]) && num(o["conn_rate_impacket"]) && o["conn_rate_impacket"] > 0)
                own("server ms per impacket connection <= 2", o["cpu_server_conn_impacket"] * 10 / o["conn_rate_impacket"], "<=", 2)
            rel("par8_read", ">=", 1.0)
            own("uss_per_conn KiB <= 128", o["uss_per_conn"], "<=", 128)
        }' "$1" "$2"
}

report() {
    echo "vlsmb2s beside the peer (${peer_extra}), $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "median of $rounds alternated rounds, each figure itself a median of $RUNS runs; last/first = ours / peer"
    echo
    "$kit/table.sh" "$work/peer.med" "$work/ours.med"
    echo
    targets "$work/peer.med" "$work/ours.med"
    echo
    echo "every round:"
    local files=()
    for r in $(seq 1 "$rounds"); do files+=("$work/res/peer.$r" "$work/res/ours.$r"); done
    "$kit/table.sh" "${files[@]}"
}
out=${OUT:-$root/bench/results/$(date +%Y%m%d-%H%M%S).txt}
if [ "$out" = - ]; then
    report
else
    mkdir -p "$(dirname "$out")"
    report | tee "$out"
    echo "[compare] table written to $out" >&2
fi
