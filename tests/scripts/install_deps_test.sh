#!/bin/bash
# install_deps_test.sh INSTALL-DEPS: scripts/install-deps against recorded
# mirror states, with a fake apt-get, apt-cache and dpkg on PATH (no root, no
# network): what it asks apt to do in each, and that it never lets apt remove
# or downgrade a package the machine has.
set -u
script=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
failed=0 passed=0
fail() { echo "install-deps, $state: $*"; failed=$((failed + 1)); }

# Runs install-deps in state $1; sets out, code and installs (the real
# apt-get install calls, each with its packages sorted).
run() {
    state=$1
    : >"$work/log"
    out=$(PATH="$here/fake-apt/bin:$PATH" FAKE_APT_STATE="$here/fake-apt/$state" FAKE_APT_LOG="$work/log" \
          "$script" --packages-only 2>&1)
    code=$?
    installs=$(grep '^apt-get install' "$work/log" | grep -v -e ' -s ' |
               while read -r -a call; do
                   opts=$(printf '%s\n' "${call[@]:2}" | grep '^-' | sort | tr '\n' ' ')
                   pkgs=$(printf '%s\n' "${call[@]:2}" | grep -v '^-' | sort | tr '\n' ' ')
                   echo "${opts}| ${pkgs% }"
               done)
}
# Checks that the run installed exactly: OPTIONS | PACKAGES (both sorted).
expect_install() {
    if [ "$code" != 0 ]; then fail "exit code $code: $out"
    elif [ "$installs" != "$1" ]; then fail "asked apt to install:
  ${installs:-nothing}
not:
  $1"
    else passed=$((passed + 1)); fi
}
# Checks that the run stopped before changing anything, saying $1.
expect_refusal() {
    if [ "$code" = 0 ]; then fail "went on: $out"
    elif [ -n "$installs" ]; then fail "stopped, but only after asking apt to install: $installs"
    elif ! grep -qF -- "$1" <<<"$out"; then fail "did not say \"$1\": $out"
    elif grep -q '^dpkg --add' "$work/log"; then fail "changed the architectures first"
    else passed=$((passed + 1)); fi
}
opts="--no-install-recommends --no-remove -q -y |"
u1=5.4.1-1+deb12u1

run present
if [ "$code" != 0 ] || [ -s "$work/log" ]; then fail "with everything present it exited $code after: $(cat "$work/log")"
else passed=$((passed + 1)); fi

# The i386 index lags the amd64 one, and the -dev package of the installed
# liblzma5 would go with the old version: it is pinned with the library.
run lagging-i386
expect_install "$opts liblzma-dev:amd64=$u1 liblzma5:amd64=$u1 liblzma5:i386=$u1 wine32:i386"
grep -q "^apt-get update" "$work/log" || fail "never updated the package lists"

# liblzma-dev asked for: apt's "Depends: X (= V) but W is to be installed"
# pins it too, and "Breaks: X (!= V)" pins both architectures of X.
run dev-asked
expect_install "$opts libgcc-s1:amd64=12.2.0-14 libgcc-s1:i386=12.2.0-14 liblzma-dev:amd64=$u1 liblzma5:amd64=$u1 liblzma5:i386=$u1 wine32:i386"

run downgrade
expect_refusal "libssl3:amd64 blocks: 3.0.22-1~deb12u2 is installed, newer than 3.0.17-1~deb12u2"

run no-common
expect_refusal "libssl3:i386 blocks: it offers 3.0.17-1~deb12u2, none of the versions that libssl3:amd64 offer"

run would-remove
expect_refusal "apt would remove python3-dev, which this machine has"

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
