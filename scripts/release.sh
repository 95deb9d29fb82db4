#!/usr/bin/env bash
# Builds the release of the committed sources (HEAD) into dist/: Morex.exe, its message file
# MorexEvents.dll, the zip (both, a usage file, LICENSE.txt and THIRD-PARTY-NOTICES.txt), the
# symbols zip (Morex.pdb), the MSI, the notices, an SBOM (CycloneDX JSON) and SHA256SUMS.
# Everything comes from HEAD: its version, its sources and its packaging scripts; uncommitted
# changes are left out, and the script says so. The same commit on the same packages always
# gives the same bytes: the two binaries and the PDB are built twice, in two clean trees at
# different paths, and the zips and the MSI are made twice; the script fails when any pair
# differs. The notices and the SBOM name what the linker took in from the toolchain, as its
# maps show, with the Debian packages it came from.
#
# Releases are made where the toolchain hardens the binaries (cmake/hardening-toolchain.cmake:
# Debian 13): elsewhere the script stops before it builds anything. --unhardened builds there
# all the same, for the tests of this pipeline on such a host: no PDB and no symbols zip, and
# the SBOM says the binaries are not hardened. Such a build is never a release to publish.
#
# Signing: with a code-signing certificate and its private key (PEM or DER files; also taken
# from MOREX_SIGNING_CERT and MOREX_SIGNING_KEY, and the key's password, if any, from
# MOREX_SIGNING_KEY_PASSWORD_FILE or MOREX_SIGNING_KEY_PASSWORD), the two binaries are signed
# once the builds were compared, before they are packed, and the MSI after it is made. The
# password reaches osslsigncode through a pipe, never on a command line. A certificate that
# does not belong to the key stops the script before anything is built. Without a time-stamp
# server the signing time is the commit's, and a signed release is as reproducible as an
# unsigned one; with one (--timestamp-url, or MOREX_TIMESTAMP_URL), every signature gets an
# RFC 3161 time stamp, so that Windows keeps trusting it after the certificate expires, and
# the signed files differ from run to run; a server that gives no time stamp for a first
# request stops the script before anything is built. Without a certificate the release is
# unsigned, and says so.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD

usage() {
  cat <<'EOF'
usage: scripts/release.sh [--out DIR] [--cert CERT --key KEY] [--timestamp-url URL] [--unhardened]
  --out DIR            where the release goes, replaced whole (default: dist)
  --cert CERT          code-signing certificate, PEM or DER (or MOREX_SIGNING_CERT)
  --key KEY            its private key, PEM or DER (or MOREX_SIGNING_KEY; see the password below)
  --timestamp-url URL  RFC 3161 time-stamp server for every signature (or MOREX_TIMESTAMP_URL)
  --unhardened         build on a host that cannot harden, to test this script: not a release
  -h, --help           this text
The key's password, if any: MOREX_SIGNING_KEY_PASSWORD_FILE or MOREX_SIGNING_KEY_PASSWORD.
EOF
}

# An option's value must be there: a missing one would otherwise take the next option as it.
value_of() {
  if [ $# -lt 2 ] || [ -z "$2" ] || [[ $2 == -* ]]; then
    echo "release: $1 needs a value (scripts/release.sh --help)" >&2
    exit 2
  fi
}

out=dist
cert=${MOREX_SIGNING_CERT:-}
key=${MOREX_SIGNING_KEY:-}
timestamp_url=${MOREX_TIMESTAMP_URL:-}
unhardened=
while [ $# -gt 0 ]; do
  case "$1" in
  -h | --help) usage; exit 0 ;;
  --out) value_of "$@"; out=$2; shift 2 ;;
  --cert) value_of "$@"; cert=$2; shift 2 ;;
  --key) value_of "$@"; key=$2; shift 2 ;;
  --timestamp-url) value_of "$@"; timestamp_url=$2; shift 2 ;;
  --unhardened) unhardened=yes; shift ;;
  *) echo "release: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
done
if { [ -n "$cert" ] && [ -z "$key" ]; } || { [ -z "$cert" ] && [ -n "$key" ]; }; then
  echo "release: signing needs both a certificate and its key" >&2
  exit 2
fi

# The key's password, if any, as printf (a shell builtin, so no process shows it) writes it.
password() {
  if [ -n "${MOREX_SIGNING_KEY_PASSWORD_FILE:-}" ]; then
    cat "$MOREX_SIGNING_KEY_PASSWORD_FILE"
  else
    printf '%s' "${MOREX_SIGNING_KEY_PASSWORD:-}"
  fi
}

# The password, when there is one, goes to openssl and osslsigncode on file descriptor 3.
with_password=
if [ -n "${MOREX_SIGNING_KEY_PASSWORD_FILE:-}${MOREX_SIGNING_KEY_PASSWORD:-}" ]; then
  with_password=yes
fi

# openssl checks the pair below, and cmake says whether this host can harden, so what is
# missing is installed first.
scripts/install-deps.sh >&2
missing=$(cmake -P cmake/hardening-toolchain.cmake 2>&1)
if [ -n "$missing" ] && [ -z "$unhardened" ]; then
  echo "release: this host cannot build the hardened binaries ($missing); releases are made" \
    "on Debian 13 (docs/releasing.md#where-releases-are-made)" >&2
  exit 2
fi
[ -z "$missing" ] || echo "release: --unhardened: $missing; this is not a release to publish" >&2
if [ -n "$cert" ]; then
  cert_key=$(openssl x509 -in "$cert" -noout -pubkey 2>/dev/null ||
    openssl x509 -inform DER -in "$cert" -noout -pubkey 2>/dev/null) ||
    { echo "release: can't read the certificate $cert; nothing was built" >&2; exit 2; }
  signing_key=$(openssl pkey -in "$key" -pubout ${with_password:+-passin fd:3} 3< <(password) \
    2>/dev/null) ||
    { echo "release: can't read the key $key (a wrong or missing password?); nothing was built" >&2
      exit 2; }
  if [ "$cert_key" != "$signing_key" ]; then
    echo "release: the certificate $cert does not belong to the key $key; nothing was built" >&2
    exit 2
  fi
fi

# Why the time-stamp server gives no time stamp, or nothing when it gives one: asked once,
# within a bound, before anything is built (a server found dead only at the signing would cost
# both builds and hide its cause under osslsigncode's output).
timestamp_fault() {
  local query reply error
  query=$(mktemp) reply=$(mktemp) error=$(mktemp)
  openssl ts -query -data /dev/null -sha256 -cert -out "$query" 2>/dev/null
  if ! curl -sS --fail --max-time 20 -H 'Content-Type: application/timestamp-query' \
    --data-binary "@$query" -o "$reply" "$1" 2>"$error"; then
    sed -e 's/^curl: ([0-9]*) //' "$error" | head -1
  elif ! openssl ts -reply -in "$reply" -text 2>/dev/null | grep -q '^Status: Granted'; then
    echo "its answer is not a granted RFC 3161 time stamp"
  fi
  rm -f "$query" "$reply" "$error"
}
if [ -n "$timestamp_url" ]; then
  fault=$(timestamp_fault "$timestamp_url")
  if [ -n "$fault" ]; then
    echo "release: the time-stamp server $timestamp_url gives no time stamp: $fault;" \
      "nothing was built" >&2
    exit 2
  fi
fi

commit=$(git rev-parse HEAD)
epoch=$(git log -1 --format=%ct HEAD)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A clean export of the commit in the given folder.
export_head() {
  mkdir -p "$1"
  git -C "$source_dir" archive --format=tar "$commit" | tar -x -C "$1"
}

# The first export is also where the release's scripts run from, so that the version, the
# packaging and the checks are the commit's, as the binaries are.
head=$work/one/Morex
export_head "$head"
release_py=(/usr/bin/python3 "$head/scripts/release.py")
version=$("${release_py[@]}" version)
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  note="the release is made of $commit alone, as version $version"
  tree_version=$("${release_py[@]}" version "$(git rev-parse --show-toplevel)/CMakeLists.txt" \
    2>/dev/null || true)
  [ "$tree_version" = "$version" ] || note+=" (the work tree says ${tree_version:-no version})"
  echo "release: the work tree has uncommitted changes; $note" >&2
fi

# Builds Morex.exe and MorexEvents.dll in an export of the commit.
build() {
  [ -d "$1" ] || export_head "$1"
  echo "Building Morex.exe $version ($commit) in $1..." >&2
  (cd "$1" && cmake --preset mingw >"$work/cmake.log" 2>&1 &&
    cmake --build --preset mingw --target Morex MorexEvents -j "$(nproc)" \
      >>"$work/cmake.log" 2>&1) ||
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
  local signed="$1.signed" when=(-time "$epoch")
  [ -z "$timestamp_url" ] || when=(-ts "$timestamp_url")
  osslsigncode sign -certs "$cert" -key "$key" ${with_password:+-readpass /dev/fd/3} -h sha256 \
    -n "Morex $version" "${when[@]}" -in "$1" -out "$signed" >"$work/sign.log" 2>&1 \
    3< <(password) ||
    { cat "$work/sign.log" >&2; exit 1; }
  mv "$signed" "$1"
}

two=$work/two/another/path/Morex
build "$head"
build "$two"
mkdir -p "$work/release" "$work/notices"
binaries=(Morex.exe MorexEvents.dll)
symbols=()
if [ -z "$missing" ]; then
  binaries+=(Morex.pdb)
  symbols=(--pdb "$work/Morex.pdb")
fi
for name in "${binaries[@]}"; do
  same "$head/build/mingw/$name" "$two/build/mingw/$name"
  cp "$head/build/mingw/$name" "$work/$name"
done
mv "$work/Morex.exe" "$work/MorexEvents.dll" "$work/release/"
# Checked where the PDB lies beside Morex.exe, as the link wrote them.
(cd "$head" && /usr/bin/python3 -m tests.pe.check_morex_exe "build/mingw/Morex.exe" \
  "build/mingw/MorexEvents.dll" ${missing:+--unhardened "$missing"} >&2)
notices=THIRD-PARTY-NOTICES.txt
# Made from each build's linker maps, which must name the same components.
"${release_py[@]}" notices "$head/build/mingw" --version "$version" --out "$work/notices/one.txt"
"${release_py[@]}" notices "$two/build/mingw" --version "$version" --out "$work/notices/two.txt"
same "$work/notices/one.txt" "$work/notices/two.txt"
cp "$work/notices/one.txt" "$work/release/$notices"
[ -z "$cert" ] || { sign "$work/release/Morex.exe" && sign "$work/release/MorexEvents.dll"; }

echo "Packing the zip and the MSI..." >&2
for side in one two/other; do
  "${release_py[@]}" package "$work/release/Morex.exe" "$work/release/MorexEvents.dll" \
    "$work/release/$notices" "${symbols[@]}" --version "$version" --commit "$commit" \
    --epoch "$epoch" --out "$work/packages/$side" 2> >(grep -v -e 'GLib-GObject' -e '^$' >&2)
done
zip_name="Morex-$version-win64.zip"
msi_name="Morex-$version-win64.msi"
packages=("$zip_name" "$msi_name")
[ -n "$missing" ] || packages+=("Morex-$version-win64-symbols.zip")
for name in "${packages[@]}"; do
  same "$work/packages/one/$name" "$work/packages/two/other/$name"
  cp "$work/packages/one/$name" "$work/release/$name"
done
[ -z "$cert" ] || sign "$work/release/$msi_name"

sbom="Morex-$version-sbom.cdx.json"
"${release_py[@]}" sbom "$work/release" "$head/build/mingw" --version "$version" \
  --commit "$commit" --epoch "$epoch" ${cert:+--signed} ${missing:+--unhardened} \
  --out "$work/release/$sbom"
"${release_py[@]}" sums "$work/release" Morex.exe MorexEvents.dll "${packages[@]}" "$notices" \
  "$sbom"
rm -rf "$out"
mkdir -p "$out"
cp "$work/release/"* "$out/"
if [ -n "$cert" ]; then
  echo "Signed Morex.exe, MorexEvents.dll and $msi_name with $cert${timestamp_url:+," \
    "time-stamped by $timestamp_url}." >&2
else
  echo "Unsigned release: no code-signing certificate given (see scripts/release.sh)." >&2
fi
echo "Release $version of $commit in $out:" >&2
cat "$out/SHA256SUMS"
