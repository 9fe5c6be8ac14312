#!/usr/bin/env bash
# thermocal-demo in a real X window on Xvfb: the window appears at the form's size, is
# painted, and the keyboard switches it to the "Constants" tab, which looks different.
# Usage: run.sh PATH-TO-thermocal-demo. Exit status 77 (skipped) when Xvfb is missing.
set -euo pipefail

demo=$1
here=$(cd "$(dirname "$0")" && pwd)

if ! command -v Xvfb >/dev/null; then
    echo "SKIPPED: Xvfb is not installed (scripts/bootstrap installs it)."
    exit 77
fi
for tool in xdotool xwininfo import identify compare; do
    command -v "$tool" >/dev/null || { echo "$tool is missing; scripts/bootstrap installs it." >&2; exit 1; }
done

work=$(mktemp -d)
# shellcheck source=tests/realwindow/xsession.sh
source "$here/xsession.sh"
finish() {
    local status=$?
    xs_cleanup
    if [ "$status" -eq 0 ]; then
        rm -rf "$work"
    else
        echo "Screenshots and logs kept in $work" >&2
    fi
}
trap finish EXIT

# The size the form asks for; a layout that cannot fit shows up as a larger window.
form_width=469
form_height=410

xs_start_xvfb
xs_start_demo "$demo"
xs_wait_window
read -r width height < <(xs_window_size)
echo "window $xs_window on $DISPLAY: ${width}x${height}"
if [ "$width" -lt "$form_width" ] || [ "$height" -lt "$form_height" ]; then
    echo "the window is smaller than the form (${form_width}x${form_height})" >&2
    exit 1
fi

xs_shot_painted "$work/data.png"
xs_key ctrl+Tab
xs_shot_changed "$work/data.png" "$work/constants.png" 1000 "Ctrl+Tab did not change the window"

for shot in data constants; do
    size=$(xs_image_size "$work/$shot.png")
    colours=$(xs_colours "$work/$shot.png")
    echo "$shot tab: $size, $colours colours"
    if [ "$size" != "$width $height" ]; then
        echo "the $shot picture is $size, the window ${width} ${height}" >&2
        exit 1
    fi
    if [ "$colours" -le 16 ]; then
        echo "the $shot picture is nearly blank" >&2
        exit 1
    fi
done

# Back again: the first tab looks as it did, apart from where the keyboard focus is drawn.
xs_key ctrl+shift+Tab
xs_shot_changed "$work/constants.png" "$work/back.png" 1000 "Ctrl+Shift+Tab did not change the window"
back=$(xs_pixels_differing "$work/data.png" "$work/back.png")
echo "data tab again: $back pixels differ from the first picture"
if [ "$back" -gt 500 ]; then
    echo "the Data tab looks different after switching back" >&2
    exit 1
fi
echo "PASS"
