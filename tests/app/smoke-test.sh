#!/usr/bin/env bash
# Starts the whole program under Xvfb with a video as its argument, plays it with the space bar,
# and takes a screenshot. Fails when the window or the picture is blank.
# Usage: smoke-test.sh LENTO VIDEO SCREENSHOT
set -euo pipefail
lento=$1
video=$2
shot=$3

if [ -z "${SMOKE_INSIDE_XVFB:-}" ]; then
    SMOKE_INSIDE_XVFB=1 exec "$(dirname "$0")/../support/with-xvfb.sh" 1280x800x24 "$0" "$@"
fi

export QT_QPA_PLATFORM=xcb
# An autosave left in the user's state folder would open its question over the window.
XDG_STATE_HOME=$(mktemp -d)
export XDG_STATE_HOME
"$lento" "$video" >"$shot.log" 2>&1 &
pid=$!
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$XDG_STATE_HOME"' EXIT

# Up to 60 s, as for the video below: on a busy machine the window can take more than ten.
window=""
for _ in $(seq 1 600); do
    window=$(xdotool search --onlyvisible --name 'Lento$' 2>/dev/null | head -n 1 || true)
    [ -n "$window" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$window" ]; then
    echo "smoke test: the window did not appear (display $DISPLAY)" >&2
    cat "$shot.log" >&2
    exit 1
fi
eval "$(xdotool getwindowgeometry --shell "$window")"
deviation() { convert "$shot" -crop "$1" +repage -colorspace Gray -format '%[fx:standard_deviation]' info:; }
# Whether the part of the window named by its crop is other than blank, from a new screenshot
# when asked.
shows() { awk -v d="$(deviation "$1")" 'BEGIN { exit !(d > 0.05) }'; }
# The player fills the upper part of the window, the track's filmstrip lies under it; the
# stripes of the test picture differ.
picture_area="$((WIDTH / 2))x$((HEIGHT / 3))+$((X + WIDTH / 4))+$((Y + HEIGHT / 6))"
strip_area="$((WIDTH / 2))x$((HEIGHT / 25))+$((X + WIDTH / 4))+$((Y + HEIGHT * 87 / 100))"
# Waits up to 60 s for `area` to show something: the video gets ready in its own time (much later
# in the sanitizer build or on a busy machine), so the test waits for what it looks for.
wait_for() {
    for _ in $(seq 1 120); do
        import -window root "$shot"
        shows "$1" && return 0
        kill -0 "$pid" || { echo "smoke test: the program ended" >&2; cat "$shot.log" >&2; exit 1; }
        sleep 0.5
    done
    return 1
}
# The filmstrip is drawn once the video is ready; then play it until its picture shows.
wait_for "$strip_area" || { echo "smoke test: the video never got ready (no filmstrip)" >&2; exit 1; }
xdotool windowfocus --sync "$window" 2>/dev/null || true
xdotool key --clearmodifiers space
wait_for "$picture_area" || true
whole=$(deviation "${WIDTH}x${HEIGHT}+${X}+${Y}")
picture=$(deviation "$picture_area")
# And it goes on playing.
sleep 1
kill -0 "$pid" || { echo "smoke test: the program ended" >&2; cat "$shot.log" >&2; exit 1; }
echo "window deviation $whole, picture deviation $picture, screenshot $shot"
awk -v w="$whole" -v p="$picture" 'BEGIN { exit !(w > 0.05 && p > 0.05) }' || {
    echo "smoke test: the window or the picture is blank" >&2
    exit 1
}
