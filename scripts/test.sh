#!/usr/bin/env bash
# Builds and runs every test: the unit and whole-run tests in Debug and Release
# (in Release also each test binary run whole with its tests shuffled, so that
# no test depends on what another left behind), again under AddressSanitizer
# and UndefinedBehaviorSanitizer, then the input reader's fuzzer for a minute,
# and the Windows program under Wine beside the Linux one. Every build treats
# compiler warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)
export TUVAMO_WERROR=ON  # also for the fuzzer's and the Windows build's scripts

run_suite() {  # build-dir, cmake options...
  local dir=$1
  shift
  echo "== tests: $dir $*"
  cmake -S . -B "$dir" -DBUILD_TESTING=ON -DTUVAMO_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs" >/dev/null
  (cd "$dir" && ctest -j"$jobs" --no-tests=error --output-on-failure --timeout 600)
}

run_shuffled() {  # build-dir: each test binary run whole once, its tests shuffled
  local dir=$1
  echo "== tests: $dir, each binary whole and shuffled"
  # The exhaustive formatter test changes no state and has run in the suite.
  "$dir/tuvamo_tests" --gtest_shuffle --gtest_brief=1 \
    --gtest_filter=-FormatFixed/FastSevenWideSlice.*
  "$dir/tuvamo_e2e" --gtest_shuffle --gtest_brief=1
}

run_suite build/debug -DCMAKE_BUILD_TYPE=Debug
run_suite build/release -DCMAKE_BUILD_TYPE=Release
# The shuffled runs go on beside the sanitizer build and its suite (each test
# has its own scratch folders); their output is shown once both are done.
shuffled_log=$(mktemp)
trap 'rm -f "$shuffled_log"' EXIT
run_shuffled build/release >"$shuffled_log" 2>&1 &
shuffled=$!
run_suite build/sanitize -DCMAKE_BUILD_TYPE=Debug -DTUVAMO_SANITIZE=ON
shuffled_status=0
wait "$shuffled" || shuffled_status=$?
cat "$shuffled_log"
[ "$shuffled_status" -eq 0 ] || { echo "== shuffled runs failed (status $shuffled_status)"; exit 1; }

echo "== fuzzing the input reader"
bash fuzz/run.sh 60

echo "== the Windows program under Wine"
bash scripts/windows.sh
