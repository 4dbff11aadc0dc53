#!/usr/bin/env bash
# Measures a poll of the connection table against the kernel's own dump at 1,000, 10,000 and
# 50,000 loopback connections, the window's update cost, memory per row and tarvikd's idle CPU.
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
