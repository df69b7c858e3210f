#!/usr/bin/env bash
# Runs a command inside a temporary home with a private D-Bus session bus, so that nothing
# reaches the developer's own session, keyring or files. The bus starts nothing from the
# system's service folders. MODE is one of:
#   keyring      a GNOME Keyring daemon on the bus, its login collection unlocked
#   locked       the same (the test locks the collection itself)
#   activatable  no Secret Service running, but the bus starts a GNOME Keyring on first use
#   bare         a bus without any Secret Service
#   none         no session bus at all
# Usage: run-in-session.sh MODE COMMAND [ARGUMENT...]
set -euo pipefail
mode="$1"
shift

scratch="$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-session.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch"/{home,config,data,cache,runtime,services}
chmod 700 "$scratch"/runtime

export HOME="$scratch/home"
export XDG_CONFIG_HOME="$scratch/config"
export XDG_DATA_HOME="$scratch/data"
export XDG_CACHE_HOME="$scratch/cache"
export XDG_RUNTIME_DIR="$scratch/runtime"
export TARNWICK_TEST_SESSION="$mode"
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS GNOME_KEYRING_CONTROL SSH_AUTH_SOCK

cat > "$scratch/session.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:dir=$scratch/runtime</listen>
  <auth>EXTERNAL</auth>
  <servicedir>$scratch/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF

# The keyring is unlocked with a password on its standard input, so no prompt ever appears.
cat > "$scratch/start-keyring" <<'SCRIPT'
#!/bin/sh
printf 'tarnwick-test' | exec gnome-keyring-daemon --unlock --components=secrets "$@"
SCRIPT
chmod +x "$scratch/start-keyring"

case "$mode" in
keyring | locked)
    exec_in_bus=("$scratch/start-keyring-then" "$@")
    cat > "$scratch/start-keyring-then" <<SCRIPT
#!/bin/sh
"$scratch/start-keyring" >/dev/null || exit 1
exec "\$@"
SCRIPT
    chmod +x "$scratch/start-keyring-then"
    ;;
activatable)
    cat > "$scratch/services/org.freedesktop.secrets.service" <<SERVICE
[D-BUS Service]
Name=org.freedesktop.secrets
Exec=$scratch/start-keyring --foreground
SERVICE
    exec_in_bus=("$@")
    ;;
bare)
    exec_in_bus=("$@")
    ;;
none)
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$scratch/runtime/no-bus-here"
    "$@"
    exit $?
    ;;
*)
    echo "run-in-session.sh: unknown mode $mode" >&2
    exit 2
    ;;
esac

# Only the folder above is searched for services: the system's own keyring and prompter are
# never started. dbus-run-session stops the bus when the command ends, and the keyring daemon ends with it.
dbus-run-session --config-file="$scratch/session.conf" -- "${exec_in_bus[@]}"
