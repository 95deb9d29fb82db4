#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need and this machine
# lacks. Does nothing when everything is present.
set -euo pipefail

packages=(
  cmake make g++ googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine64
  python3 python3-pefile
  xvfb git
  wixl msitools python3-olefile python3-lxml osslsigncode openssl curl
)

# One dpkg-query for all of them: a warm run must not pay for a process per package.
missing_packages() {
  local installed
  installed=$(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' "${packages[@]}" 2>/dev/null |
    awk '$1 == "ii" { print $2 }')
  for package in "${packages[@]}"; do
    grep -qx "$package" <<<"$installed" || echo "$package"
  done
}

missing=($(missing_packages))
[ ${#missing[@]} -eq 0 ] && exit 0

# Two commands started at once on a new machine would both install: one waits for the other,
# then installs only what is still missing.
source "$(dirname "$0")/take-turns.sh"
take_turns "${TMPDIR:-/tmp}/morex-install-deps.lock" "Another command is installing packages; waiting..."
missing=($(missing_packages))
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get -o DPkg::Lock::Timeout=600 update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -q "${missing[@]}"
