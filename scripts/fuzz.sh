#!/usr/bin/env bash
# Builds the libFuzzer targets (clang 14, AddressSanitizer and
# UndefinedBehaviorSanitizer) into build-fuzz and runs each one for a bounded
# time on a copy of its seed corpus; fails when any target finds a crash, a
# hang or a leak. The repository's corpus is never changed.
#   scripts/fuzz.sh                  20 s per target
#   scripts/fuzz.sh --long SECONDS   longer runs
#   scripts/fuzz.sh [...] TARGET...  only these (names as in fuzz/corpus/)
# Findings are kept in build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."

secs=20
if [ "${1:-}" = "--long" ]; then
  secs=${2:?--long needs SECONDS}
  shift 2
fi
all=(conn_fresh conn_negotiated conn_guest conn_files conn_signed conn_traced conn_smb3 spnego ntlm_auth srvsvc create_ctx names addr simulate)
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all[@]}")

for tool in clang-14 clang++-14; do
  command -v "$tool" >/dev/null || { echo "fuzz: $tool is missing (apt-get install clang-14 libclang-rt-14-dev)"; exit 1; }
done

build=build-fuzz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! { cmake -S . -B "$build" -DVL2_FUZZ=ON -DVL2_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
         -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 &&
       cmake --build "$build" -j "$(nproc)" --target $(printf 'fuzz_%s ' "${targets[@]}"); } >"$work/build.log" 2>&1; then
  tail -40 "$work/build.log"
  echo "fuzz: build failed"
  exit 1
fi
findings=$build/findings
mkdir -p "$findings"

failed=0
printf '%-16s %12s %8s %8s %8s  %s\n' target execs cov ft corpus result
for t in "${targets[@]}"; do
  mkdir -p "$work/$t/corpus" "$work/$t/tmp"
  [ -d "fuzz/corpus/$t" ] && cp -r "fuzz/corpus/$t/." "$work/$t/corpus/"
  extra=()
  case $t in conn_*) extra=(-dict=fuzz/smb2.dict) ;; esac
  # Targets that trace: their lines go nowhere.
  case $t in conn_traced|ntlm_auth) extra+=(-close_fd_mask=2) ;; esac
  log=$work/$t/log
  rc=0
  # The conn targets make their share folder under TMPDIR, removed with $work.
  TMPDIR=$work/$t/tmp "$build/fuzz/fuzz_$t" -max_total_time="$secs" -timeout=5 -rss_limit_mb=2048 \
    -max_len=65536 -print_final_stats=1 -artifact_prefix="$work/$t/" "${extra[@]}" "$work/$t/corpus" \
    >"$log" 2>&1 || rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  corp=$(sed -n 's/.* corp: \([0-9]*\)\/.*/\1/p' <<<"$last")
  result=ok
  if [ $rc -ne 0 ]; then
    result="FAILED (exit $rc)"
    failed=1
    for a in "$work/$t"/crash-* "$work/$t"/timeout-* "$work/$t"/leak-* "$work/$t"/oom-*; do
      [ -e "$a" ] && cp "$a" "$findings/$t-$(basename "$a")"
    done
    cp "$log" "$findings/$t.log"
  fi
  printf '%-16s %12s %8s %8s %8s  %s\n' "$t" "${execs:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}" "$result"
  if [ $rc -ne 0 ]; then
    grep -E 'ERROR|SUMMARY|fuzz:|Test unit written' "$log" | head -20 | sed 's/^/    /'
  fi
done
if [ $failed -ne 0 ]; then
  echo "fuzz: findings in $findings"
  exit 1
fi
echo "fuzz: every target ran clean"
