#!/usr/bin/env bash
# Regenerates the example files next to this script with thermocal-make-examples, built in
# $THERMOCAL_BUILD_DIR (default build/). The generated files are committed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${THERMOCAL_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target thermocal-make-examples -j "$(nproc)"
"$build/examples/thermocal-make-examples" "$root/examples"
