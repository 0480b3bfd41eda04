#!/usr/bin/env bash
# Runs two builds of Tuvamo on the same input files and compares standard
# output and every file written, byte for byte.
# Usage: bench/compare.sh OLD-TUVAMO NEW-TUVAMO INPUT...
set -euo pipefail
old=$(realpath "$1") new=$(realpath "$2")
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
n=0
for input in "$@"; do
  n=$((n + 1))
  name=$n-$(basename "$input")  # inputs of one name in other folders stay apart
  for side in old new; do
    mkdir -p "$work/$side/$name"
    cp "$input" "$work/$side/$name/input"
    exe=$old
    [ "$side" = new ] && exe=$new
    (cd "$work/$side/$name" && "$exe" input >stdout 2>stderr) || echo "exit status $?" >>"$work/$side/$name/status"
  done
  count=$(ls "$work/old/$name" | wc -l)
  if diff -rq "$work/old/$name" "$work/new/$name" >/dev/null; then
    echo "$name: $count files identical"
  else
    diff -rq "$work/old/$name" "$work/new/$name" | head || true
    status=1
  fi
done
exit $status
