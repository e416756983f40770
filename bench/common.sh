# Sourced by the bench scripts after they set BUILD: moves to the repository
# root, builds the command-line program into $BUILD when it is missing, makes
# the scratch folder $work (removed at exit, together with a started server)
# and defines now and serve.
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PY=/usr/bin/python3

if [ ! -x "$BUILD/vlsmb2s" ]; then
  cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DVL2_TESTS=OFF >/dev/null
  cmake --build "$BUILD" -j2 --target vlsmb2s_cli >/dev/null
fi

work=$(mktemp -d /tmp/vl2bench.XXXXXX)
srv=""
cleanup() {
  if [ -n "$srv" ]; then kill "$srv" 2>/dev/null || true; wait "$srv" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

now() { date +%s.%N; }

# serve DIR: `vlsmb2s serve` with DIR as the guest share "bench" on a port
# the system picks; sets srv (its pid) and port.
serve() {
  "$BUILD/vlsmb2s" serve --allow-root --share "bench=$1" --opt guest=on --port 0 \
    --port-file "$work/port" >/dev/null 2>&1 &
  srv=$!
  for _ in $(seq 1 200); do [ -s "$work/port" ] && break; sleep 0.05; done
  port=$(cat "$work/port")
}
