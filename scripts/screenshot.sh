#!/bin/sh
# Takes the README's pictures of the window: docs/screenshot-main.png (light theme),
# docs/screenshot-main-dark.png, docs/screenshot-search.png (a search narrowing the list) and
# docs/screenshot-scan-options.png, drawn by the preview programs on a virtual display (or the
# offscreen platform when Xvfb is missing). Usage: scripts/screenshot.sh [build folder]
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
case $BUILD in */bin/tarvik) BUILD=${BUILD%/bin/tarvik} ;; esac
WINDOW=$BUILD/bin/tarvik_window_preview
DIALOG=$BUILD/bin/tarvik_dialog_preview
DOCS=$ROOT/docs

for program in "$WINDOW" "$DIALOG"; do
    if [ ! -x "$program" ]; then
        echo "screenshot: $program not found; build it first" >&2
        exit 1
    fi
done

WORK=$(mktemp -d)
XVFB_PID=""
cleanup() {
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
    wait 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

PLATFORM=offscreen
if command -v Xvfb >/dev/null 2>&1; then
    DISPLAY_NUMBER=99
    while [ -e "/tmp/.X${DISPLAY_NUMBER}-lock" ] || [ -e "/tmp/.X11-unix/X${DISPLAY_NUMBER}" ]; do
        DISPLAY_NUMBER=$((DISPLAY_NUMBER + 1))
    done
    Xvfb ":$DISPLAY_NUMBER" -screen 0 1280x800x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
    XVFB_PID=$!
    tries=0
    until [ -e "/tmp/.X11-unix/X${DISPLAY_NUMBER}" ]; do
        tries=$((tries + 1))
        [ $tries -gt 100 ] && { echo "screenshot: Xvfb did not start" >&2; exit 1; }
        sleep 0.1
    done
    export DISPLAY=":$DISPLAY_NUMBER"
    PLATFORM=xcb
fi
export QT_QPA_PLATFORM=$PLATFORM XDG_RUNTIME_DIR="$WORK"
chmod 700 "$WORK"

mkdir -p "$DOCS"
"$WINDOW" light --save "$DOCS/screenshot-main.png"
"$WINDOW" dark --save "$DOCS/screenshot-main-dark.png"
"$WINDOW" light --search ssh --save "$DOCS/screenshot-search.png"
"$DIALOG" scan 0 "$DOCS/screenshot-scan-options.png"
echo "screenshot: wrote $DOCS/screenshot-main.png, screenshot-main-dark.png," \
    "screenshot-search.png, screenshot-scan-options.png"
