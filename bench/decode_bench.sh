#!/bin/bash
# Decoding speed of our .xz decoder against liblzma's, single-threaded, on a
# real tree's tar compressed with xz -9e as one block and as 16 MiB blocks.
# bench/decode_bench.sh [TREE] [ROUNDS]
# The compressed streams are kept in $DECODE_BENCH_CACHE (default
# /tmp/selfextr-decode-bench) and made again only when the tar changes.
set -eu
tree=${1:-/usr/lib/i386-linux-gnu/wine}
rounds=${2:-5}
top=$(cd "$(dirname "$0")/.." && pwd)
cache=${DECODE_BENCH_CACHE:-/tmp/selfextr-decode-bench}
mkdir -p "$cache"

bin=$cache/decode_bench
# The decoder's sources as decoder/sources.cmake lists them; the repository's
# top is the include path, so that decoder/lzma.h does not hide <lzma.h>.
mapfile -t sources < <(sed -n 's|.*${CMAKE_CURRENT_LIST_DIR}/\([^ )]*\).*|'"$top"'/decoder/\1|p' "$top/decoder/sources.cmake")
g++ -std=c++20 -O2 -I"$top" "$top/bench/decode_bench.cpp" "${sources[@]}" -llzma -o "$bin"

tar=$cache/tree.tar
tar cf "$tar" -C "$(dirname "$tree")" "$(basename "$tree")" 2>/dev/null
sum=$(sha256sum "$tar" | cut -c1-16)
one=$cache/$sum-9e.xz
blocks=$cache/$sum-9e-16MiB.xz
echo "== $tree: $(stat -c %s "$tar") bytes of tar"
if [ ! -f "$one" ]; then
    echo "   compressing with xz -9e, one block (a few minutes)"
    xz -T1 -9e -c "$tar" >"$one.part" && mv "$one.part" "$one"
fi
if [ ! -f "$blocks" ]; then
    echo "   compressing with xz -9e, 16 MiB blocks"
    xz -T2 -9e --block-size=16MiB -c "$tar" >"$blocks.part" && mv "$blocks.part" "$blocks"
fi
rm -f "$tar"
echo "   one block: $(stat -c %s "$one") bytes; 16 MiB blocks: $(stat -c %s "$blocks") bytes"
"$bin" "$rounds" "$one" "$blocks"
