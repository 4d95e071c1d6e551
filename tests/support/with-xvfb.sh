#!/usr/bin/env bash
# Runs a command on a private Xvfb server. The server chooses a free display itself and reports
# it once it accepts connections, so that several of these can start at the same moment.
# Usage: with-xvfb.sh WIDTHxHEIGHTxDEPTH COMMAND [ARGS...]
set -euo pipefail
screen=$1
shift

dir=$(mktemp -d -t lento-xvfb.XXXXXX)
xvfb=""
clean_up() {
    if [ -n "$xvfb" ]; then
        kill "$xvfb" 2>/dev/null || true
        wait "$xvfb" 2>/dev/null || true
    fi
    rm -rf "$dir"
}
trap clean_up EXIT
trap 'exit 130' INT TERM

Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp 3>"$dir/display" >"$dir/log" 2>&1 &
xvfb=$!
# The number is written with a line end once the server is ready.
ready() { grep -q '^[0-9][0-9]*$' "$dir/display" 2>/dev/null; }
for _ in $(seq 1 300); do
    ready && break
    if ! kill -0 "$xvfb" 2>/dev/null; then
        break
    fi
    sleep 0.1
done
if ! ready; then
    echo "with-xvfb: Xvfb did not start" >&2
    cat "$dir/log" >&2
    exit 1
fi

set +e
DISPLAY=":$(head -n 1 "$dir/display")" "$@"
status=$?
set -e
exit "$status"
