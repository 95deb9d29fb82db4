#!/usr/bin/env bash
# Builds the release of the committed sources (HEAD) into dist/: Morex.exe, the zip (Morex.exe
# and a usage file), the MSI and SHA256SUMS. The same commit always gives the same bytes: the
# executable is built twice, in two clean trees at different paths, and the zip and the MSI
# are made twice; the script fails when any pair differs.
#
#   scripts/release.sh [--out DIR] [--cert CERT --key KEY]
#
# Signing: with a code-signing certificate and its private key (PEM or DER files; also taken
# from MOREX_SIGNING_CERT and MOREX_SIGNING_KEY, and the key's password, if any, from
# MOREX_SIGNING_KEY_PASSWORD), Morex.exe is signed before it is packed and the MSI after it
# is made, both with the commit's time as the signing time. Without them the release is
# unsigned, and says so.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD

out=dist
cert=${MOREX_SIGNING_CERT:-}
key=${MOREX_SIGNING_KEY:-}
while [ $# -gt 0 ]; do
  case "$1" in
  --out) out=$2; shift 2 ;;
  --cert) cert=$2; shift 2 ;;
  --key) key=$2; shift 2 ;;
  *) echo "usage: scripts/release.sh [--out DIR] [--cert CERT --key KEY]" >&2; exit 2 ;;
  esac
done
if { [ -n "$cert" ] && [ -z "$key" ]; } || { [ -z "$cert" ] && [ -n "$key" ]; }; then
  echo "release: signing needs both a certificate and its key" >&2
  exit 2
fi

scripts/install-deps.sh >&2
version=$(/usr/bin/python3 scripts/release.py version)
commit=$(git rev-parse HEAD)
epoch=$(git log -1 --format=%ct HEAD)
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "release: the work tree has uncommitted changes; the release is made of $commit alone" >&2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Builds Morex.exe from a clean export of the commit in the given folder.
build() {
  mkdir -p "$1"
  git -C "$source_dir" archive --format=tar "$commit" | tar -x -C "$1"
  echo "Building Morex.exe $version ($commit) in $1..." >&2
  (cd "$1" && cmake --preset mingw >"$work/cmake.log" 2>&1 &&
    cmake --build --preset mingw --target Morex -j "$(nproc)" >>"$work/cmake.log" 2>&1) ||
    { cat "$work/cmake.log" >&2; exit 1; }
}

# Fails unless the two files have the same bytes.
same() {
  if ! cmp -s "$1" "$2"; then
    echo "release: $(basename "$1") differs between two builds of one commit:" >&2
    cmp -l "$1" "$2" | head -20 >&2
    exit 1
  fi
}

sign() {
  local signed="$1.signed"
  osslsigncode sign -certs "$cert" -key "$key" ${MOREX_SIGNING_KEY_PASSWORD:+-pass "$MOREX_SIGNING_KEY_PASSWORD"} \
    -h sha256 -n "Morex $version" -time "$epoch" -in "$1" -out "$signed" >"$work/sign.log" 2>&1 ||
    { cat "$work/sign.log" >&2; exit 1; }
  mv "$signed" "$1"
}

build "$work/one/Morex"
build "$work/two/another/path/Morex"
exe="$work/one/Morex/build/mingw/Morex.exe"
same "$exe" "$work/two/another/path/Morex/build/mingw/Morex.exe"
/usr/bin/python3 -m tests.pe.check_morex_exe "$exe" >&2

mkdir -p "$work/release"
cp "$exe" "$work/release/Morex.exe"
[ -z "$cert" ] || sign "$work/release/Morex.exe"

echo "Packing the zip and the MSI..." >&2
for side in one two/other; do
  /usr/bin/python3 scripts/release.py package "$work/release/Morex.exe" "$version" "$commit" \
    "$epoch" "$work/packages/$side" 2> >(grep -v -e 'GLib-GObject' -e '^$' >&2)
done
zip_name="Morex-$version-win64.zip"
msi_name="Morex-$version-win64.msi"
for name in "$zip_name" "$msi_name"; do
  same "$work/packages/one/$name" "$work/packages/two/other/$name"
  cp "$work/packages/one/$name" "$work/release/$name"
done
[ -z "$cert" ] || sign "$work/release/$msi_name"

/usr/bin/python3 scripts/release.py sums "$work/release" Morex.exe "$zip_name" "$msi_name"
rm -rf "$out"
mkdir -p "$out"
cp "$work/release/"* "$out/"
if [ -n "$cert" ]; then
  echo "Signed Morex.exe and $msi_name with $cert." >&2
else
  echo "Unsigned release: no code-signing certificate given (see scripts/release.sh)." >&2
fi
echo "Release $version of $commit in $out:" >&2
cat "$out/SHA256SUMS"
