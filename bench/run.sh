#!/usr/bin/env bash
# Release build of the benchmark, then the two data sets.
# Usage: bench/run.sh [permutations-small] [permutations-wide] [files 0|1]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DTUVAMO_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build build/bench -j"$(nproc)" --target tuvamo_bench >/dev/null
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
build/bench/tuvamo_bench small "${1:-10000}" "${3:-1}" "$dir/small"
build/bench/tuvamo_bench wide "${2:-100}" "${3:-1}" "$dir/wide"
