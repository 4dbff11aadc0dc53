#!/bin/bash
# Runs every fuzz target in BUILD_DIR/bin for SECONDS seconds each, from its seeds in
# fuzz/corpus/<target>/; fails on the first crash, leak or broken property. Inputs found on the
# way go to BUILD_DIR/corpus/<target>/, crashing ones to BUILD_DIR/artifacts/. A target may have
# a dictionary of tokens in fuzz/<target>.dict.
set -euo pipefail
BUILD_DIR=${1:?usage: fuzz/run.sh BUILD_DIR [SECONDS]}
SECONDS_EACH=${2:-30}
FUZZ_DIR="$(cd "$(dirname "$0")" && pwd)"
SEEDS="$FUZZ_DIR/corpus"

shopt -s nullglob
targets=("$BUILD_DIR"/bin/fuzz_*)
if [ ${#targets[@]} -eq 0 ]; then
    echo "no fuzz targets in $BUILD_DIR/bin" >&2
    exit 1
fi

mkdir -p "$BUILD_DIR/artifacts"
failed=0
for target in "${targets[@]}"; do
    name=$(basename "$target")
    corpus="$BUILD_DIR/corpus/$name"
    mkdir -p "$corpus"
    seeds=()
    if [ -d "$SEEDS/$name" ]; then
        seeds=("$SEEDS/$name")
    fi
    options=()
    if [ -f "$FUZZ_DIR/$name.dict" ]; then
        options=(-dict="$FUZZ_DIR/$name.dict")
    fi
    echo "== $name: ${SECONDS_EACH} s"
    if ! "$target" -max_total_time="$SECONDS_EACH" -rss_limit_mb=2048 -print_final_stats=1 \
        "${options[@]}" -artifact_prefix="$BUILD_DIR/artifacts/$name-" "$corpus" "${seeds[@]}" \
        >"$BUILD_DIR/$name.log" 2>&1; then
        tail -n 60 "$BUILD_DIR/$name.log" >&2
        echo "FAILED: $name (log $BUILD_DIR/$name.log, input in $BUILD_DIR/artifacts/)" >&2
        failed=$((failed + 1))
    else
        grep -E '^(stat::number_of_executed_units|stat::new_units_added)' "$BUILD_DIR/$name.log" || true
    fi
done
echo "$(( ${#targets[@]} - failed )) passed, $failed failed"
[ "$failed" -eq 0 ]
