#!/usr/bin/env bash
# `cmake --install` puts the program, its desktop entry and its icon where desktops look for
# them, and the entry is valid and names both; the systemd user unit and the manual pages go
# where systemd and man look.
set -euo pipefail
build_dir="$1"
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
entry="$prefix/share/applications/tarnwick-bridge.desktop"
icon="$prefix/share/icons/hicolor/scalable/apps/tarnwick-bridge.svg"
unit="$prefix/lib/systemd/user/tarnwick-bridge.service"
for file in "$prefix/bin/tarnwick-bridge" "$entry" "$icon" "$unit" \
    "$prefix/share/man/man1/tarnwick-bridge.1.gz" "$prefix/share/man/man1/tarnwick-device.1.gz"; do
    [[ -e "$file" ]] || { echo "not installed: ${file#"$prefix"/}"; exit 1; }
done
[[ -x "$prefix/bin/tarnwick-bridge" ]] || { echo "the program is not executable"; exit 1; }
desktop-file-validate "$entry"
grep -qx 'Exec=tarnwick-bridge' "$entry" || { echo "the entry does not start the program"; exit 1; }
grep -qx 'Icon=tarnwick-bridge' "$entry" || { echo "the entry does not name the icon"; exit 1; }
grep -q '<svg' "$icon" || { echo "the icon is not an SVG image"; exit 1; }
grep -qx 'ExecStart=tarnwick-bridge --service' "$unit" || { echo "the unit does not start the service"; exit 1; }
"$prefix/bin/tarnwick-bridge" --help | grep -q -- '--terminal'
echo "install: program, desktop entry, icon, user unit and manual pages in place"
