#!/usr/bin/env bash
# Sets up a fresh Debian machine (only what is missing), builds, and runs
# every test: once in a normal build, once under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

pkgs=(cmake g++ make libgtest-dev libgmock-dev libssl-dev pkg-config
      python3 python3-impacket smbclient python3-smbc samba-common-bin nmap tshark
      clang-14 libclang-rt-14-dev golang-go golang-github-hirochachacha-go-smb2-dev
      systemd man-db lintian dpkg-dev file clang-format)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # tshark asks whether non-root users may capture; answer once, quietly.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections 2>/dev/null || true
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

jobs=$(nproc)
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 600)
}

echo "== layout: every source file as .clang-format lays it out =="
find src cli include tests fuzz bench \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) -print0 |
  xargs -0 clang-format --dry-run --Werror
echo "== normal build =="
run_suite build
echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DVL2_SANITIZE=ON
echo "== ThreadSanitizer: concurrency and listener tests =="
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVL2_TSAN=ON >/dev/null
cmake --build build-tsan -j "$jobs" --target test_net
TSAN_OPTIONS=halt_on_error=1 build-tsan/tests/test_net
echo "== fuzz targets (20 s each) =="
scripts/fuzz.sh
echo "all test suites passed"
