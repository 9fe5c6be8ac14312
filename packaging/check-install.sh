#!/usr/bin/env bash
# Installs a build tree into a scratch prefix and checks that exactly the program, its
# desktop integration and its copyright and changelog land there: no demo, test or
# benchmark program.
# Usage: check-install.sh BUILD-DIR
set -euo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

cmake --install "$build" --prefix "$stage" >/dev/null
actual=$(cd "$stage" && find . -type f | sort)
expected=$(printf '%s\n' \
    ./bin/thermocal \
    ./bin/thermocal-cli \
    ./bin/thermocal-monitor \
    ./bin/thermocal-calibrate \
    ./bin/thermocal-server \
    ./lib/systemd/system/thermocal-server@.service \
    ./share/man/man1/thermocal.1.gz \
    ./share/man/man1/thermocal-cli.1.gz \
    ./share/man/man1/thermocal-monitor.1.gz \
    ./share/man/man1/thermocal-calibrate.1.gz \
    ./share/man/man1/thermocal-server.1.gz \
    ./lib/udev/rules.d/70-thermocal.rules \
    ./share/applications/thermocal.desktop \
    ./share/applications/thermocal-monitor.desktop \
    ./share/applications/thermocal-calibrate.desktop \
    ./share/doc/thermocal/changelog.gz \
    ./share/doc/thermocal/copyright \
    ./share/icons/hicolor/scalable/apps/thermocal.svg | sort)
if [ "$actual" != "$expected" ]; then
    echo "installed files differ from the expected ones:" >&2
    diff <(echo "$expected") <(echo "$actual") >&2 || true
    exit 1
fi
[ -x "$stage/bin/thermocal" ] || { echo "bin/thermocal is not executable" >&2; exit 1; }
grep -qx 'Exec=thermocal' "$stage/share/applications/thermocal.desktop" \
    || { echo "the desktop file does not start thermocal" >&2; exit 1; }
[ -x "$stage/bin/thermocal-monitor" ] || { echo "bin/thermocal-monitor is not executable" >&2; exit 1; }
grep -qx 'Exec=thermocal-monitor' "$stage/share/applications/thermocal-monitor.desktop" \
    || { echo "the monitor's desktop file does not start thermocal-monitor" >&2; exit 1; }
grep -qx 'Icon=thermocal' "$stage/share/applications/thermocal-monitor.desktop" \
    || { echo "the monitor's desktop file does not use the thermocal icon" >&2; exit 1; }
[ -x "$stage/bin/thermocal-calibrate" ] || { echo "bin/thermocal-calibrate is not executable" >&2; exit 1; }
grep -qx 'Exec=thermocal-calibrate %f' "$stage/share/applications/thermocal-calibrate.desktop" \
    || { echo "the calibration window's desktop file does not start thermocal-calibrate" >&2; exit 1; }
[ -x "$stage/bin/thermocal-server" ] || { echo "bin/thermocal-server is not executable" >&2; exit 1; }
grep -q '^ExecStart=/usr/bin/thermocal-server ' "$stage/lib/systemd/system/thermocal-server@.service" \
    || { echo "the server's unit does not start thermocal-server" >&2; exit 1; }
echo "installed: $(echo "$actual" | tr '\n' ' ')"
