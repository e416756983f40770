#!/bin/sh
# The service unit, the installed tree and the Debian package:
#   systemd-analyze verify, the security rating (OK or better), an install
#   that a C program builds against through pkg-config, cpack's .deb with
#   its contents and Depends, and lintian without errors.
# usage: test_packaging.sh SOURCE_DIR
set -eu
src=$(cd "$1" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

echo "== build with prefix /usr"
cmake -S "$src" -B "$tmp/b" -DCMAKE_INSTALL_PREFIX=/usr -DVL2_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$tmp/b" -j2 >/dev/null

echo "== install and pkg-config"
DESTDIR="$tmp/root" cmake --install "$tmp/b" >/dev/null
libdir=$(ls -d "$tmp"/root/usr/lib/*/pkgconfig | head -1)
cat >"$tmp/t.c" <<'C'
#include <stdio.h>
#include <vlsmb2s.h>
int main(void) { printf("%s\n", vlsmb2s_version()); return vlsmb2s_port(); }
C
flags=$(PKG_CONFIG_PATH="$libdir" PKG_CONFIG_SYSROOT_DIR="$tmp/root" pkg-config --cflags --libs vlsmb2s)
cc -o "$tmp/t" "$tmp/t.c" $flags
[ "$(LD_LIBRARY_PATH=$(dirname "$libdir") "$tmp/t")" = 1.0.0 ] || fail "program built with pkg-config"

echo "== unit"
unit="$tmp/vlsmb2s.service"
sed "s|/usr/bin/vlsmb2s|$tmp/root/usr/bin/vlsmb2s|g" "$src/packaging/vlsmb2s.service" >"$unit"
mkdir -p "$tmp/man/man8"
cp "$tmp/root/usr/share/man/man8/vlsmb2s.8.gz" "$tmp/man/man8/"
out=$(MANPATH="$tmp/man" systemd-analyze verify "$unit" 2>&1) || fail "verify: $out"
[ -z "$out" ] || fail "verify: $out"
rating=$(systemd-analyze security --offline=yes "$unit" 2>&1 | grep 'Overall exposure level')
echo "$rating"
echo "$rating" | grep -Eq ' (SAFE|OK) ' || fail "security rating"

echo "== package"
(cd "$tmp/b" && cpack -G DEB >/dev/null)
deb=$(ls "$tmp"/b/vlsmb2s_*.deb)
dpkg-deb -c "$deb" | awk '{print $1, $6}' >"$tmp/contents"
cat "$tmp/contents"
for f in ./usr/bin/vlsmb2s ./etc/vlsmb2s/vlsmb2s.conf ./lib/systemd/system/vlsmb2s.service \
         ./usr/share/man/man8/vlsmb2s.8.gz ./usr/include/vlsmb2s.h ./usr/share/vlsmb2s/avahi/vlsmb2s.service; do
  grep -q " $f\$" "$tmp/contents" || fail "$f not in the package"
done
dpkg-deb -f "$deb" Depends | grep -q 'libc6 (>=' || fail "Depends without libc6"
dpkg-deb -e "$deb" "$tmp/control"
grep -qx /etc/vlsmb2s/vlsmb2s.conf "$tmp/control/conffiles" || fail conffiles
"$tmp/root/usr/bin/vlsmb2s" check-config "$src/packaging/vlsmb2s.conf" >/dev/null || fail "example config"

echo "== lintian"
lint=$(lintian "$deb" 2>&1 | grep -v 'running with root privileges' || true)
echo "$lint"
! echo "$lint" | grep -q '^E:' || fail "lintian errors"
echo "packaging ok"
