#!/usr/bin/env bash
# Captures the two option dialogs on a virtual display into docs/screenshot-*.png.
# Usage: scripts/screenshot-dialogs.sh [build-dir]   (default: build-dialogs)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-dialogs}
preview=$build/bin/tarvik_dialog_preview

install_missing() {
    local missing=()
    command -v Xvfb >/dev/null || missing+=(xvfb)
    # The capture needs the real "import", not just any "convert" on the path.
    command -v import >/dev/null || missing+=(imagemagick)
    command -v xwininfo >/dev/null || missing+=(x11-utils)
    if ((${#missing[@]})); then
        local sudo=""
        [[ $(id -u) -eq 0 ]] || sudo=sudo
        $sudo apt-get install -y --no-install-recommends "${missing[@]}"
    fi
}

free_display() {
    local n
    for n in $(seq 90 120); do
        [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]] || { echo ":$n"; return; }
    done
    echo "no free X display number" >&2
    return 1
}

# Waits (at most 10 s) for a top-level window with the title and prints its id.
window_id() {
    local title=$1 id=""
    for _ in $(seq 50); do
        id=$(xwininfo -display "$DISPLAY" -name "$title" 2>/dev/null |
            awk '/Window id:/ {print $4; exit}') || true
        [[ -n $id ]] && { echo "$id"; return; }
        sleep 0.2
    done
    echo "window \"$title\" did not appear" >&2
    return 1
}

capture() {
    local which=$1 title=$2 out=$3 pid id
    "$preview" "$which" &
    pid=$!
    if id=$(window_id "$title"); then
        sleep 1 # let the first paint finish
        import -display "$DISPLAY" -window "$id" "$out"
        echo "wrote $out"
    fi
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    [[ -n ${id:-} ]]
}

install_missing
[[ -x $preview ]] || cmake --build "$build" -j2 --target tarvik_dialog_preview

DISPLAY=$(free_display)
export DISPLAY QT_QPA_PLATFORM=xcb
Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp &
xvfb=$!
trap 'kill $xvfb 2>/dev/null || true' EXIT
sleep 1

mkdir -p "$root/docs"
capture scan "Port Scan Detection Options" "$root/docs/screenshot-scan-options.png"
capture logging "Logging Options" "$root/docs/screenshot-logging-options.png"
