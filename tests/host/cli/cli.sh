#!/bin/bash
# The command line as build scripts meet it: --version, and exit codes that
# tell a usage error (2) from a refused input or failed check (1).
set -u
tool=$1 stub=$2 version=$3 runner=$4
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "cli: $*"; exit 1; }
expect() {  # expect CODE COMMAND...: runs it, keeps stdout in out.txt and stderr in err.txt
    local want=$1; shift
    "$@" >out.txt 2>err.txt; local got=$?
    [ "$got" = "$want" ] || fail "$* exited $got, not $want: $(cat err.txt)"
}
expect 0 "$tool" --version
# The stub and the runner the tool carries are those of the Windows build,
# byte for byte: two builds of one source agree.
want="selfextr $version
stub: $(stat -c %s "$stub") bytes, SHA-256 $(sha256sum "$stub" | cut -d' ' -f1)
runner: $(stat -c %s "$runner") bytes, SHA-256 $(sha256sum "$runner" | cut -d' ' -f1)"
[ "$(cat out.txt)" = "$want" ] || fail "--version printed: $(cat out.txt), not: $want"
# selfextr runner writes that runner, which every package carries unchanged.
expect 0 "$tool" runner -o runner.exe
cmp -s runner.exe "$runner" || fail "selfextr runner -o did not write the carried runner"
expect 2 "$tool" runner
expect 1 "$tool" runner -o no-such-folder/runner.exe
[ ! -e no-such-folder ] || fail "a failed runner -o left something"
expect 0 "$tool" --help
grep -q 'pack' out.txt || fail "--help names no subcommand"
expect 2 "$tool"
expect 2 "$tool" pack --no-such-option
expect 2 "$tool" list
expect 1 "$tool" list missing.exe
grep -q 'missing.exe' err.txt || fail "the message does not name the input"
expect 1 "$tool" pack -o x.exe -m missing.toml
grep -q 'cannot read missing.toml' err.txt || fail "a missing manifest says: $(cat err.txt)"
printf 'MZ' >setup.exe
expect 0 "$tool" pack --stub "$stub" -o ok.exe --caption C --prompt P --date 2026-12-08 --file setup.exe=SETUP.EXE \
    --product-name Product --product-version 1.2 --company-name Company
expect 0 "$tool" verify ok.exe
expect 1 "$tool" verify "$stub"
grep -q 'string 100 (caption) is missing' err.txt || fail "verify of the bare stub says: $(cat err.txt)"
expect 1 "$tool" pack --stub "$stub" -o bad.exe --caption C --prompt P --date 2026-13-01 --file setup.exe
[ ! -e bad.exe ] || fail "a refused pack left its output"

# JSON for machines: what was packed, read back; the same exit code as the text.
mkdir dist; printf 'MZ' >dist/SETUP.EXE; head -c 1234 /dev/zero >"dist/read me.txt"; printf 'x' >dist/é.txt
expect 0 "$tool" pack --stub "$stub" -o json.exe --caption "JSON \"quoted\"" --prompt "Install?" --date 2026-12-08 --time 9:30 \
    --dir dist --allow-non-ascii --execution-level asInvoker
expect 0 "$tool" list --json json.exe
jq -e '.schema == 1 and .caption == "JSON \"quoted\"" and .prompt == "Install?" and .total == 1237 and .ok == true
       and .stamp.local == "2026-12-08T09:30" and .stamp.date_string == "12-08-126" and .stamp.time_string == "9:30"
       and .execution_level == "asInvoker" and .problems == [] and .notes == []
       and ([.entries[].name] == ["SETUP.EXE", "read me.txt", "é.txt"])
       and ([.entries[].number] == [1000, 1001, 1002]) and ([.entries[].size] == [2, 1234, 1])
       and ([.entries[].data_length] == [2, 1234, 1]) and ([.entries[] | has("problem")] == [false, false, false])' \
    out.txt >/dev/null || fail "list --json: $(cat out.txt)"
expect 1 "$tool" verify --json "$stub"
jq -e '.ok == false and (.problems | index("string 100 (caption) is missing")) != null and .entries == []' out.txt >/dev/null ||
    fail "verify --json of the bare stub: $(cat out.txt)"
# The tool alone, copied anywhere, packs with the stub it carries.
mkdir alone; cp "$tool" alone/selfextr
expect 0 alone/selfextr pack -o alone.exe --caption C --prompt P --date 2026-12-08 --dir dist --allow-non-ascii
expect 0 "$tool" pack --stub "$stub" -o given.exe --caption C --prompt P --date 2026-12-08 --dir dist --allow-non-ascii
cmp -s alone.exe given.exe || fail "packing with the carried stub differs from packing with the bare stub"

# The payload's threads, memory and blocks: nonsense is a usage error naming
# the option (a block larger than the runner decodes too); a limit too small
# for one thread is refused saying what it needs.
mkdir tree; head -c 70000 /dev/urandom >tree/app.bin
payload=(pack --stub "$stub" --caption C --prompt P --date 2026-12-08 --payload tree --run "app.bin")
for bad in "--threads 0" "--threads 257" "--threads two" "--memory-limit 0" "--memory-limit 1KiB" "--memory-limit lots" \
           "--payload-block-size 65MiB" "--payload-block-size 1023KiB"; do
    expect 2 "$tool" "${payload[@]}" -o t.exe $bad
    grep -q -- "${bad%% *}" err.txt || fail "$bad: the message does not name the option: $(cat err.txt)"
done
expect 1 "$tool" "${payload[@]}" -o t.exe --memory-limit 16MiB --payload-block-size 64MiB
grep -q "the memory limit of 16 MiB is less than the .* MiB liblzma needs" err.txt || fail "a small limit says: $(cat err.txt)"
[ ! -e t.exe ] || fail "a refused pack left its output"
# --quiet: nothing on standard output, the same package; warnings and errors still said.
expect 0 "$tool" "${payload[@]}" -o t.exe
grep -q '^payload: ' out.txt || fail "pack printed no summary: $(cat out.txt)"
[ ! -s err.txt ] || fail "pack drew on standard error, which is no terminal: $(cat err.txt)"
expect 0 "$tool" "${payload[@]}" -o q.exe --quiet --threads 1 --memory-limit 536870912
[ ! -s out.txt ] && [ ! -s err.txt ] || fail "--quiet printed: $(cat out.txt err.txt)"
cmp -s t.exe q.exe || fail "--quiet --threads 1 packed other bytes"
expect 1 "$tool" "${payload[@]}" -o q.exe --quiet --time 99:99
grep -q "99:99" err.txt || fail "--quiet hid the error"
echo "exit codes, --version, JSON, the carried stub and runner, threads, memory and --quiet as documented"
