#!/bin/bash
# make_tree.sh DIR: the runner's test tree: nested folders, names outside
# ASCII, a path past 260 characters, an empty folder and more than 1,000 files.
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
