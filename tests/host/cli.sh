#!/bin/bash
# The command line as build scripts meet it: --version, and exit codes that
# tell a usage error (2) from a refused input or failed check (1).
set -u
tool=$1 stub=$2 version=$3
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "cli: $*"; exit 1; }
expect() {  # expect CODE COMMAND...: runs it, keeps stdout in out.txt and stderr in err.txt
    local want=$1; shift
    "$@" >out.txt 2>err.txt; local got=$?
    [ "$got" = "$want" ] || fail "$* exited $got, not $want: $(cat err.txt)"
}
expect 0 "$tool" --version
[ "$(cat out.txt)" = "selfextr $version" ] || fail "--version printed: $(cat out.txt)"
expect 0 "$tool" --help
grep -q 'pack' out.txt || fail "--help names no subcommand"
expect 2 "$tool"
expect 2 "$tool" pack --no-such-option
expect 2 "$tool" list
expect 1 "$tool" list missing.exe
grep -q 'missing.exe' err.txt || fail "the message does not name the input"
printf 'MZ' >setup.exe
expect 0 "$tool" pack --stub "$stub" -o ok.exe --caption C --prompt P --date 2026-12-08 --file setup.exe=SETUP.EXE \
    --product-name Product --product-version 1.2 --company-name Company
expect 0 "$tool" verify ok.exe
expect 1 "$tool" verify "$stub"
grep -q 'string 100 (caption) is missing' err.txt || fail "verify of the bare stub says: $(cat err.txt)"
expect 1 "$tool" pack --stub "$stub" -o bad.exe --caption C --prompt P --date 2026-13-01 --file setup.exe
[ ! -e bad.exe ] || fail "a refused pack left its output"
echo "exit codes and --version as documented"
