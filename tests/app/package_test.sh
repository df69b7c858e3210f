#!/usr/bin/env bash
# scripts/package makes a .deb that lintian finds no error in, that installs into an empty root
# without the network and without touching this system's package database, holds the program,
# tarnwick-device, the desktop entry (valid, naming the program and the icon), the icon, the
# systemd user unit and the manual pages, all where `cmake --install` puts them, and whose
# installed program answers --help. Removing it leaves nothing behind.
set -euo pipefail
source_dir="$1" build_dir="$2"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

"$source_dir/scripts/package" "$build_dir" "$scratch/out" >"$scratch/package.log" 2>&1 ||
    { cat "$scratch/package.log"; exit 1; }
deb="$(ls "$scratch"/out/tarnwick-bridge_*.deb)"

lintian --fail-on error "$deb" >"$scratch/lintian.log" 2>&1 ||
    { grep -v "root privileges" "$scratch/lintian.log"; echo "lintian reports errors"; exit 1; }
dpkg-deb --field "$deb" Depends | grep -q 'libqt6core6' ||
    { echo "the library dependencies are missing"; exit 1; }

root="$scratch/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
# The root is empty: its dependencies cannot be there, and nothing runs as root inside it.
dpkg --root="$root" --log=/dev/null --force-depends --force-not-root --install "$deb" \
    >"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log"; exit 1; }

for file in usr/bin/tarnwick-bridge usr/bin/tarnwick-device \
    usr/share/applications/tarnwick-bridge.desktop \
    usr/share/icons/hicolor/scalable/apps/tarnwick-bridge.svg \
    usr/lib/systemd/user/tarnwick-bridge.service \
    usr/share/man/man1/tarnwick-bridge.1.gz usr/share/man/man1/tarnwick-device.1.gz \
    usr/share/doc/tarnwick-bridge/copyright; do
    [[ -e "$root/$file" ]] || { echo "not installed: $file"; exit 1; }
done
entry="$root/usr/share/applications/tarnwick-bridge.desktop"
desktop-file-validate "$entry"
grep -qx 'Exec=tarnwick-bridge' "$entry" && grep -qx 'Icon=tarnwick-bridge' "$entry" ||
    { echo "the entry does not start the program or name its icon"; exit 1; }
grep -q '<svg' "$root/usr/share/icons/hicolor/scalable/apps/tarnwick-bridge.svg" ||
    { echo "the icon is not an SVG image"; exit 1; }
grep -qx 'ExecStart=tarnwick-bridge --service' "$root/usr/lib/systemd/user/tarnwick-bridge.service" ||
    { echo "the unit does not start the service"; exit 1; }
for page in tarnwick-bridge tarnwick-device; do
    zcat "$root/usr/share/man/man1/$page.1.gz" | grep -q "^\.TH ${page^^} 1" ||
        { echo "$page.1 is not a manual page"; exit 1; }
done
"$root/usr/bin/tarnwick-bridge" --help | grep -q -- '--service' ||
    { echo "the installed program does not answer --help"; exit 1; }
"$root/usr/bin/tarnwick-device" --help >/dev/null ||
    { echo "the installed tarnwick-device does not answer --help"; exit 1; }

dpkg --root="$root" --log=/dev/null --force-not-root --purge tarnwick-bridge >/dev/null
left="$(find "$root" -mindepth 1 -not -path "$root/var/lib/dpkg*" -not -type d)"
[[ -z "$left" ]] || { echo "removal left: $left"; exit 1; }
echo "package: lintian clean, installs into an empty root, answers --help, removes cleanly"
