#!/usr/bin/env bash
# Runs a test program in a network namespace of its own, which has nothing but a loopback
# interface, so that a real program under test cannot reach beyond this machine. Without the
# rights for that the program runs as it is, and tests that need the isolation skip themselves.
if unshare -n true 2>/dev/null; then
    exec unshare -n -- "$@"
fi
if unshare -rn true 2>/dev/null; then
    exec unshare -rn -- "$@"
fi
exec "$@"
