#!/usr/bin/env bash
# Runs a command inside a private network namespace that has the loopback interface only,
# with a private system bus and an Avahi daemon of its own, so that DNS-SD can be tested for
# real without a single packet leaving the machine. Everything started here is stopped and
# removed when the command ends. Exits 77 (skipped) when no namespace can be made.
set -euo pipefail

if [[ "${1:-}" != "--inside-private-network" ]]; then
    if ! unshare --net --mount true 2>/dev/null; then
        echo "SKIPPED: cannot make a private network namespace here (unshare --net --mount needs root)"
        exit 77
    fi
    exec unshare --net --mount --propagation private "$0" --inside-private-network "$@"
fi
shift

# Inside the namespace: loopback only, up and able to carry multicast.
ip link set lo up
ip link set lo multicast on
interfaces="$(ip -o link show | awk -F': ' '{print $2}')"
if [[ "$interfaces" != "lo" ]]; then
    echo "the private network has more than the loopback interface: $interfaces" >&2
    exit 1
fi

scratch="$(mktemp -d)"
dbus_pid="" avahi_pid=""
cleanup() {
    [[ -n "$avahi_pid" ]] && kill "$avahi_pid" 2>/dev/null && wait "$avahi_pid" 2>/dev/null
    [[ -n "$dbus_pid" ]] && kill "$dbus_pid" 2>/dev/null
    umount /run 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT

# A /run of our own hides the machine's system bus and Avahi sockets and holds our daemon's
# pid file and socket; the mount exists in this namespace only.
mount -t tmpfs -o mode=0755 tarnwick-run /run
mkdir -p /run/avahi-daemon
mkdir -m 0700 "$scratch/runtime"
export XDG_RUNTIME_DIR="$scratch/runtime"

dbus_pid="$(dbus-daemon --config-file=/usr/share/dbus-1/system.conf \
    --address="unix:path=$scratch/system_bus_socket" --nopidfile --fork --print-pid)"
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$scratch/system_bus_socket"

cat > "$scratch/avahi-daemon.conf" <<CONF
[server]
allow-interfaces=lo
ratelimit-interval-usec=1000000
ratelimit-burst=1000

[wide-area]
enable-wide-area=no

[publish]
publish-hinfo=no
publish-workstation=no
CONF
avahi-daemon --file="$scratch/avahi-daemon.conf" --no-drop-root --no-chroot --no-rlimits \
    --no-proc-title >"$scratch/avahi.log" 2>&1 &
avahi_pid=$!

for _ in $(seq 1 200); do
    grep -q "Server startup complete" "$scratch/avahi.log" && break
    kill -0 "$avahi_pid" 2>/dev/null || break
    sleep 0.1
done
if ! grep -q "Server startup complete" "$scratch/avahi.log"; then
    echo "avahi-daemon did not start:" >&2
    cat "$scratch/avahi.log" >&2
    exit 1
fi

status=0
TARNWICK_IN_PRIVATE_NETWORK=1 "$@" || status=$?
if ((status != 0)); then
    echo "--- avahi-daemon log ---"
    cat "$scratch/avahi.log"
fi
exit "$status"
