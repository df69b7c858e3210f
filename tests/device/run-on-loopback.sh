#!/usr/bin/env bash
# Runs a test program in a network namespace of its own whose only interface is loopback, up,
# so that the bridge and its devices meet on 127.0.0.1 while the real Codex CLI cannot reach
# beyond this machine.
set -euo pipefail
if [[ "${1:-}" == "--inside" ]]; then
    shift
    ip link set lo up
    exec "$@"
fi
if unshare -n true 2>/dev/null; then
    exec unshare -n -- "$0" --inside "$@"
fi
if unshare -rn true 2>/dev/null; then
    exec unshare -rn -- "$0" --inside "$@"
fi
# Without the rights for a namespace the program runs as it is, and its tests that need the
# isolation skip themselves.
exec "$@"
