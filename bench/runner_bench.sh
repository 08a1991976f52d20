#!/bin/bash
# selfextr's runner against NSIS under Wine, side by side in one run on the same
# payload trees: from the start of the setup to its command's first instruction
# and to the setup's end. Trees as bench/payload_bench.sh builds them (nsis: the
# whole /usr/share/nsis; wine: the PE files of Wine's i386-windows folder,
# stripped; mingw: the i686 MinGW import libraries and runtime DLLs), each with
# mark.exe (win32/runner_mark.cpp) added at its top.
#   selfextr: pack --payload TREE --run mark.exe (the stub asks, writes only
#     SETUP.EXE, the runner, into TEMP and starts it; the runner reads the
#     .tar.xz from its stub's image (a resource, never a file), expands it into
#     TEMP\sx-*, starts mark.exe there, waits, deletes the folder; the stub
#     deletes SETUP.EXE and ends).
#   NSIS: SetCompressor /SOLID lzma, the same Yes/No question in .onInit (same
#     title), only the instfiles page, InitPluginsDir, File /r into
#     $PLUGINSDIR\app, ExecWait mark.exe, RMDir /r, AutoCloseWindow.
# win32/runner_launch.cpp starts each with TEMP set to a fresh folder, takes t0
# just before CreateProcess, presses Yes as soon as the box shows, and t2 at the
# setup's process end; mark.exe takes t1 at its first instruction (all
# GetSystemTimePreciseAsFileTime). Directory notifications of TEMP and all below
# it (taken on receipt) split the time: the private folder's creation, the
# first file made in the command's folder (selfextr: TEMP\sx-*; NSIS:
# $PLUGINSDIR\app), the last change of a file there before t1, the folder's
# removal. One warm-up run of each, untimed, in which the launcher also samples
# TEMP's total size every 20 ms (its peak: the payload's files and whatever the
# setup keeps beside them); then ROUNDS runs of each, alternated; medians. Wine runs
# in a private session (a copy of the build's prefix, its own wineserver and
# Xvfb display). The payload's decoding is timed natively
# (selfextr verify, and xz -d of the same .tar.xz); pack's and makensis's peak
# resident memory by GNU time (/usr/bin/time; the columns left out without it).
# Both helpers are built here with i686-w64-mingw32-g++. Every run is checked:
# exit code 0, one mark from inside the private folder, no message box but the
# question, TEMP empty after, no process of the setup left.
# bench/runner_bench.sh BUILD-FOLDER [ROUNDS [TREES [BLOCK-MiB]]]   (ROUNDS: 3; TREES: "nsis wine";
#   BLOCK-MiB: pack's --payload-block-size, empty for pack's default)
set -eu
build=$(cd "$1" && pwd) rounds=${2:-3} trees=${3:-"nsis wine"} block=${4:-}
block_option=()
[ -z "$block" ] || block_option=(--payload-block-size "${block}MiB")
export LC_ALL=C
here=$(cd "$(dirname "$0")" && pwd)
for c in makensis i686-w64-mingw32-g++ i686-w64-mingw32-strip xz wine Xvfb; do
    command -v "$c" >/dev/null || { echo "missing: $c (Debian: nsis, g++-mingw-w64-i686, xz-utils, wine, xvfb)"; exit 1; }
done
# A private Wine session: a copy of the build's prefix (made by ctest -R wine.start), its own wineserver
# and its own Xvfb display, so that the shared session's stops and restarts by concurrent tests (which
# make every message box fail at once) neither disturb this benchmark nor are disturbed by it.
[ -f "$build/wine/prefix.done" ] && [ ! -f "$build/wine/unusable" ] ||
    { echo "skipped: no usable Wine prefix in $build/wine (ctest --test-dir $build -R wine.start makes it)"; exit 0; }
win=$build/win32
work=$(mktemp -d /tmp/selfextr-runner.XXXXXX) xvfb=
export WINEPREFIX=$work/prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
stop_session() {
    "$wineserver" -k >/dev/null 2>&1 || true
    [ -z "$xvfb" ] || { kill "$xvfb" 2>/dev/null || true; wait "$xvfb" 2>/dev/null || true; }
    xvfb=
}
trap 'stop_session; rm -rf "$work"' EXIT
start_session() {
    local n
    for n in $(seq 140 180); do
        { [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; } && continue
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
        xvfb=$!
        for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
        [ -e "/tmp/.X11-unix/X$n" ] && { export DISPLAY=:$n; break; }
        kill "$xvfb" 2>/dev/null || true; xvfb=
    done
    [ -n "$xvfb" ] || { echo "no Xvfb display could be started" >&2; exit 1; }
    "$wineserver" -p </dev/null >/dev/null 2>&1
    timeout 120 wine "$win/wineprobe.exe" >"$work/probe.log" 2>&1 || { echo "wine cannot run: $(tail -1 "$work/probe.log")" >&2; exit 1; }
}
session_alive() { [ -n "$xvfb" ] && kill -0 "$xvfb" 2>/dev/null && [ -e "/tmp/.X11-unix/X${DISPLAY#:}" ]; }
cp -a "$build/wine/prefix" "$WINEPREFIX"
start_session
winpath() { echo "Z:${1//\//\\}"; }
say() { echo "$*" >&2; }
load0=$(cut -d' ' -f1-3 /proc/loadavg)
tool=$work/selfextr; cp "$build/pack/selfextr" "$tool"  # a rebuild during the run changes nothing
title="Runner Bench" prompt="Install the bench payload?"

# The helpers: mark.exe without a C run-time (its entry is its first instruction), the launcher with it.
cxx=(i686-w64-mingw32-g++ -O2 -static)
"${cxx[@]}" -nostdlib -fno-exceptions -fno-asynchronous-unwind-tables -fno-stack-protector -mwindows \
    -Wl,-e,_Mark_Entry -o "$work/mark.exe" "$here/win32/runner_mark.cpp" -lkernel32
"${cxx[@]}" -o "$work/launch.exe" "$here/win32/runner_launch.cpp"

. "$(dirname "$0")/trees.sh"

now() { date +%s%N; }
median() { printf '%s\n' "$@" | sort -g | awk 'NF {v[++n] = $1} END {if (n) print v[int((n + 1) / 2)]; else print "-"}'; }
ms() { [ -z "$1" ] || awk "BEGIN{printf \"%.0f\", $1}"; }
sub() { [ -z "$1" ] || [ -z "$2" ] || awk "BEGIN{printf \"%.1f\", $1 - $2}"; }  # A - B, both ms; nothing when one is missing

# Peak resident memory of pack and makensis by GNU time, when it is there (not bash's keyword).
gnutime=(); [ -x /usr/bin/time ] && /usr/bin/time -f %M true 2>/dev/null && gnutime=(/usr/bin/time -f %M -o)
# timed FILE COMMAND...: runs COMMAND, its peak in KiB into FILE (nothing without GNU time).
timed() { local f=$1; shift; if [ ${#gnutime[@]} = 0 ]; then rm -f "$f"; "$@"; else "${gnutime[@]}" "$f" "$@"; fi; }
mib_of_kib() { [ -s "$1" ] && awk 'NF {v = $1} END {printf "%.0f", v / 1024}' "$1" || echo -; }

notes=()
note() { notes+=("$*"); say "note: $*"; }

# run_one SIDE NAME ROUND: one setup under runner_launch; appends the run's numbers to the side's lists.
declare -A V  # V[side,name,what] = space-separated values, one per round
add() { V[$1]="${V[$1]:-} $2"; }
run_one() {
    local side=$1 name=$2 r=$3 try tmp log sample=()
    local setup=$work/$name-$side.exe  # apart: one local's words are all expanded before any is set
    for try in 1 2 3; do
        if ! session_alive; then
            note "run $side/$name/$r: the private Wine session was down, started again"
            stop_session; start_session
        fi
        tmp=$work/temp-$side-$name-$r-$try log=$work/log-$side-$name-$r-$try
        mkdir "$tmp"
        # The warm-up run samples TEMP's size (a walk every 20 ms slows what it measures).
        [ "$r" != 0 ] || sample=(peak)
        timeout 200 wine "$work/launch.exe" "$title" "$(winpath "$tmp")" "$(winpath "$work/mark.txt")" \
            "$(winpath "$setup")" 180 "${sample[@]}" >"$log" 2>"$log.err" || true
        sed -i 's/\r$//' "$log"  # the Windows console's line ends
        if grep -q '^timeout ' "$log"; then
            note "run $side/$name/$r: the setup had not ended after 180 s (killed); $(grep -E '^(yes|box|mark|timeout)' "$log" | tr '\n' ';')" \
                 "TEMP held: $(cd "$tmp" && find . -mindepth 1 -maxdepth 2 | head -8 | tr '\n' ' ')"
            return 1
        fi
        # Retried: runs where the question never came (the display failed), as a broken session does.
        grep -q '^yes ' "$log" && grep -q '^exit ' "$log" && break
        note "run $side/$name/$r try $try: no question box ($(grep -E '^(exit|box|note)' "$log" | tr '\n' ';'))," \
             "session $(session_alive && echo up || echo down); TEMP held: $(cd "$tmp" && find . -mindepth 1 -maxdepth 1 | tr '\n' ' ')"
        [ "$try" = 3 ] && return 1
        stop_session; start_session
        rm -rf "$tmp"; sleep 1
    done
    local yes t1 t2 code marks markpath priv added removed left procs first last overflows
    yes=$(awk '$1 == "yes" {print $2; exit}' "$log")
    t2=$(awk '$1 == "exit" {print $2}' "$log") code=$(awk '$1 == "exit" {print $3}' "$log")
    marks=$(grep -c '^mark ' "$log" || true)
    t1=$(awk '$1 == "mark" {print $2; exit}' "$log") markpath=$(awk '$1 == "mark" {$1 = $2 = ""; sub(/^ +/, ""); print; exit}' "$log")
    [ "$code" = 0 ] || note "run $side/$name/$r: the setup ended with exit code $code"
    [ "$marks" = 1 ] || note "run $side/$name/$r: mark.exe ran $marks times"
    # The private folder: the name under TEMP of the folder mark.exe ran from.
    priv=${markpath#"$(winpath "$tmp")\\"} priv=${priv%%\\*}
    case $side:$priv in sx:sx-*|nsis:ns*.tmp) ;; *) note "run $side/$name/$r: mark.exe ran from $markpath";; esac
    # The last creation before t1 and the first removal after it (NSIS's GetTempFileName makes and removes a file of that name first).
    added=$(awk -v n="$priv" -v t="$t1" '$1 == "event" && $3 == "added" && $4 == n && $2 + 0 <= t + 0 {v = $2} END {print v}' "$log")
    removed=$(awk -v n="$priv" -v t="$t1" '$1 == "event" && $3 == "removed" && $4 == n && $2 + 0 >= t + 0 {print $2; exit}' "$log")
    first=$(awk '$1 == "first" {print $2}' "$log") last=$(awk '$1 == "last" {print $2}' "$log")
    overflows=$(grep -c '^overflow ' "$log" || true)
    [ "$overflows" = 0 ] || note "run $side/$name/$r: $overflows batches of notifications lost (buffer overflow); first and last byte may be off"
    if grep -q '^box ' "$log"; then note "run $side/$name/$r: message box: $(grep '^box ' "$log" | cut -d' ' -f3- | tr '\n' '|')"; fi
    left=$(cd "$tmp" && find . -mindepth 1 | head -5 | tr '\n' ' ')
    [ -z "$left" ] || note "run $side/$name/$r: left in TEMP: $left"
    procs=$(ps -eo pid,args | grep -F "temp-$side-$name-$r-" | grep -v grep || true)
    [ -z "$procs" ] || note "run $side/$name/$r: still running after the setup ended: $(echo "$procs" | tr '\n' '|')"
    if [ "$r" = 0 ]; then  # the warm-up: checked, not timed; TEMP's peak
        V[$side,$name,peak]=$(awk '$1 == "peak" {print $2}' "$log")
        rm -rf "$tmp" "$work/mark.txt"; return 0
    fi
    if [ "$side" = sx ]; then
        # The stub's own progress window (writing SETUP.EXE), last seen.
        add "$side,$name,copied" "$(awk '$1 == "window" && $4 == "own" {v = $3} END {print v}' "$log")"
    fi
    add "$side,$name,runs" "$(ms "$yes")/$(ms "$t1")/$(ms "$t2")"
    add "$side,$name,yes" "$yes"; add "$side,$name,t1" "$t1"; add "$side,$name,t2" "$t2"
    add "$side,$name,t1-yes" "$(sub "$t1" "$yes")"; add "$side,$name,t2-t1" "$(sub "$t2" "$t1")"
    if [ -n "$added" ] && [ -n "$removed" ]; then
        add "$side,$name,made" "$(sub "$added" "$yes")"; add "$side,$name,expand" "$(sub "$t1" "$added")"
        add "$side,$name,delete" "$(sub "$removed" "$t1")"; add "$side,$name,end" "$(sub "$t2" "$removed")"
        if [ -n "$first" ] && [ -n "$last" ]; then
            add "$side,$name,first" "$(sub "$first" "$added")"; add "$side,$name,last" "$(sub "$last" "$first")"
            add "$side,$name,to-t1" "$(sub "$t1" "$last")"
        else
            note "run $side/$name/$r: no notification of a file in the command's folder (first '$first', last '$last')"
        fi
    else
        note "run $side/$name/$r: no notification for the private folder $priv (added '$added', removed '$removed')"
    fi
    rm -rf "$tmp" "$work/mark.txt"
    cp "$log" "$work/last-$side-$name.log"
}
med() { local v; v=$(median ${V[$1]:-}); [ "$v" = - ] && echo - || ms "$v"; }

rows=() rows2=() rows3=() rows4=() rows5=()
for name in $trees; do
    t=$work/trees/$name
    say "== $name: building the tree"
    if ! make_tree "$name" "$t"; then note "$name: skipped, its source is missing"; continue; fi
    files=$(find "$t" -type f | wc -l) folders=$(find "$t" -mindepth 1 -type d | wc -l)
    bytes=$(find "$t" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')
    [ -e "$t/mark.exe" ] && { note "$name: the tree has its own mark.exe, skipped"; continue; }
    cp "$work/mark.exe" "$t/mark.exe"

    say "== $name: $files files in $folders folders, $bytes bytes (and mark.exe); packing both${block:+, payload blocks of $block MiB}"
    t0=$(now)
    timed "$work/$name-pack.mem" "$tool" pack -o "$work/$name-sx.exe" --payload "$t" --run mark.exe --caption "$title" --prompt "$prompt" \
        "${block_option[@]}" --date 2026-12-09 >"$work/$name-pack.log" 2>&1 || { cat "$work/$name-pack.log" >&2; exit 1; }
    pack_s=$(awk "BEGIN{printf \"%.1f\", ($(now) - $t0) / 1e9}")
    cat >"$work/$name.nsi" <<EOF
Unicode true
SetCompressor /SOLID lzma
Name "$title"
Caption "$title"
OutFile "$work/$name-nsis.exe"
RequestExecutionLevel user
AutoCloseWindow true
Page instfiles
Function .onInit
    MessageBox MB_YESNO "$prompt" IDYES +2
    Abort
FunctionEnd
Section
    InitPluginsDir
    SetOutPath "\$PLUGINSDIR\\app"
    File /r "$t/*.*"
    ExecWait '"\$PLUGINSDIR\\app\\mark.exe"'
    SetOutPath "\$TEMP"
    RMDir /r "\$PLUGINSDIR\\app"
SectionEnd
EOF
    t0=$(now)
    timed "$work/$name-nsis.mem" makensis -V4 "$work/$name.nsi" >"$work/$name-nsis.log" 2>&1 || { tail -20 "$work/$name-nsis.log" >&2; exit 1; }
    nsis_s=$(awk "BEGIN{printf \"%.1f\", ($(now) - $t0) / 1e9}")
    nsis_files=$(grep -c '^File: "' "$work/$name-nsis.log" || true)
    [ "$nsis_files" = $((files + 1)) ] || note "$name: NSIS packed $nsis_files files of $((files + 1))"
    sx_size=$(stat -c %s "$work/$name-sx.exe") nsis_size=$(stat -c %s "$work/$name-nsis.exe")
    # The payload is no entry but a resource: its line "payload: NAME.tar.xz, ..., 1,234 packed, ...".
    packed=$("$tool" list "$work/$name-sx.exe" | sed -n 's/^payload: .*\.tar\.xz"\{0,1\}, .* \([0-9,]*\) packed, .*/\1/p' | tr -d ,)
    [ -n "$packed" ] || note "$name: no payload line in selfextr list's output"

    say "== $name: decoding natively"
    vt=()
    for _ in 1 2 3; do
        t0=$(now); "$tool" verify "$work/$name-sx.exe" >"$work/verify.log" 2>&1 ||
            note "$name: verify failed: $(head -2 "$work/verify.log" | tr '\n' ' ')"
        vt+=("$(( ($(now) - t0) / 1000000 ))")
    done
    mkdir "$work/raw"; "$tool" extract --raw "$work/$name-sx.exe" "$work/raw" >/dev/null
    xt=()
    for _ in 1 2 3; do t0=$(now); xz -dc -T1 "$work"/raw/*.tar.xz >/dev/null; xt+=("$(( ($(now) - t0) / 1000000 ))"); done
    rm -rf "$work/raw"

    say "== $name: $rounds rounds under Wine, alternated, after one warm-up run of each"
    for r in $(seq 0 "$rounds"); do
        if [ $((r % 2)) = 1 ]; then order="sx nsis"; else order="nsis sx"; fi
        for side in $order; do
            run_one "$side" "$name" "$r" || note "$name: $side round $r failed, the tree's results are partial"
        done
    done
    say "   selfextr: yes $(med "sx,$name,yes") t1 $(med "sx,$name,t1") t2 $(med "sx,$name,t2");" \
        "NSIS: yes $(med "nsis,$name,yes") t1 $(med "nsis,$name,t1") t2 $(med "nsis,$name,t2")"
    mb=$(awk "BEGIN{printf \"%.1f\", $bytes / 1048576}")
    for side in sx nsis; do
        label=selfextr size=$sx_size; [ $side = nsis ] && label=NSIS size=$nsis_size
        rows+=("$(printf '%-6s %5s %7s  %-8s %11s %6s %7s %7s %7s %8s' "$name" "$files" "$mb" "$label" "$size" \
            "$(med "$side,$name,yes")" "$(med "$side,$name,t1")" "$(med "$side,$name,t2-t1")" "$(med "$side,$name,t2")" \
            "$(med "$side,$name,t1-yes")")")
        rows2+=("$(printf '%-6s %-8s %6s %9s %10s %9s %6s %7s %7s %6s %7s' "$name" "$label" "$(med "$side,$name,yes")" \
            "$(med "$side,$name,made")" "$(med "$side,$name,first")" "$(med "$side,$name,last")" \
            "$(med "$side,$name,to-t1")" "$(med "$side,$name,expand")" "$(med "$side,$name,delete")" \
            "$(med "$side,$name,end")" "$( [ $side = sx ] && med "sx,$name,copied" || echo -)")")
        peak=${V[$side,$name,peak]:-}
        rows5+=("$(printf '%-6s %-8s %8s %13s' "$name" "$label" "$mb" \
            "$([ -n "$peak" ] && awk "BEGIN{printf \"%.1f\", $peak / 1048576}" || echo -)")")
    done
    for side in sx nsis; do
        rows4+=("$(printf '%-6s %-8s %s' "$name" "$([ $side = sx ] && echo selfextr || echo NSIS)" "${V[$side,$name,runs]:-}")")
    done
    rows3+=("$(printf '%-6s %11s %11s %9s %9s %8s %10s' "$name" "$bytes" "$packed" "$(median "${vt[@]}")" \
        "$(median "${xt[@]}")" "$pack_s" "$nsis_s")$([ ${#gnutime[@]} = 0 ] ||
        printf ' %10s %14s' "$(mib_of_kib "$work/$name-pack.mem")" "$(mib_of_kib "$work/$name-nsis.mem")")")
    rm -rf "$t" "$work/$name-sx.exe" "$work/$name-nsis.exe"
done

echo "selfextr $("$tool" --version | sed -n '1s/^selfextr //p') (runner $("$tool" --version | sed -n 's/^runner: \([0-9]*\) bytes.*/\1/p') bytes)" \
     "vs NSIS $(makensis -VERSION) (SetCompressor /SOLID lzma), $(wine --version 2>/dev/null || echo wine);" \
     "$rounds runs each, alternated; medians in ms from t0 (just before CreateProcess of the setup)"
echo "load average at the start: $load0, at the end: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) cores)"
echo "Yes: the question answered; t1: mark.exe's first instruction; t2: the setup's process ended; MiB: the tree without mark.exe"
printf '%-6s %5s %7s  %-8s %11s %6s %7s %7s %7s %8s\n' tree files MiB setup bytes Yes t1-t0 t2-t1 t2-t0 t1-Yes
printf '%s\n' "${rows[@]}"
echo
echo "where the time goes (medians of each step, ms; folder: TEMP\\sx-* for selfextr, \$PLUGINSDIR for NSIS, as notified;"
echo "  the command's folder: TEMP\\sx-* for selfextr, \$PLUGINSDIR\\app for NSIS). Yes: from t0;"
echo "  to folder: Yes to the folder's creation (selfextr: the stub writes SETUP.EXE, the runner starts;"
echo "  NSIS: its window and the section's start); 1st byte: to the first file made in the command's folder;"
echo "  last byte: to the last change of a file there before t1 (selfextr: decoding and writing; NSIS: File /r);"
echo "  to t1: to mark.exe's first instruction (selfextr: the last file's close, mark.exe's start; NSIS: ExecWait's start);"
echo "  expand: the folder's creation to t1 (the three before it); delete: t1 to the folder's removal; end: to t2"
echo "  (selfextr: the stub deletes SETUP.EXE; NSIS: its window closes). copied: the stub's progress window last seen"
echo "  (5 ms polling), from t0. Notifications are timed on receipt, in batches: steps under a few ms are noise"
printf '%-6s %-8s %6s %9s %10s %9s %6s %7s %7s %6s %7s\n' tree setup Yes "to folder" "1st byte" "last byte" "to t1" \
    expand delete end copied
printf '%s\n' "${rows2[@]}"
echo
echo "each run, in round order (selfextr first in odd rounds): Yes/t1-t0/t2-t0 ms"
printf '%s\n' "${rows4[@]}"
echo
echo "TEMP's peak during the warm-up run (all files under TEMP, sampled every 20 ms), beside the tree's size (without mark.exe)"
printf '%-6s %-8s %8s %13s\n' tree setup "tree MiB" "TEMP peak MiB"
printf '%s\n' "${rows5[@]}"
echo
echo "natively (this host, 1 thread): selfextr verify decodes and checks the payload; xz -d the same .tar.xz; median of 3, ms;"
echo "pack and makensis: one run each, s$([ ${#gnutime[@]} = 0 ] || echo "; their peak resident memory (GNU time), MiB")"
printf '%-6s %11s %11s %9s %9s %8s %10s' tree bytes ".tar.xz" verify "xz -d" "pack s" "makensis s"
[ ${#gnutime[@]} = 0 ] && echo || printf ' %10s %14s\n' "pack MiB" "makensis MiB"
printf '%s\n' "${rows3[@]}"
[ ${#notes[@]} = 0 ] || { echo; printf '%s\n' "${notes[@]}"; }
