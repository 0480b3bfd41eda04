#!/usr/bin/env bash
# Builds Tuvamo (Release) and runs it on the bundled example input in
# out/example/, then shows the result files.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build
cmake -S . -B build/example -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/example -j"$(nproc)" --target Tuvamo >/dev/null
mkdir -p out/example
cd out/example
../../build/example/Tuvamo ../../examples/example.in
for f in example.LocusGST example.MeanGST; do
  echo "== $f"
  cat "$f"
done
