#!/usr/bin/env bash
# Serves one folder read-only as the share "share" on 127.0.0.1 port 4450,
# building the program into build/ first when it is missing.
#
# usage: scripts/serve.sh [FOLDER] [vlsmb2s serve option]...
#   FOLDER defaults to ./share-demo (created with a README.txt).
#   Later options win over the defaults, e.g. --port 5000, and add to them:
#   --user NAME:PASS, --bind 0.0.0.0 --allow 192.168.1.0/24, --opt KEY=VALUE.
#   SMB 3 is on: --opt max_protocol=3.1.1 --opt encryption=desired.
set -euo pipefail
cd "$(dirname "$0")/.."

folder=./share-demo
if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then
    folder=$1
    shift
fi
if [ "$folder" = ./share-demo ] && [ ! -d share-demo ]; then
    mkdir -p share-demo
    printf 'This folder is served read-only by scripts/serve.sh.\n' >share-demo/README.txt
fi

if [ ! -x build/vlsmb2s ]; then
    if ! command -v cmake >/dev/null || ! command -v g++ >/dev/null; then
        echo "serve.sh: needs cmake and g++ (scripts/test.sh installs everything)" >&2
        exit 1
    fi
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build -j "$(nproc)" --target vlsmb2s_cli
fi

exec build/vlsmb2s serve --allow-root --share "share=$folder" --port 4450 \
    --opt max_protocol=3.1.1 --opt encryption=desired "$@"
