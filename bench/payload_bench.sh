#!/bin/bash
# Payload size and pack cost on real Windows trees from Debian packages, against
# the peers, side by side in one run on the same data. Three trees: nsis (the
# whole /usr/share/nsis), wine (the PE files of Wine's i386-windows folder,
# stripped with i686-w64-mingw32-strip, as Debian ships them with DWARF) and
# mingw (the i686 MinGW import libraries and runtime DLLs that the named
# packages install). Sizes: selfextr pack --payload --run with one block and
# with 16 MiB blocks, the finished stub with its runner (SETUP.EXE; a build
# that carries none is counted 32,768 bytes more for it); an NSIS installer
# (SetCompressor /SOLID lzma, a Yes/No question in .onInit, File /r into
# $PLUGINSDIR\app); makeself --xz; xz -9e and xz --x86 --lzma2=preset=9e of a
# deterministic tar of the tree. Costs: wall time of selfextr pack (one block)
# and of makensis, median of ROUNDS runs alternated, and the peak resident
# memory of pack, of makensis and of selfextr verify (which decodes the payload
# with selfextr's own decoder).
# Installs what is missing with apt-get when run as root.
# bench/payload_bench.sh BUILD-FOLDER [ROUNDS [TREES]]   (ROUNDS: 3; TREES: "nsis wine mingw")
set -eu
build=$(cd "$1" && pwd) rounds=${2:-3} trees=${3:-"nsis wine mingw"}
export LC_ALL=C
work=$(mktemp -d /tmp/selfextr-payload.XXXXXX); trap 'rm -rf "$work"' EXIT
tool=$work/selfextr; cp "$build/pack/selfextr" "$tool"  # a rebuild during the run changes nothing
load0=$(cut -d' ' -f1-3 /proc/loadavg)
say() { echo "$*" >&2; }

. "$(dirname "$0")/trees.sh"
need nsis makeself time xz-utils tar || exit 1
makensis_version=$(makensis -VERSION)


now() { date +%s%N; }
# timed LOG CMD...: runs CMD with its output in LOG; sets T (ns) and M (peak RSS, KiB).
timed() {
    local log=$1 t0 rc=0; shift
    t0=$(now)
    /usr/bin/time -v -o "$log.time" "$@" >"$log" 2>&1 || rc=$?
    T=$(($(now) - t0))
    M=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$log.time")
    return $rc
}
median() { printf '%s\n' "$@" | sort -n | sed -n "$(( ($# + 1) / 2 ))p"; }
max() { printf '%s\n' "$@" | sort -n | tail -1; }
secs() { awk "BEGIN{printf \"%.1f\", $1/1e9}"; }
mib() { awk "BEGIN{printf \"%.0f\", $1/1024}"; }
size() { stat -c %s "$1"; }

pack_args=(--caption Bench --prompt "Install the bench payload?" --date 2026-12-08 --run "cmd.exe /c exit 0")
runner=  # the runner's size as packed, or none: 32768 counted for it
rows1=() rows2=() notes=()
for name in $trees; do
    t=$work/trees/$name
    say "== $name: building the tree"
    if ! make_tree "$name" "$t"; then notes+=("$name: skipped, its packages are missing"); continue; fi
    files=$(find "$t" -type f | wc -l) folders=$(find "$t" -mindepth 1 -type d | wc -l)
    bytes=$(find "$t" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')

    # NSIS: a normal installer asking Yes/No before anything, extracting the tree to its plug-ins folder.
    cat >"$work/$name.nsi" <<EOF
Unicode true
SetCompressor /SOLID lzma
Name "Bench"
OutFile "$work/$name-nsis.exe"
RequestExecutionLevel user
Function .onInit
    MessageBox MB_YESNO|MB_ICONQUESTION "Install the bench payload?" IDYES +2
    Abort
FunctionEnd
Section
    InitPluginsDir
    SetOutPath "\$PLUGINSDIR\\app"
    File /r "$t/*.*"
SectionEnd
EOF
    say "== $name: $files files in $folders folders, $bytes bytes; packing, $rounds rounds"
    pack_t=() pack_m=() nsis_t=() nsis_m=() refused=
    for r in $(seq "$rounds"); do
        if [ -z "$refused" ]; then
            rm -f "$work/$name-1.exe"
            if timed "$work/$name-pack.log" "$tool" pack -o "$work/$name-1.exe" --payload "$t" "${pack_args[@]}"; then
                pack_t+=("$T") pack_m+=("$M")
                [ "$r" = 1 ] && size1=$(size "$work/$name-1.exe") &&
                    notes+=("$name: $(grep '^payload:' "$work/$name-pack.log")")
                [ "$(size "$work/$name-1.exe")" = "$size1" ] || notes+=("$name: pack wrote a different size in round $r")
            else
                refused=$(grep -v 'warning:' "$work/$name-pack.log" | head -3 | tr '\n' ' ')
                notes+=("$name: selfextr pack refused the tree: $refused")
            fi
        fi
        rm -f "$work/$name-nsis.exe"
        timed "$work/$name-nsis.log" makensis -V2 "$work/$name.nsi" ||
            { cat "$work/$name-nsis.log" >&2; exit 1; }
        nsis_t+=("$T") nsis_m+=("$M")
    done
    nsis=$(size "$work/$name-nsis.exe")
    if [ -z "$refused" ]; then
        if [ -z "$runner" ]; then
            runner=$("$tool" list "$work/$name-1.exe" | awk '$2 == "SETUP.EXE" {print $3}')
            [ -n "$runner" ] && extra=0 || { runner=none extra=32768; }
        fi
        ours1=$((size1 + extra))
        say "== $name: 16 MiB blocks, verify"
        timed "$work/$name-pack16.log" "$tool" pack -o "$work/$name-16.exe" --payload "$t" --payload-block-size 16MiB "${pack_args[@]}"
        ours16=$(($(size "$work/$name-16.exe") + extra)) pack16_t=$T pack16_m=$M
        timed "$work/$name-verify.log" "$tool" verify "$work/$name-1.exe" ||
            { notes+=("$name: verify failed: $(head -3 "$work/$name-verify.log" | tr '\n' ' ')"); }
        verify_t=$T verify_m=$M
        ratio=$(awk "BEGIN{printf \"%.3f\", $ours1/$nsis}")
        mp=$(median "${pack_t[@]}")
        pack_cols=("$(secs "$mp")" "$(awk "BEGIN{printf \"%.2f\", $mp/$(median "${nsis_t[@]}")}")" "$(secs "$pack16_t")"
                   "$(mib "$(max "${pack_m[@]}")")" "$(mib "$pack16_m")" "$(secs "$verify_t")" "$(mib "$verify_m")")
    else
        ours1=refused ours16=refused ratio=- pack_cols=(- - - - - - -)
    fi

    say "== $name: makeself, xz"
    if makeself --quiet --xz "$t" "$work/$name.run" Bench true >"$work/$name-makeself.log" 2>&1; then
        makeself_size=$(size "$work/$name.run")
    else
        makeself_size=failed; notes+=("$name: makeself failed: $(tail -1 "$work/$name-makeself.log")")
    fi
    (cd "$t" && tar --sort=name --owner=0 --group=0 --numeric-owner --mtime=@0 -cf "$work/$name.tar" -- *)
    xz9e=$(xz -9e -T1 -c "$work/$name.tar" | wc -c)
    xzx86=$(xz -T1 --x86 --lzma2=preset=9e -c "$work/$name.tar" | wc -c)

    rows1+=("$(printf '%-6s %6s %7s %11s %12s %12s %11s %11s %11s %11s %9s' "$name" "$files" "$folders" "$bytes" \
        "$ours1" "$ours16" "$nsis" "$makeself_size" "$xz9e" "$xzx86" "$ratio")")
    rows2+=("$(printf '%-6s %7s %10s %9s %9s %9s %10s %9s %9s %10s' "$name" "${pack_cols[0]}" "$(secs "$(median "${nsis_t[@]}")")" \
        "${pack_cols[1]}" "${pack_cols[2]}" "${pack_cols[3]}" "${pack_cols[4]}" "$(mib "$(max "${nsis_m[@]}")")" \
        "${pack_cols[5]}" "${pack_cols[6]}")")
    rm -rf "$t" "$work/$name".* "$work/$name"-*
done

case $runner in
"") echo "sizes in bytes";;
none) echo "sizes in bytes; selfextr columns: the finished stub plus 32768 bytes for the future runner (SETUP.EXE, not carried yet)";;
*) echo "sizes in bytes; selfextr columns: the finished stub, its runner (SETUP.EXE, $runner bytes) included";;
esac
echo "ours/NSIS: selfextr with one block against NSIS $makensis_version (SetCompressor /SOLID lzma, its default 8 MiB dictionary)"
printf '%-6s %6s %7s %11s %12s %12s %11s %11s %11s %11s %9s\n' tree files folders bytes "selfextr 1" "selfextr 16Mi" NSIS \
    "makeself xz" "xz -9e tar" "xz x86 tar" ours/NSIS
printf '%s\n' "${rows1[@]}"
echo
echo "pack: median of $rounds runs, alternated with makensis; 16 MiB blocks and verify: one run; peak resident memory in MiB;"
echo "load average at the start: $load0, at the end: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) cores)"
printf '%-6s %7s %10s %9s %9s %9s %10s %9s %9s %10s\n' tree "pack s" "makensis s" pack/nsis "pack16 s" "pack MiB" \
    "pack16 MiB" "nsis MiB" "verify s" "verify MiB"
printf '%s\n' "${rows2[@]}"
[ ${#notes[@]} = 0 ] || { echo; printf '%s\n' "${notes[@]}"; }
