#!/usr/bin/env bash
# Takes docs/screenshot-scan-options.png and docs/screenshot-logging-options.png: each dialog
# drawn by tarvik_dialog_preview into its file, on a virtual display when Xvfb is there (else
# on the offscreen platform). Usage: scripts/screenshot-dialogs.sh [build folder]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
preview=$build/bin/tarvik_dialog_preview
[[ -x $preview ]] || cmake --build "$build" -j2 --target tarvik_dialog_preview

free_display() {
    local n
    for n in $(seq 90 120); do
        [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]] || { echo ":$n"; return; }
    done
    return 1
}

export QT_QPA_PLATFORM=offscreen
if command -v Xvfb >/dev/null && display=$(free_display); then
    Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp &
    xvfb=$!
    trap 'kill $xvfb 2>/dev/null || true' EXIT
    for _ in $(seq 100); do
        [[ -e /tmp/.X11-unix/X${display#:} ]] && break
        sleep 0.1
    done
    export DISPLAY=$display QT_QPA_PLATFORM=xcb
fi

mkdir -p "$root/docs"
"$preview" scan 0 "$root/docs/screenshot-scan-options.png"
"$preview" logging 0 "$root/docs/screenshot-logging-options.png"
echo "wrote $root/docs/screenshot-scan-options.png and screenshot-logging-options.png"
