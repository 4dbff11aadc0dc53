#!/bin/sh
# Takes docs/screenshot-main.png: the window program on a virtual display, with a few loopback
# connections open so that the list has real rows. Usage: scripts/screenshot.sh [tarvik binary]
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${1:-$ROOT/build/bin/tarvik}
OUT=$ROOT/docs/screenshot-main.png

if [ ! -x "$BIN" ]; then
    echo "screenshot: $BIN not found; build the tarvik target first" >&2
    exit 1
fi
if ! command -v Xvfb >/dev/null 2>&1 || ! command -v import >/dev/null 2>&1 ||
   ! command -v xwininfo >/dev/null 2>&1; then
    sudo_cmd=""
    [ "$(id -u)" -ne 0 ] && sudo_cmd=sudo
    $sudo_cmd apt-get install -y xvfb imagemagick x11-utils
fi

WORK=$(mktemp -d)
XVFB_PID=""
APP_PID=""
PEER_PID=""
cleanup() {
    for pid in $APP_PID $PEER_PID $XVFB_PID; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

# A free display number.
DISPLAY_NUMBER=99
while [ -e "/tmp/.X${DISPLAY_NUMBER}-lock" ] || [ -e "/tmp/.X11-unix/X${DISPLAY_NUMBER}" ]; do
    DISPLAY_NUMBER=$((DISPLAY_NUMBER + 1))
done
Xvfb ":$DISPLAY_NUMBER" -screen 0 760x420x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
XVFB_PID=$!
tries=0
until [ -e "/tmp/.X11-unix/X${DISPLAY_NUMBER}" ]; do
    tries=$((tries + 1))
    [ $tries -gt 100 ] && { echo "screenshot: Xvfb did not start" >&2; exit 1; }
    sleep 0.1
done

# A loopback server with three clients; it ends by itself after a minute.
python3 - >"$WORK/peer.log" 2>&1 <<'PY' &
import socket, time
server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen(8)
clients = [socket.create_connection(server.getsockname()) for _ in range(3)]
accepted = [server.accept()[0] for _ in clients]
time.sleep(60)
PY
PEER_PID=$!

cat >"$WORK/Tarvik.conf" <<'CONF'
[View]
showlistening=1
showinbound=1
showoutbound=1
showunknown=1
reverselookup=0
CONF
mkdir -p "$WORK/run"
chmod 700 "$WORK/run"

DISPLAY=":$DISPLAY_NUMBER" XDG_RUNTIME_DIR="$WORK/run" QT_QPA_PLATFORM=xcb \
    "$BIN" --config "$WORK/Tarvik.conf" >"$WORK/tarvik.log" 2>&1 &
APP_PID=$!

tries=0
until DISPLAY=":$DISPLAY_NUMBER" xwininfo -root -tree 2>/dev/null | grep -q ' - Tarvik'; do
    tries=$((tries + 1))
    if [ $tries -gt 150 ] || ! kill -0 "$APP_PID" 2>/dev/null; then
        echo "screenshot: the window did not appear" >&2
        cat "$WORK/tarvik.log" >&2
        exit 1
    fi
    sleep 0.2
done
sleep 3  # a few poll ticks fill the list

mkdir -p "$(dirname "$OUT")"
DISPLAY=":$DISPLAY_NUMBER" import -window root "$OUT"
kill -TERM "$APP_PID"
wait "$APP_PID" 2>/dev/null || true
APP_PID=""
echo "screenshot: wrote $OUT"
