# shellcheck shell=bash
# Drives thermocal-demo in a real X window on a private Xvfb display. Sourced by
# tests/realwindow/run.sh and scripts/screenshots; the caller sets `work` to a scratch
# directory and calls xs_cleanup from its EXIT trap.

: "${work:?set work to a scratch directory before sourcing xsession.sh}"
xs_pids=()
xs_window=

# Stops what we started, the demo before its display.
xs_cleanup() {
    local i
    for ((i = ${#xs_pids[@]} - 1; i >= 0; i--)); do
        kill "${xs_pids[i]}" 2>/dev/null || true
        wait "${xs_pids[i]}" 2>/dev/null || true
    done
    xs_pids=()
}

# Starts Xvfb on a display number it picks itself among the free ones, and exports DISPLAY.
# Without -noreset the server resets whenever its last client leaves, and a reset drops
# every client still in its connection set-up: an xdotool poll ending just as the demo
# connects made the demo fail with "could not connect to display".
xs_start_xvfb() {
    Xvfb -displayfd 3 -noreset -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
    local pid=$! i
    xs_pids+=("$pid")
    # Xvfb writes the number once it accepts connections.
    for ((i = 0; i < 100; i++)); do
        if [ -s "$work/display" ]; then
            DISPLAY=":$(head -n1 "$work/display")"
            export DISPLAY
            unset WAYLAND_DISPLAY
            return 0
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    echo "Xvfb did not start:" >&2
    cat "$work/xvfb.log" >&2
    return 1
}

xs_start_demo() {
    QT_QPA_PLATFORM=xcb "$1" >"$work/demo.log" 2>&1 &
    xs_pids+=("$!")
}

xs_demo_failed() {
    echo "$1; the demo's output:" >&2
    cat "$work/demo.log" >&2
    return 1
}

# Waits up to 20 s for the window titled $1 (default "Widget") to be mapped and sets
# xs_window to its id; gives up at once when the program started last has ended.
xs_wait_window() {
    local demo=${xs_pids[-1]} title=${1:-Widget} i
    for ((i = 0; i < 200; i++)); do
        xs_window=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -n1) || true
        [ -n "$xs_window" ] && return 0
        kill -0 "$demo" 2>/dev/null || xs_demo_failed "the demo ended before showing its window"
        sleep 0.1
    done
    xs_demo_failed "no window titled \"$title\" appeared within 20 s"
}

# Prints the window's width and height as the X server has them.
xs_window_size() {
    xwininfo -id "$xs_window" | awk '/^ *Width:/ { w = $2 } /^ *Height:/ { h = $2 } END { print w, h }'
}

xs_shot() {
    import -silent -window "$xs_window" -define png:exclude-chunks=date,time "$1"
}

xs_colours() {
    identify -format '%k' "$1"
}

xs_image_size() {
    identify -format '%w %h' "$1"
}

# The number of pixels that differ between two images of the same size.
xs_pixels_differing() {
    local out status=0
    out=$(compare -metric AE "$1" "$2" null: 2>&1) || status=$?
    if [ "$status" -gt 1 ]; then
        echo "compare failed: $out" >&2
        return 1
    fi
    # Large counts may come in exponent notation.
    awk -v n="$out" 'BEGIN { printf "%d\n", n + 0 }'
}

# Shoots the window into $1 until it shows more than a few colours, that is, until the
# program has painted it; fails after 10 s.
xs_shot_painted() {
    local i
    for ((i = 0; i < 100; i++)); do
        xs_shot "$1"
        [ "$(xs_colours "$1")" -gt 16 ] && return 0
        sleep 0.1
    done
    echo "the window stayed blank: $(xs_colours "$1") colours" >&2
    return 1
}

# Shoots the window into $2 until it differs from the picture $1 by more than $3 pixels;
# fails after 10 s with the message $4.
xs_shot_changed() {
    local i
    for ((i = 0; i < 100; i++)); do
        xs_shot "$2"
        [ "$(xs_pixels_differing "$1" "$2")" -gt "$3" ] && return 0
        sleep 0.1
    done
    echo "$4 (only $(xs_pixels_differing "$1" "$2") pixels changed)" >&2
    return 1
}

# Keyboard input goes to the focused window; without a window manager nobody focuses it.
xs_key() {
    xdotool windowfocus --sync "$xs_window"
    xdotool key "$@"
}

# Clicks at a point given from the window's bottom-right corner, where the layout anchors the
# action buttons, then moves the pointer away so no button is drawn hovered.
xs_click_from_bottom_right() {
    local width height
    read -r width height < <(xs_window_size)
    xdotool mousemove --window "$xs_window" $((width - $1)) $((height - $2)) click 1
    xdotool mousemove 1000 740
}
