#!/bin/bash
# make_tree.sh DIR: the runner's test tree: nested folders, names outside
# ASCII, a path past 260 characters, an empty folder, more than 1,000 files
# and three files of the same bytes, which the payload stores once.
set -eu
dir=$1
rm -rf "$dir"
mkdir -p "$dir/app/bin" "$dir/app/empty" "$dir/données/ünïcödé" "$dir/many"
long=$(printf 'a-rather-long-folder-name-%.0s' 1 2 3)
mkdir -p "$dir/$long/$long/$long/$long"
printf 'deep\r\n' >"$dir/$long/$long/$long/$long/deep.txt"
printf 'bonjour\r\n' >"$dir/données/ünïcödé/fichier été.txt"
head -c 200000 /dev/urandom >"$dir/app/bin/data.bin"
# Incompressible and larger than two 1 MiB blocks: its bytes span block boundaries.
head -c 2600000 /dev/urandom >"$dir/app/bin/span.bin"
: >"$dir/app/bin/zero.dat"
for i in $(seq 1 1100); do printf 'file %d\r\n' "$i" >"$dir/many/f$i.txt"; done
# The copies: the first in the archive's order (by name) is the one stored,
# in a folder outside ASCII; one copy lies past 260 characters. Every file has
# a time of its own, older than any SOURCE_DATE_EPOCH, that each copy keeps.
cp "$dir/app/bin/data.bin" "$dir/données/ünïcödé/data copy.bin"
cp "$dir/app/bin/data.bin" "$dir/$long/$long/$long/$long/data.bin"
find "$dir" -type f -exec touch -d @1200000000 {} +
touch -d @1000000000 "$dir/données/ünïcödé/data copy.bin"
touch -d @1100000000 "$dir/$long/$long/$long/$long/data.bin"
