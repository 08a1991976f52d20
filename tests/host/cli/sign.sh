#!/bin/bash
# A finished stub signs and verifies with osslsigncode, using a throwaway
# self-signed certificate; packing the signed file again needs --strip-signature.
set -eu
tool=$1 stub=$2
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
cd "$work"
printf 'setup' >setup.exe
args=(--caption Signed --prompt "Go?" --date 2026-12-08 --file setup.exe=SETUP.EXE)
"$tool" pack --stub "$stub" -o out.exe "${args[@]}"
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 -subj "/CN=selfextr test" 2>/dev/null
osslsigncode sign -certs cert.pem -key key.pem -n "selfextr test" -in out.exe -out signed.exe >/dev/null
osslsigncode verify -CAfile cert.pem signed.exe >verify.log 2>&1 || { cat verify.log; exit 1; }
grep -q "Signature verification: ok" verify.log || { cat verify.log; exit 1; }
if "$tool" pack --stub signed.exe -o again.exe "${args[@]}" 2>err.txt; then
    echo "a signed input was packed without --strip-signature"; exit 1
fi
grep -q "the input is signed" err.txt
"$tool" pack --stub signed.exe -o again.exe "${args[@]}" --strip-signature
cmp -s again.exe out.exe || { echo "stripping the signature did not give back the unsigned stub"; exit 1; }
echo "signed and verified"
