#!/bin/bash
# msi.sh TOOL STUB WINE_RUN ANSWER WINEPREFIX: an MSI built with Debian's wixl,
# packed as a payload whose command is "hello.msi /qn": the runner starts it
# through msiexec from the system folder, waits for it, and cleans up. The
# product's file must be installed and TEMP empty; the product is then removed.
set -u
tool=$1 stub=$2 wine_run=$3 answer=$4 prefix=$5
here=$(cd "$(dirname "$0")" && pwd)
command -v wixl >/dev/null || { echo "msi: skipped: no wixl (Debian's wixl package)"; exit 77; }
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
fail() { echo "msi: $*"; exit 1; }
winpath() { echo "Z:$(tr / '\\' <<<"$1")"; }
mkdir -p "$work/payload" "$work/temp"
printf 'installed by msiexec\r\n' >"$work/hello.txt"
(cd "$work" && wixl -o payload/hello.msi "$here/msi_test.wxs") >"$work/wixl.log" 2>&1 || fail "wixl failed: $(cat "$work/wixl.log")"
"$tool" pack -o "$work/msi.exe" --stub "$stub" --caption "MSI Setup" --prompt "Install the MSI?" --date 2026-12-09 \
    --payload "$work/payload" --run "hello.msi /qn" >/dev/null || fail "pack failed"
installed="$prefix/drive_c/Program Files/selfextr-msi-test/hello.txt"
"$wine_run" msiexec /x "{6F1C2B3A-5D4E-4F60-8A71-9B2C3D4E5F60}" /qn >/dev/null 2>&1
rm -f "$installed"
# answer starts the setup with TEMP set by cmd and presses Yes in its own box
# only; each word apart, so that Wine quotes only the title.
"$wine_run" cmd.exe /c set "TEMP=$(winpath "$work/temp")&&" "$(winpath "$answer")" \
    run "$(winpath "$work/msi.exe")" box "MSI Setup" yes >"$work/wine.log" 2>&1; code=$?
[ "$code" = 77 ] && { echo "msi: skipped: $(cat "$work/wine.log")"; exit 77; }
[ "$code" = 125 ] && fail "no question titled \"MSI Setup\" was asked: $(cat "$work/wine.log")"
[ "$code" = 0 ] || fail "the stub ended with $code: $(cat "$work/wine.log")"
[ -f "$installed" ] || fail "msiexec did not install the product's file"
[ -z "$(ls -A "$work/temp")" ] || fail "the clean-up left: $(ls -R "$work/temp")"
"$wine_run" msiexec /x "{6F1C2B3A-5D4E-4F60-8A71-9B2C3D4E5F60}" /qn >/dev/null 2>&1
[ ! -f "$installed" ] || fail "the product could not be removed again"
echo "installed through msiexec by the runner, nothing left in TEMP, removed again"
