#!/bin/bash
# Independent readers see exactly the resources selfextr wrote: wrestool
# (icoutils) and MinGW's objdump, on a finished stub and on the bare stub.
set -eu
tool=$1 stub=$2
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
cd "$work"
head -c 70000 /dev/zero | tr '\0' 'x' >big.bin; printf 'MZ' >setup.exe; : >empty.txt
"$tool" pack --stub "$stub" -o out.exe --caption "Readers" --prompt "Go?" --date 2026-12-08 --time 4:00 \
    --file setup.exe=SETUP.EXE --file big.bin=BIG.BIN --file empty.txt=EMPTY.TXT --product-name P --product-version 1.0.0.0
# Dialog 2000: a 36-byte header with "Helv", then two CTEXT items of 64 and 26 bytes.
# String blocks: 16 length words plus the characters (block 7: "Readers",
# "Go?", "12-08-126", "4:00"; block 63: three descriptors; block 188: "70002");
# RCDATA 2: the package marker, "selfextr package 1" without a terminator.
expected='--type=3 --name=1 --language=1033 size=744
--type=5 --name=2000 --language=1033 size=126
--type=6 --name=7 --language=1033 size=78
--type=6 --name=63 --language=1033 size=102
--type=6 --name=188 --language=1033 size=42
--type=10 --name=2 --language=1033 size=18
--type=14 --name='"'SELFEXTR'"' --language=1033 size=20
--type=16 --name=1 --language=1033 size=356
--type=32 --name=1000 --language=1033 size=2
--type=32 --name=1001 --language=1033 size=70000
--type=32 --name=1002 --language=1033 size=0'
got=$(wrestool -l out.exe | sed -E 's/\[(type=[a-z_]+ )?offset=0x[0-9a-f]+ (size=[0-9]+)\]/\2/')
if [ "$got" != "$expected" ]; then echo "wrestool sees:"; echo "$got"; echo "expected:"; echo "$expected"; exit 1; fi
# String 1001 lives in block 63 (1001 >> 4 = 62, plus one); wrestool extracts it raw.
wrestool -x --raw --type=6 --name=63 out.exe | iconv -f UTF-16LE -t UTF-8 | grep -a -q 'BIG.BIN,70000' || { echo "descriptor 1001 not found"; exit 1; }
wrestool -x --raw --type=6 --name=188 out.exe | iconv -f UTF-16LE -t UTF-8 | grep -a -q '70002' || { echo "total not found"; exit 1; }
objdump=i686-w64-mingw32-objdump
for f in "$stub" out.exe; do
    dump=$($objdump -p "$f")
    grep -q 'Magic.*010b.*(PE32)' <<<"$dump" || { echo "$f: not PE32"; exit 1; }
    grep -q 'Subsystem.*(Windows GUI)' <<<"$dump" || { echo "$f: not a GUI image"; exit 1; }
    dlls=$(grep 'DLL Name' <<<"$dump" | awk '{print toupper($3)}' | sort | tr '\n' ' ')
    [ "$dlls" = "GDI32.DLL KERNEL32.DLL USER32.DLL " ] || { echo "$f imports: $dlls"; exit 1; }
    last=$($objdump -h "$f" | awk '/^ +[0-9]+ /{name=$2} END{print name}')
    [ "$last" = .rsrc ] || { echo "$f: last section is $last"; exit 1; }
done
echo "independent readers agree"
