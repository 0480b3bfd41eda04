#!/usr/bin/env bash
# Builds the input reader's fuzzer in build-fuzz and runs it for SECONDS
# seconds (default 60) from a copy of the seed corpus in fuzz/corpus. Exits
# non-zero when the fuzzer finds a crash, a hang or a sanitizer report; the
# input that caused it is kept in build-fuzz/findings/. TUVAMO_WERROR=ON in the
# environment makes compiler warnings errors.
set -euo pipefail

seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"

cmake -S "$root" -B "$build" -DTUVAMO_FUZZ=ON -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_COMPILER="${CXX:-clang++}" -DTUVAMO_WERROR="${TUVAMO_WERROR:-OFF}" > /dev/null
cmake --build "$build" --target readdata_fuzz -j"$(nproc)" > /dev/null

# The fuzzer writes each input to tuvamo-fuzz-<its process id>.in in /dev/shm
# (else /tmp) and leaves it there: that file is removed when the run ends,
# whichever way it ends.
work=$(mktemp -d)
cleanup() {
    local pid
    if [ -s "$work/pid" ]; then
        pid=$(cat "$work/pid")
        rm -f "/dev/shm/tuvamo-fuzz-$pid.in" "/tmp/tuvamo-fuzz-$pid.in"
    fi
    rm -rf "$work"
}
trap cleanup EXIT
cp -r "$root/fuzz/corpus" "$work/corpus"
mkdir -p "$build/findings"

status=0
# A few hundred bytes can ask for over a billion values through a null repeat
# ("1333333333*"), which the reader takes one by one: some 15 s in an optimised
# build, longer under the sanitizers. Only a unit slower than that is a hang.
(
    echo "$BASHPID" > "$work/pid"
    exec "$build/readdata_fuzz" -max_total_time="$seconds" -max_len=8192 -timeout=120 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$build/findings/" "$work/corpus"
) > "$work/fuzz.log" 2>&1 || status=$?

if [ "$status" -ne 0 ]; then
    # Inputs with huge counts end as the memory diagnostic; those lines are expected.
    grep -v '^Tuvamo: memory exhausted$' "$work/fuzz.log" | tail -n 60
    echo "readdata_fuzz: finding (status $status); inputs in $build/findings/" >&2
    exit 1
fi
grep -E '^(Done |stat::)' "$work/fuzz.log"
