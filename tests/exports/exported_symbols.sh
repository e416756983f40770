#!/bin/sh
# The shared library exports exactly the sixteen public functions.
# usage: exported_symbols.sh PATH_TO_libvlsmb2s.so
set -eu
lib=$1
want="vlsmb2s_add_share
vlsmb2s_add_user
vlsmb2s_allow_cidr
vlsmb2s_client_count
vlsmb2s_last_error
vlsmb2s_port
vlsmb2s_remove_share
vlsmb2s_remove_user
vlsmb2s_selftest
vlsmb2s_session_count
vlsmb2s_set_option
vlsmb2s_simulate
vlsmb2s_start
vlsmb2s_stats_json
vlsmb2s_stop
vlsmb2s_version"
# Defined dynamic symbols of every kind, less the version-script node.
got=$(nm -D --defined-only "$lib" | awk '$3 != "" && $3 !~ /^VLSMB2S|^VERS/ {print $3}' | sed 's/@.*//' | sort -u)
if [ "$got" != "$want" ]; then
    echo "exported symbols differ:"
    printf '%s\n' "$want" >/tmp/vl2_want.$$
    printf '%s\n' "$got" | diff /tmp/vl2_want.$$ - || true
    rm -f /tmp/vl2_want.$$
    exit 1
fi
echo "exported_symbols: exactly the sixteen vlsmb2s_* functions"
