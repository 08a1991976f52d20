#!/bin/bash
# What the payload's block size and encoder settings cost, on real trees: for
# each tree, the exact tar that selfextr pack compresses (packed once, read
# back), compressed by xz with the encoder pack uses (liblzma's multithreaded
# encoder, LZMA2, CRC64: the same bytes for the same block size and filter)
# with one block and with blocks of 4 to 64 MiB, for each setting. Per cell:
# the xz stream's bytes, its growth against one block of the same setting
# (whose dictionary is the smallest power of two the tar fits, at most
# 64 MiB), the wall time with 2 threads (one block: 1 thread) and the peak
# resident memory. Then, per tree, makensis (SetCompressor /SOLID lzma) and
# selfextr pack with its defaults: wall time, peak memory, file size. The row
# "(pack)" is pack's own payload (its defaults) against the first setting's one block.
# Trees (bench/trees.sh): nsis, wine (i386 PE DLLs, stripped), large (big
# native libraries, 168 MiB). Wall times depend on the machine's load (the
# load average is printed with the table); CPU seconds much less so: on an
# idle machine of 2 cores a 2-thread run takes about half its CPU seconds.
# bench/block_bench.sh BUILD-FOLDER [TREES [SETTINGS [BLOCKS]]]
#   TREES: "nsis wine large"; SETTINGS: xz --lzma2 options without dict,
#   "preset=6 preset=6e"; BLOCKS: MiB, "4 8 16 32 64"
#   BENCH_TREES=FOLDER keeps the trees there between runs (built when missing).
set -eu
build=$(cd "$1" && pwd) trees=${2:-"nsis wine large"} settings=${3:-"preset=6 preset=6e"} blocks=${4:-"4 8 16 32 64"}
export LC_ALL=C
work=$(mktemp -d /tmp/selfextr-block.XXXXXX); trap 'rm -rf "$work"' EXIT
tool=$work/selfextr; cp "$build/pack/selfextr" "$tool"
say() { echo "$*" >&2; }
. "$(dirname "$0")/trees.sh"
need nsis xz-utils time || exit 1
load0=$(cut -d' ' -f1-3 /proc/loadavg)

# timed CMD...: sets T (wall seconds), C (CPU seconds, user and system) and M
# (peak RSS, MiB); CMD's output goes to $work/out.
timed() {
    local u s
    /usr/bin/time -f '%e %U %S %M' -o "$work/time" "$@" >"$work/out" 2>"$work/err" || { cat "$work/err" >&2; return 1; }
    read -r T u s M <"$work/time"; M=$((M / 1024)) C=$(awk "BEGIN{printf \"%.1f\", $u + $s}")
}
pow2() { local d=4096; while [ $d -lt "$1" ] && [ $d -lt $((64 << 20)) ]; do d=$((d * 2)); done; echo $d; }
pack_args=(--caption Bench --prompt "Install the bench payload?" --date 2026-12-08 --run "cmd.exe /c exit 0")

table=() summary=()
for name in $trees; do
    t=${BENCH_TREES:-$work/trees}/$name
    if [ ! -d "$t" ]; then
        say "== $name: building the tree"
        make_tree "$name" "$t.part" || { summary+=("$name: skipped, its packages are missing"); continue; }
        mv "$t.part" "$t"
    fi
    timed "$tool" pack -o "$work/$name.exe" --payload "$t" "${pack_args[@]}" --quiet
    pack_t=$T pack_c=$C pack_m=$M pack_size=$(stat -c %s "$work/$name.exe")
    "$tool" extract --raw "$work/$name.exe" "$work/raw" >/dev/null
    xz -dc "$work"/raw/payload-*.tar.xz >"$work/$name.tar"
    pack_xz=$(stat -c %s "$work"/raw/payload-*.tar.xz); rm -rf "$work/raw"
    tar_bytes=$(stat -c %s "$work/$name.tar") one_dict=$(pow2 "$(stat -c %s "$work/$name.tar")")
    first=
    for s in $settings; do
        say "== $name: $s"
        timed xz -T1 --format=xz --check=crc64 --lzma2="$s,dict=$one_dict" -c "$work/$name.tar"
        one=$(stat -c %s "$work/out")
        # pack's own payload, against one block of the first setting.
        [ -n "$first" ] || table+=("$(printf '%-6s %-12s %6s %12s %8s %7s %7s %6s' "$name" "(pack)" default "$pack_xz" \
            "$(awk "BEGIN{printf \"%+.2f\", 100 * ($pack_xz - $one) / $one}")" "$pack_t" "$pack_c" "$pack_m")")
        first=$one
        table+=("$(printf '%-6s %-12s %6s %12s %8s %7s %7s %6s' "$name" "$s" one "$one" - "$T" "$C" "$M")")
        for b in $blocks; do
            d=$((b << 20)); [ "$d" -gt "$one_dict" ] && d=$one_dict
            timed xz -T2 --memlimit-compress=0 --format=xz --check=crc64 --block-size=$((b << 20)) \
                --lzma2="$s,dict=$d" -c "$work/$name.tar"
            n=$(stat -c %s "$work/out")
            table+=("$(printf '%-6s %-12s %6s %12s %8s %7s %7s %6s' "$name" "$s" "$b" "$n" \
                "$(awk "BEGIN{printf \"%+.2f\", 100 * ($n - $one) / $one}")" "$T" "$C" "$M")")
        done
    done
    cat >"$work/$name.nsi" <<EOF
Unicode true
SetCompressor /SOLID lzma
Name "Bench"
OutFile "$work/$name-nsis.exe"
RequestExecutionLevel user
Section
    InitPluginsDir
    SetOutPath "\$PLUGINSDIR\\app"
    File /r "$t/*.*"
SectionEnd
EOF
    say "== $name: makensis"
    timed makensis -V2 "$work/$name.nsi"
    summary+=("$(printf '%-6s %12s %12s %8s %7s %7s %6s %12s %7s %7s %6s' "$name" "$tar_bytes" "$pack_size" \
        "$(awk "BEGIN{printf \"%.3f\", $pack_size / $(stat -c %s "$work/$name-nsis.exe")}")" "$pack_t" "$pack_c" "$pack_m" \
        "$(stat -c %s "$work/$name-nsis.exe")" "$T" "$C" "$M")")
    [ -n "${BENCH_TREES:-}" ] || rm -rf "$t"
    rm -rf "$work/$name".* "$work/$name"-*
done

echo "xz $(xz --version | head -1 | cut -d' ' -f4); $(nproc) cores; load average at the start: $load0, at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "one: one block, 1 thread, dictionary the smallest power of two >= the tar (at most 64 MiB);"
echo "MiB: blocks of that size, 2 threads, dictionary min(block, one's); growth against one of the same setting"
printf '%-6s %-12s %6s %12s %8s %7s %7s %6s\n' tree setting block "xz bytes" growth% "wall s" "CPU s" "RSS MiB"
printf '%s\n' "${table[@]}"
echo
echo "selfextr pack with its defaults against makensis (SetCompressor /SOLID lzma) on the same tree"
printf '%-6s %12s %12s %8s %7s %7s %6s %12s %7s %7s %6s\n' tree "tar bytes" "pack bytes" pack/nsis "pack s" "CPU s" "MiB" \
    "nsis bytes" "nsis s" "CPU s" "MiB"
printf '%s\n' "${summary[@]}"
