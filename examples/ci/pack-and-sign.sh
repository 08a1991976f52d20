#!/bin/bash
# pack-and-sign.sh DIST OUT: packs the folder DIST into OUT/setup.exe twice,
# checks both are the same bytes, gates on selfextr verify --json, signs with
# a throwaway certificate and verifies the signature. selfextr, osslsigncode,
# openssl and jq must be on PATH. Use your own certificate and key in a real
# release (from your CI's secret store), not the throwaway one made here.
set -euo pipefail
dist=$1 out=$2
mkdir -p "$out"

# Reproducible: the release time comes from the commit, not the clock.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 1796774400)}
pack() {
    selfextr pack -o "$1" --caption "Example Setup" --prompt "Install Example?" --time 4:00 \
        --dir "$dist" --product-name Example --product-version 1.0 --execution-level asInvoker
}
pack "$out/setup.exe"
pack "$out/again.exe"
cmp "$out/setup.exe" "$out/again.exe"   # byte-identical across runs
rm "$out/again.exe"

# The gate: every entry written as listed, and a SETUP.EXE to start.
selfextr verify --json "$out/setup.exe" >"$out/verify.json"
jq -e '.ok and any(.entries[]; .name == "SETUP.EXE")' "$out/verify.json" >/dev/null

# Sign, then check the signature.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Example CI" \
    -keyout "$out/key.pem" -out "$out/cert.pem" 2>/dev/null
osslsigncode sign -certs "$out/cert.pem" -key "$out/key.pem" -n "Example Setup" \
    -in "$out/setup.exe" -out "$out/setup-signed.exe" >/dev/null
osslsigncode verify -CAfile "$out/cert.pem" "$out/setup-signed.exe" | grep -q "Signature verification: ok"
selfextr verify "$out/setup-signed.exe" >/dev/null   # a signature changes nothing the stub reads
echo "$out/setup-signed.exe: packed reproducibly, verified and signed"
