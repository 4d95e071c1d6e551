#!/usr/bin/env bash
# Runs a command on a private Xvfb server. The server chooses a free display itself and reports
# it once it accepts connections, so that several of these can start at the same moment.
# Usage: with-xvfb.sh WIDTHxHEIGHTxDEPTH COMMAND [ARGS...]
set -euo pipefail
screen=$1
shift

dir=$(mktemp -d -t lento-xvfb.XXXXXX)
xvfb=""
stop_xvfb() {
    if [ -n "$xvfb" ]; then
        kill "$xvfb" 2>/dev/null || true
        wait "$xvfb" 2>/dev/null || true
        xvfb=""
    fi
}
clean_up() {
    stop_xvfb
    rm -rf "$dir"
}
trap clean_up EXIT
trap 'exit 130' INT TERM

# Starts a server and waits until a client has been served on its display. -noreset: an X server
# resets itself when its last client leaves, and a client that connects during the reset is
# refused ("could not connect to display"); the first such client was xdpyinfo's check below.
start_xvfb() {
    : >"$dir/display"
    Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp -noreset 3>"$dir/display" >"$dir/log" 2>&1 &
    xvfb=$!
    # The number is written with a line end once the server listens.
    for _ in $(seq 1 300); do
        if grep -q '^[0-9][0-9]*$' "$dir/display" 2>/dev/null; then
            DISPLAY=":$(head -n 1 "$dir/display")" xdpyinfo >/dev/null 2>&1 && return 0
        fi
        kill -0 "$xvfb" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

started=""
for _ in 1 2 3; do
    if start_xvfb; then
        started=1
        break
    fi
    stop_xvfb
done
if [ -z "$started" ]; then
    echo "with-xvfb: Xvfb did not start" >&2
    cat "$dir/log" >&2
    exit 1
fi

set +e
DISPLAY=":$(head -n 1 "$dir/display")" "$@"
status=$?
set -e
exit "$status"
