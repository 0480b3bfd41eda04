#!/usr/bin/env bash
# Builds the 32-bit Windows program (build/windows/Tuvamo.exe) and, under Wine,
# runs it beside the Linux program on every whole-run case of tests/e2e/cases and
# on the example input with its per-permutation files. Standard output, standard
# error, exit status and every file written must be byte-identical once CR LF is
# read as LF, and every line the Windows program writes must end in CR LF.
# Last, a run interrupted by Ctrl-C must leave no temporary file and the earlier
# results. TUVAMO_WERROR=ON in the environment makes compiler warnings errors.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/deps.sh windows
jobs=$(nproc)

werror=-DTUVAMO_WERROR=${TUVAMO_WERROR:-OFF}
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release "$werror" >/dev/null
cmake --build build/release -j"$jobs" --target Tuvamo >/dev/null
cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF "$werror" >/dev/null
cmake --build build/windows -j"$jobs" --target Tuvamo >/dev/null
linux_exe=$root/build/release/Tuvamo
windows_exe=$root/build/windows/Tuvamo.exe

# Which way the 32-bit program runs: natively, or (where the kernel hands 32-bit
# x86 programs to qemu-user) through qemu-user, which answers QEMU_VERSION with
# its own version; Wine's loader starts its preloader where it finds it beside
# itself. Either way it is the same 32-bit Windows program.
loader=/usr/lib/wine/wine
way=$(QEMU_VERSION=1 "$loader" --version 2>/dev/null | head -n 1) || true
case $way in
  qemu-*)
    if [ -e "${loader%/*}/wine-preloader" ]; then
      echo "windows: the 32-bit program runs through qemu-user (${way%% (*}), with Wine's preloader"
    else
      echo "windows: the 32-bit program runs through qemu-user (${way%% (*}), without Wine's preloader: each Wine process takes about a minute to start"
    fi ;;
  *) echo "windows: the 32-bit program runs natively ($way)" ;;
esac
export WINEDEBUG=-all
WINEPREFIX=
scratch=$(mktemp -d)
end_wine() {  # ends the prefix's Wine server with every Wine program left, and removes the prefix
  [ -n "$WINEPREFIX" ] || return 0
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
  WINEPREFIX=
}
trap 'end_wine; rm -rf "$scratch"' EXIT

# A new Wine prefix, with one Wine server (and its services) kept for every run
# rather than one started for each. Under qemu-user, Wine's own set-up of a
# prefix now and then dies halfway and then waits minutes: a set-up that has not
# finished within 3 minutes, or after which cmd.exe cannot run, is done again on
# a new prefix, at most 3 times.
for try in 1 2 3; do
  WINEPREFIX=$(mktemp -d)
  export WINEPREFIX
  wineserver -p
  timeout 180 wineboot -i >/dev/null 2>&1 || true
  status=0
  timeout 60 wine cmd /c exit 7 </dev/null >/dev/null 2>&1 || status=$?
  [ "$status" -ne 7 ] || break
  echo "windows: Wine's set-up of a prefix did not finish (try $try of 3)"
  end_wine
  [ "$try" -lt 3 ] || { echo "windows: Wine does not work on this machine"; exit 1; }
done

failures=0
compared=0
wine_lines='^(qemu: |wine: |wine client error|\*\*\* .* \*\*\*: terminated|[0-9a-f]{4}:(err|fixme|warn|trace):)'

# Every line of a file written on Windows ends in CR LF and no CR stands elsewhere.
crlf_only() {
  local lf cr crlf
  lf=$(tr -cd '\n' <"$1" | wc -c)
  cr=$(tr -cd '\r' <"$1" | wc -c)
  crlf=$(grep -c $'\r$' "$1" || true)
  [ "$lf" -eq "$cr" ] && [ "$crlf" -eq "$lf" ] && { [ ! -s "$1" ] || [ "$(tail -c 1 "$1" | od -An -c | tr -d ' ')" = '\n' ]; }
}

# compare NAME SOURCE-DIR: runs both programs on a copy of SOURCE-DIR's files;
# each side's standard output and standard error are kept as the files =stdout
# and =stderr beside the results, and compared with them.
compare() {
  local name=$1 src=$2 lin=$scratch/$1/linux win=$scratch/$1/windows
  local -a args=()
  mkdir -p "$lin" "$win"
  find "$src" -maxdepth 1 -type f ! -name args -exec cp {} "$lin" \; -exec cp {} "$win" \;
  if [ -f "$src/args" ]; then mapfile -t args <"$src/args"; fi
  local ls=0 ws=0
  (cd "$lin" && "$linux_exe" "${args[@]}" >"$scratch/$name.out.linux" 2>"$scratch/$name.err.linux") || ls=$?
  (cd "$win" && timeout --foreground 300 wine "$windows_exe" "${args[@]}" >"$scratch/$name.out.windows" 2>"$scratch/$name.err.windows") || ws=$?
  local ok=1
  [ "$ws" -ne 124 ] || echo "$name: the Windows program had not ended after 300 s"
  [ "$ls" -eq "$ws" ] || { echo "$name: exit status $ls on Linux, $ws on Windows"; ok=0; }
  mv "$scratch/$name.out.linux" "$lin/=stdout"
  mv "$scratch/$name.out.windows" "$win/=stdout"
  mv "$scratch/$name.err.linux" "$lin/=stderr"
  mv "$scratch/$name.err.windows" "$win/=stderr"
  # Wine and qemu-user write messages of their own on the program's standard
  # error (a helper process that crashes under qemu-user, now and then): those
  # lines are shown and left out; every line of the program starts "Tuvamo: ".
  if grep -aqE "$wine_lines" "$win/=stderr"; then
    echo "$name: not compared, Wine's own lines on standard error:"
    grep -aE "$wine_lines" "$win/=stderr" | head -n 4 | cat -v | sed 's/^/  /'
    grep -avE "$wine_lines" "$win/=stderr" >"$scratch/$name.err.windows" || true
    mv "$scratch/$name.err.windows" "$win/=stderr"
  fi
  if [ "$(cd "$lin" && ls -A | sort)" != "$(cd "$win" && ls -A | sort)" ]; then
    echo "$name: different files: $(cd "$lin" && ls -A | tr '\n' ' ') / $(cd "$win" && ls -A | tr '\n' ' ')"
    ok=0
  fi
  local f
  for f in "$lin"/* "$lin"/.[!.]*; do
    [ -f "$f" ] || continue
    local base=${f##*/}
    [ -f "$src/$base" ] && cmp -s "$src/$base" "$f" && continue
    if ! tr -d '\r' <"$win/$base" | cmp -s - "$f"; then
      echo "$name: $base differs"
      case $base in  # the program's own messages: the first lines that differ (< Windows, > Linux)
        =stdout | =stderr) diff <(tr -d '\r' <"$win/$base") "$f" | grep '^[<>]' | head -n 6 | cat -v | sed 's/^/  /' || true ;;
      esac
      ok=0
    elif ! crlf_only "$win/$base"; then
      echo "$name: $base has lines not ending in CR LF"
      ok=0
    fi
  done
  compared=$((compared + 1))
  [ $ok -eq 1 ] || failures=$((failures + 1))
}

for dir in tests/e2e/cases/*/; do
  [ -d "$dir" ] || continue
  name=$(basename "$dir")
  compare "$name" "$dir"
done

mkdir -p "$scratch/src-example" "$scratch/src-example-files"
cp examples/example.in "$scratch/src-example/example.in"
echo example.in >"$scratch/src-example/args"
sed 's/^0 \(.*write every permuted value\)/1 \1/' examples/example.in >"$scratch/src-example-files/example.in"
echo example.in >"$scratch/src-example-files/args"
compare example "$scratch/src-example"
compare example-files "$scratch/src-example-files"

# Ctrl-C during a run: the program removes its temporary result files and the
# earlier result file stays as it was.
interrupted() {
  local dir=$scratch/interrupted i ok=1
  mkdir -p "$dir"
  sed 's/^200 /100000 /; s/^0 \(.*write every permuted value\)/1 \1/' examples/example.in >"$dir/example.in"
  echo earlier >"$dir/example.LocusGST"
  (cd "$dir" && exec wine "$windows_exe" example.in >out 2>/dev/null) &
  local pid=$!
  for i in $(seq 1 3000); do
    grep -q "Permutating individuals" "$dir/out" 2>/dev/null && break
    sleep 0.1
  done
  ls -A "$dir" | grep -q '^\.Tuvamo-' || { echo "interrupted: no temporary result file while the program ran"; ok=0; }
  kill -INT "$pid" 2>/dev/null || true
  # A run that Ctrl-C does not end within a minute is a failure, and ended.
  for i in $(seq 1 600); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    echo "interrupted: the program had not ended 60 s after Ctrl-C"
    ok=0
    kill -KILL "$pid" 2>/dev/null || true
  fi
  wait "$pid" 2>/dev/null || true
  if ls -A "$dir" | grep -q '^\.Tuvamo-'; then echo "interrupted: temporary result files left behind"; ok=0; fi
  [ "$(cat "$dir/example.LocusGST")" = earlier ] || { echo "interrupted: the earlier result file changed"; ok=0; }
  grep -q "Analysis completed!" "$dir/out" && { echo "interrupted: the run was not interrupted"; ok=0; }
  compared=$((compared + 1))
  [ $ok -eq 1 ] || failures=$((failures + 1))
}
interrupted

echo "The Windows program beside the Linux one on $compared runs:"
echo "windows: $((compared - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
