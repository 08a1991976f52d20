# wine-bench.sh: sourced by the benchmarks that run the stub under Wine, with
# build set to the build folder. Makes a work folder (removed on exit), starts
# the test display and Wine, and ends the benchmark where Wine cannot run.
win=$build/win32
work=$(mktemp -d "/tmp/selfextr-${bench_name:-bench}.XXXXXX")
trap 'rm -rf "$work"; "$build/wine-session" stop >/dev/null 2>&1 || true' EXIT
"$build/wine-session" start "$win/wineprobe.exe"
if [ -f "$build/wine/unusable" ]; then echo "skipped: $(cat "$build/wine/unusable")"; exit 0; fi
winpath() { echo "Z:${1//\//\\}"; }
