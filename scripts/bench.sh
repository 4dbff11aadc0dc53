#!/usr/bin/env bash
# Measures a poll of the connection table against the kernel's own dump at 1,000, 10,000 and
# 50,000 loopback connections, the window's update cost, memory per row and tarvikd's idle CPU;
# then tarvikd's CPU per connection beside a bpftrace script and its notice-to-output latency.
# Builds its own Release tree (build-bench) so the numbers never come from a debug build.
# Usage: scripts/bench.sh [BUILD_DIR]   (the table goes to BUILD_DIR/bench-results.txt)
set -euo pipefail

cd "$(dirname "$0")/.."
out_dir="${1:-build}"
bench_dir="${BENCH_BUILD_DIR:-build-bench}"
jobs="${JOBS:-2}"

configure() {
    cmake -S . -B "$bench_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVIK_BUILD_GUI="$1" \
        -DTARVIK_BUILD_TESTS=OFF -DTARVIK_BUILD_BENCHMARKS=ON >/dev/null
}
# Without Qt the table's window columns read n/a.
configure ON || configure OFF
cmake --build "$bench_dir" -j "$jobs" --target bench_scale tarvikd

mkdir -p "$out_dir"
results="$out_dir/bench-results.txt"
{
    echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), kernel $(uname -r)"
    echo
} >"$results.head"

QT_QPA_PLATFORM=offscreen "$bench_dir/bin/bench_scale" \
    --out "$results.table" \
    --runs "${BENCH_RUNS:-7}" \
    --sizes "${BENCH_SIZES:-1000,10000,50000}" \
    --tarvikd "$bench_dir/bin/tarvikd" \
    --tarvikd-seconds "${BENCH_TARVIKD_SECONDS:-60}" >/dev/null

# The tracker falling behind a saturated machine must not queue snapshots: memory stays flat.
QT_QPA_PLATFORM=offscreen "$bench_dir/bin/bench_scale" \
    --tarvikd "$bench_dir/bin/tarvikd" \
    --under-load "${BENCH_LOAD_CONNECTIONS:-50000}" \
    --tarvikd-seconds "${BENCH_LOAD_SECONDS:-60}" 2>/dev/null >>"$results.table" || true

cat "$results.head" "$results.table" >"$results"
rm -f "$results.head" "$results.table"
cat "$results"
echo "(written to $results)"

# The peer: a bpftrace script on the same TCP state tracepoint, in the same run over the same
# churn. Installed where this may install it; bench_peer says why it did not run otherwise.
if ! command -v bpftrace >/dev/null && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "installing bpftrace for the peer beside tarvikd"
    apt-get install -y bpftrace >/dev/null 2>&1 ||
        { apt-get update >/dev/null 2>&1 && apt-get install -y bpftrace >/dev/null 2>&1; } ||
        echo "bpftrace could not be installed: tarvikd runs alone"
fi
if [ ! -d /sys/kernel/tracing/events ] && [ ! -d /sys/kernel/debug/tracing/events ]; then
    echo "no tracefs, so no bpftrace peer (as root: mount -t tracefs nodev /sys/kernel/tracing)"
fi
cmake --build "$bench_dir" -j "$jobs" --target bench_peer >/dev/null
echo
echo "tarvikd (events, every connection logged) beside bpftrace, and its --events latency:"
"$bench_dir/bin/bench_peer" --tarvikd "$bench_dir/bin/tarvikd" \
    --rates "${BENCH_PEER_RATES:-1000,5000}" --seconds "${BENCH_PEER_SECONDS:-10}" \
    --out "$out_dir/bench-peer.txt" 2>/dev/null || echo "bench_peer failed"
