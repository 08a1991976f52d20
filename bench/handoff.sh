#!/bin/bash
# How long a setup program may keep running after it posted the clean-up
# before its own file stays behind in TEMP: the stub tries each deletion 257
# times. Each delay is run ROUNDS times; a sent command is tried too.
# bench/handoff.sh BUILD-FOLDER [ROUNDS]
set -eu
build=$(cd "$1" && pwd) rounds=${2:-3}
bench_name=handoff; source "$(dirname "$0")/wine-bench.sh"
cp "$win/bench/win32/linger_setup.exe" "$work/SETUP.EXE"
head -c 1000 /dev/urandom >"$work/DATA.BIN"
"$build/pack/selfextr" pack --stub "$win/stub/selfextr-stub.exe" -o "$work/handoff.exe" --caption Handoff --prompt "Go?" \
    --date 2026-12-08 --file "$work/SETUP.EXE" --file "$work/DATA.BIN" >/dev/null
run() {  # run LINGER-MS [send]: prints whether SETUP.EXE was left behind
    rm -rf "$work/out"; mkdir "$work/out"
    env SELFEXTR_LINGER_MS="$1" ${2:+SELFEXTR_LINGER_SEND=1} "$build/wine-run" cmd.exe /c \
        set "TEMP=$(winpath "$work/out")&&" "$(winpath "$win/tests/e2e/answer.exe")" \
        run "$(winpath "$work/handoff.exe")" box Handoff yes >/dev/null 2>&1 || true
    [ -e "$work/out/DATA.BIN" ] && { echo "no-clean-up"; return; }
    [ -e "$work/out/SETUP.EXE" ] && echo left || echo gone
}
for ms in 0 10 20 50 75 100 150 200; do
    results=""
    for _ in $(seq "$rounds"); do results+="$(run "$ms") "; done
    echo "posted, then running $ms ms: $results"
done
results=""
for _ in $(seq "$rounds"); do results+="$(run 0 send) "; done
echo "sent, then ending at once: $results"
