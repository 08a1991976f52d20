#!/bin/bash
# Extraction of a 40 MB package of a few hundred files under Wine, from the
# answer Yes to the start of SETUP.EXE, against a plain Win32 writer of the
# same bytes, side by side in one run (see win32/extract_bench.cpp).
# bench/extract_bench.sh BUILD-FOLDER [ROUNDS]
set -eu
build=$(cd "$1" && pwd) rounds=${2:-5}
bench_name=bench; source "$(dirname "$0")/wine-bench.sh"
mkdir "$work/files"
cp "$win/bench/win32/bench_setup.exe" "$work/files/SETUP.EXE"
args=(--file "$work/files/SETUP.EXE")
total=$(stat -c %s "$work/files/SETUP.EXE") i=1
while [ "$total" -lt 40000000 ]; do
    size=$(( (i * 7919) % 200000 + 60000 ))  # about 250 files
    [ $((total + size)) -gt 40000000 ] && size=$((40000000 - total))
    head -c $size /dev/urandom >"$work/files/F$i.BIN"
    args+=(--file "$work/files/F$i.BIN")
    total=$((total + size)); i=$((i + 1))
done
"$build/pack/selfextr" pack --stub "$win/stub/selfextr-stub.exe" -o "$work/bench.exe" --caption Bench --prompt "Go?" \
    --date 2026-12-08 "${args[@]}" >/dev/null
chunks=0
for f in "$work"/files/*; do chunks=$((chunks + ($(stat -c %s "$f") + 32759) / 32760)); done
# The same with SETUP.EXE alone: what both sides pay besides the 40 MB.
"$build/pack/selfextr" pack --stub "$win/stub/selfextr-stub.exe" -o "$work/setup-only.exe" --caption Bench --prompt "Go?" \
    --date 2026-12-08 --file "$work/files/SETUP.EXE" >/dev/null
mkdir "$work/out"
echo "== package: $i files, $total bytes, $chunks chunks (meter redraws)"
"$build/wine-run" "$win/bench/win32/extract_bench.exe" "$(winpath "$work/bench.exe")" "$(winpath "$work/out")" "$rounds"
echo "== SETUP.EXE alone ($(stat -c %s "$work/files/SETUP.EXE") bytes)"
"$build/wine-run" "$win/bench/win32/extract_bench.exe" "$(winpath "$work/setup-only.exe")" "$(winpath "$work/out")" "$rounds"
