#!/bin/bash
# The size ceiling: packages of growing size, written past selfextr pack's
# limit by ceiling_probe, each extracted by the stub under Wine and compared.
# bench/ceiling.sh BUILD-FOLDER [MIB ...]
set -u
build=$(cd "$1" && pwd); shift
sizes=("$@"); [ ${#sizes[@]} = 0 ] && sizes=(41 100 250 500 1000 1500)
bench_name=ceiling; source "$(dirname "$0")/wine-bench.sh"
for mib in "${sizes[@]}"; do
    rm -rf "$work"/*; mkdir "$work/out"
    head -c $((mib * 1048576 / 4)) /dev/urandom >"$work/source.bin"
    "$build/bench/ceiling_probe" "$win/stub/selfextr-stub.exe" "$work/probe.exe" "$work/source.bin" 4 || exit 1
    start=$(date +%s%N)
    # answer starts the probe and presses Yes in its box; 125 when the probe asked nothing.
    "$build/wine-run" cmd.exe /c set "TEMP=$(winpath "$work/out")&&" "$(winpath "$win/tests/e2e/answer.exe")" \
        run "$(winpath "$work/probe.exe")" box Probe yes
    code=$? ms=$(( ($(date +%s%N) - start) / 1000000 ))
    good=0
    for n in 1 2 3 4; do cmp -s "$work/source.bin" "$work/out/F$n.BIN" && good=$((good + 1)); done
    echo "$(stat -c %s "$work/probe.exe") bytes ($mib MiB of entries): exit $code, $good of 4 files exact, $ms ms"
done
