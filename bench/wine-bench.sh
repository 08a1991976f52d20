# wine-bench.sh: sourced by the benchmarks that run the stub under Wine, with
# build set to the build folder. Makes a work folder (removed on exit), starts
# a Wine session of the benchmarks' own (its display, prefix and wineserver,
# in build/wine-bench) and stops it on exit, so that a benchmark run while the
# tests run never stops the session they share; ends the benchmark where Wine
# cannot run.
win=$build/win32
export SELFEXTR_WINE_STATE=$build/wine-bench
work=$(mktemp -d "/tmp/selfextr-${bench_name:-bench}.XXXXXX")
trap 'rm -rf "$work"; "$build/wine-session" stop >/dev/null 2>&1 || true' EXIT
"$build/wine-session" start "$win/wineprobe.exe"
if [ -f "$SELFEXTR_WINE_STATE/unusable" ]; then echo "skipped: $(cat "$SELFEXTR_WINE_STATE/unusable")"; exit 0; fi
winpath() { echo "Z:${1//\//\\}"; }
