#!/bin/bash
# signed_runner.sh TOOL STUB WINE_RUN ANSWER: the release flow. The runner is
# written once and signed with a throwaway certificate; two packages carry it
# byte for byte (--runner), verify reports it signed, the SETUP.EXE that
# extract --raw writes (as the stub writes it) still passes osslsigncode
# verify, and the package runs under Wine to an empty TEMP.
set -u
tool=$1 stub=$2 wine_run=$3 answer=$4
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
fail() { echo "signed_runner: $*"; exit 1; }
winpath() { echo "Z:$(tr / '\\' <<<"$1")"; }
cd "$work"
"$tool" runner -o runner.exe >/dev/null || fail "selfextr runner failed"
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 -subj "/CN=selfextr test" 2>/dev/null
osslsigncode sign -certs cert.pem -key key.pem -n "selfextr runner" -in runner.exe -out signed-runner.exe >/dev/null ||
    fail "osslsigncode could not sign the runner"
mkdir -p payload/sub other
printf '@echo ran in %%CD%% > "%%SELFEXTR_REPORT%%"\r\n' >payload/sub/go.bat
printf 'other' >other/x.txt; cp payload/sub/go.bat other/go.bat
common=(--stub "$stub" --prompt "Install?" --date 2026-12-09)
"$tool" pack -o signed.exe "${common[@]}" --caption "Signed Runner" --payload payload --run "sub/go.bat" --runner signed-runner.exe \
    >/dev/null || fail "pack --runner failed"
"$tool" pack -o other.exe "${common[@]}" --caption "Other" --payload other --run "go.bat /x" --runner signed-runner.exe \
    >/dev/null || fail "pack --runner failed"
"$tool" verify signed.exe >verify.txt 2>&1 || fail "verify: $(cat verify.txt)"
grep -q '^signed.exe: stub not signed, runner signed$' verify.txt || fail "verify says: $(cat verify.txt)"
"$tool" list --json signed.exe | jq -e '.signed == {"stub": false, "runner": true}' >/dev/null || fail "list --json: signatures"
for p in signed other; do
    "$tool" extract --raw $p.exe raw-$p >/dev/null || fail "extract --raw $p.exe failed"
    cmp -s raw-$p/SETUP.EXE signed-runner.exe || fail "$p.exe does not carry the signed runner byte for byte"
done
osslsigncode verify -CAfile cert.pem raw-signed/SETUP.EXE >osv.log 2>&1 && grep -q "Signature verification: ok" osv.log ||
    fail "the extracted runner's signature: $(cat osv.log)"
# A package signed after packing still verifies, and so does its runner.
osslsigncode sign -certs cert.pem -key key.pem -in signed.exe -out package.exe >/dev/null || fail "cannot sign the package"
"$tool" verify package.exe >verify.txt 2>&1 || fail "verify of the signed package: $(cat verify.txt)"
grep -q '^package.exe: stub signed, runner signed$' verify.txt || fail "verify says: $(cat verify.txt)"

# Under Wine: the signed runner reads the package's settings and runs the command.
mkdir temp report
report=$work/report/report.txt
# answer starts the package with the variables cmd sets and presses Yes in its
# own box only; each word apart, so that Wine quotes only the title.
"$wine_run" cmd.exe /c set "TEMP=$(winpath "$work/temp")&&" set "SELFEXTR_REPORT=$(winpath "$report")&&" \
    "$(winpath "$answer")" run "$(winpath "$work/package.exe")" box "Signed Runner" yes >wine.log 2>&1; code=$?
[ "$code" = 77 ] && { echo "signed_runner: skipped: $(cat wine.log)"; exit 77; }
[ "$code" = 125 ] && fail "no question titled \"Signed Runner\" was asked: $(cat wine.log)"
[ "$code" = 0 ] || fail "the stub ended with $code: $(cat wine.log)"
grep -q "^ran in .*\\\\sx-" "$report" || fail "the command did not run in the private folder: $(cat "$report" 2>&1)"
[ -z "$(ls -A temp)" ] || fail "the clean-up left: $(ls -R temp)"
echo "the runner signed once, carried byte for byte, still signed when extracted, and run"
