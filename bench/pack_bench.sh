#!/bin/bash
# Packing a 40 MB package (or BYTES) of a few hundred files against cat of the same
# files into one file, side by side, alternating, several rounds; reports the
# median of each, their ratio, and selfextr's peak resident memory.
# bench/pack_bench.sh SELFEXTR STUB [ROUNDS [BYTES]]   (BYTES: 40000000 unless given)
set -eu
tool=$1 stub=$2 rounds=${3:-15} bytes=${4:-40000000}
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
mkdir "$work/files"
args=()
total=0 i=0
while [ $total -lt "$bytes" ]; do
    size=$(( (i * 7919) % (bytes / 200) + bytes / 400 ))  # about 200 files
    [ $((total + size)) -gt "$bytes" ] && size=$((bytes - total))
    head -c $size /dev/urandom >"$work/files/F$i.BIN"
    [ $i = 0 ] && name=SETUP.EXE || name=F$i.BIN
    args+=(--file "$work/files/F$i.BIN=$name")
    total=$((total + size)); i=$((i + 1))
done
files=("$work"/files/*)
now() { date +%s%N; }
pack_t=() cat_t=()
for r in $(seq "$rounds"); do
    sync
    t0=$(now); "$tool" pack --stub "$stub" -o "$work/out.exe" --caption Bench --prompt Go --date 2026-12-08 "${args[@]}" >/dev/null; t1=$(now)
    cat "${files[@]}" >"$work/cat.bin"; t2=$(now)
    pack_t+=($((t1 - t0))) cat_t+=($((t2 - t1)))
    rm -f "$work/out.exe" "$work/cat.bin"
done
median() { printf '%s\n' "$@" | sort -n | sed -n "$(( ($# + 1) / 2 ))p"; }
mp=$(median "${pack_t[@]}") mc=$(median "${cat_t[@]}")
peak=$(/usr/bin/time -f %M "$tool" pack --stub "$stub" -o "$work/out.exe" --caption Bench --prompt Go --date 2026-12-08 "${args[@]}" 2>&1 >/dev/null | tail -1)
echo "package: $i files, $total bytes"
echo "pack median: $((mp / 1000000)) ms, cat median: $((mc / 1000000)) ms, ratio pack/cat: $(awk "BEGIN{printf \"%.2f\", $mp/$mc}")"
echo "pack peak RSS: ${peak} KiB (limit: the package plus 16 MiB, $((total / 1024 + 16384)) KiB)"
