#!/bin/bash
# Installed as a user installs it: cmake --install into a staging prefix, the
# tool copied alone packing a folder, the man page rendered, and the .deb of
# cpack listed.
set -u
build=$1 stub=$2 consumer=$3 toolchain=$4 recipe=$5 wine_run=$6 answer=$7
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
fail() { echo "install: $*"; exit 1; }
stage=$work/prefix
cmake --install "$build" --prefix "$stage" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "cmake --install failed"; }
for f in bin/selfextr lib/cmake/selfextr/selfextrConfig.cmake include/selfextr_partner.h include/selfextr_protocol.h share/man/man1/selfextr.1 \
         share/doc/selfextr/package-format.md share/doc/selfextr/image.md share/selfextr/selfextr-stub.exe; do
    [ -f "$stage/$f" ] || fail "$f was not installed"
done
cmp -s "$stage/share/selfextr/selfextr-stub.exe" "$stub" || fail "the installed stub is not the bare stub"
if command -v man >/dev/null; then
    MANWIDTH=80 man -l "$stage/share/man/man1/selfextr.1" 2>/dev/null | grep -q 'EXIT STATUS' || fail "the man page does not render"
fi

# The installed tool, copied alone, packs a folder with the stub it carries.
mkdir "$work/alone" "$work/dist"
cp "$stage/bin/selfextr" "$work/alone/"
printf 'MZ' >"$work/dist/SETUP.EXE"; printf 'data' >"$work/dist/DATA.BIN"
cd "$work"
alone/selfextr pack -o setup.exe --caption "Installed" --prompt "Go?" --date 2026-12-08 --dir dist >/dev/null || fail "the lone tool did not pack"
alone/selfextr verify setup.exe >/dev/null || fail "what the lone tool packed does not verify"

# Every selfextr command of the installed README, copied as it stands, in a
# folder holding what they name, on a machine without SOURCE_DATE_EPOCH.
readme=$stage/share/doc/selfextr/README.md
mkdir -p "$work/readme/dist/app"
printf 'MZ' >"$work/readme/dist/app/install.exe"; printf 'Read me.\r\n' >"$work/readme/dist/README.TXT"
cat >"$work/readme/package.toml" <<'EOF_TOML'
caption = "Example Setup"
prompt = "Install Example?"
[payload]
dir = "dist"
run = 'app\install.exe /quiet'
EOF_TOML
commands=$(awk '/^```sh$/ { on = 1; next } /^```/ { on = 0 } on && /^selfextr / { sub(/[ \t]+#.*$/, ""); print }' "$readme")
[ "$(grep -c . <<<"$commands")" -ge 4 ] || fail "the installed README shows too few selfextr commands: $commands"
: >"$work/readme.log"
while IFS= read -r command; do
    (cd "$work/readme" && env -u SOURCE_DATE_EPOCH PATH="$stage/bin:$PATH" bash -c "$command") >>"$work/readme.log" 2>&1 ||
        fail "the README's \`$command\` failed: $(cat "$work/readme.log")"
done <<<"$commands"
grep -q '^date: [0-9-]* 0:00, the newest modification time among the inputs (.*), a local date$' "$work/readme.log" ||
    fail "pack does not say where its date came from: $(cat "$work/readme.log")"

# A consumer project: find_package(selfextr) against the prefix, its
# SETUP.EXE built with MinGW and packed by selfextr_add_setup, packed again
# when an input changes. A cross-compiling project, whose toolchain looks for
# packages in its own sysroot, names the package folder with selfextr_DIR.
cp -r "$consumer" "$work/consumer"
# Its selfextr_add_setup gives no DATE, and the machine no SOURCE_DATE_EPOCH.
unset SOURCE_DATE_EPOCH
cmake -S "$work/consumer" -B "$work/consumer-build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -Dselfextr_DIR="$stage/lib/cmake/selfextr" >"$work/consumer.log" 2>&1 &&
    cmake --build "$work/consumer-build" >>"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; fail "the consumer did not build"; }
out=$work/consumer-build/consumer-setup.exe
"$stage/bin/selfextr" verify --json "$out" >"$work/verify.json" || fail "the consumer's setup does not verify: $(cat "$work/verify.json")"
grep -q '"name" : "SETUP.exe"' "$work/verify.json" && grep -q '"name" : "README.TXT"' "$work/verify.json" &&
    grep -q '"caption" : "Consumer Setup"' "$work/verify.json" || fail "the consumer's setup holds: $(cat "$work/verify.json")"
printf 'Read me again, it is longer now.\r\n' >"$work/consumer/README.TXT"
cmake --build "$work/consumer-build" >>"$work/consumer.log" 2>&1 || fail "the consumer did not build again"
"$stage/bin/selfextr" list "$out" | grep -q 'README.TXT  34$' || fail "a changed input was not packed again: $("$stage/bin/selfextr" list "$out")"

# Under Wine, the consumer's setups run through to the clean-up: Yes, its
# SETUP.EXE posts the command (or the runner expands the payload, runs
# install.bat in it and posts), and nothing is left in TEMP.
winpath() { echo "Z:$(tr / '\\' <<<"$1")"; }
"$stage/bin/selfextr" verify "$work/consumer-build/consumer-payload.exe" >/dev/null ||
    fail "the consumer's payload setup does not verify"
"$stage/bin/selfextr" list "$work/consumer-build/consumer-payload.exe" | grep -q '^language de (0x0007): caption: Verbraucher-Paket$' ||
    fail "the consumer's TRANSLATIONS were not packed: $("$stage/bin/selfextr" list "$work/consumer-build/consumer-payload.exe")"
"$stage/bin/selfextr" list "$work/consumer-build/consumer-payload.exe" | grep -q '^  docs/README.TXT  23$' ||
    fail "the consumer's payload holds: $("$stage/bin/selfextr" list "$work/consumer-build/consumer-payload.exe")"
"$stage/bin/selfextr" extract --raw "$work/consumer-build/consumer-payload.exe" "$work/consumer-raw" >/dev/null &&
    cmp -s "$work/consumer-raw/SETUP.EXE" "$work/consumer-build/runner.exe" || fail "RUNNER's file is not the consumer's SETUP.EXE"
for run in "Consumer Setup:$out" "Consumer Payload:$work/consumer-build/consumer-payload.exe"; do
    title=${run%%:*} setup=${run#*:}
    rm -rf "$work/temp"; mkdir "$work/temp"
    # answer starts the setup with TEMP set by cmd and presses Yes in its own
    # box only; each word apart, so that Wine quotes only the title.
    "$wine_run" cmd.exe /c set "TEMP=$(winpath "$work/temp")&&" "$(winpath "$answer")" \
        run "$(winpath "$setup")" box "$title" yes >"$work/wine.log" 2>&1; code=$?
    if [ "$code" = 77 ]; then
        echo "install: the Wine run is skipped: $(cat "$work/wine.log")"
        break
    fi
    [ "$code" = 125 ] && fail "$title never asked its question: $(cat "$work/wine.log")"
    [ "$code" = 0 ] || fail "$title ended with $code: $(cat "$work/wine.log")"
    [ -z "$(ls -A "$work/temp")" ] || fail "the clean-up of $title left: $(ls -R "$work/temp")"
done

# The CI recipe of docs/ci.md, with the installed tool on PATH.
PATH="$stage/bin:$PATH" SOURCE_DATE_EPOCH=1796774400 "$recipe" "$work/dist" "$work/ci" >"$work/ci.log" 2>&1 ||
    { cat "$work/ci.log"; fail "the CI recipe failed"; }

# The Debian package: the same files under /usr, nothing needed at run time.
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack failed"; }
deb=$(ls "$work"/deb/*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || fail "cpack wrote no .deb"
listing=$(dpkg-deb -c "$deb")
for f in ./usr/bin/selfextr ./usr/lib/cmake/selfextr/selfextrConfig.cmake ./usr/include/selfextr_partner.h ./usr/share/man/man1/selfextr.1 \
         ./usr/share/doc/selfextr/package-format.md ./usr/share/selfextr/selfextr-stub.exe; do
    grep -q " $f\$" <<<"$listing" || fail "$f is not in the .deb: $listing"
done
[ -z "$(dpkg-deb -f "$deb" Depends 2>/dev/null)" ] || fail "the .deb depends on: $(dpkg-deb -f "$deb" Depends)"
echo "installed, packed alone, and packaged as $(basename "$deb")"
