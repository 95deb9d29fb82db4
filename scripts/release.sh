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
# The release is unsigned: scripts/sign-release.sh signs it, where the key is, and nowhere
# else (docs/releasing.md#signing). Beside it goes Morex-V-buildinfo.txt: the commit, its
# time, the container (MOREX_BUILD_CONTAINER) and every installed Debian package, from which
# a rebuilder recreates this environment.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD

usage() {
  cat <<'EOF'
usage: scripts/release.sh [--out DIR] [--unhardened]
  --out DIR     where the unsigned release goes, replaced whole (default: dist)
  --unhardened  build on a host that cannot harden, to test this script: not a release
  -h, --help    this text
Signing comes after, by scripts/sign-release.sh.
EOF
}

out=dist
unhardened=
while [ $# -gt 0 ]; do
  case "$1" in
  -h | --help) usage; exit 0 ;;
  --out)
    if [ $# -lt 2 ] || [ -z "$2" ] || [[ $2 == -* ]]; then
      echo "release: --out needs a value (scripts/release.sh --help)" >&2
      exit 2
    fi
    out=$2; shift 2 ;;
  --unhardened) unhardened=yes; shift ;;
  *) echo "release: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
done

# cmake says whether this host can harden: what is missing is installed first.
scripts/install-deps.sh >&2
missing=$(cmake -P cmake/hardening-toolchain.cmake 2>&1)
if [ -n "$missing" ] && [ -z "$unhardened" ]; then
  echo "release: this host cannot build the hardened binaries ($missing); releases are made" \
    "on Debian 13 (docs/releasing.md#where-releases-are-made)" >&2
  exit 2
fi
[ -z "$missing" ] || echo "release: --unhardened: $missing; this is not a release to publish" >&2
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
(cd "$head" && /usr/bin/python3 -m scripts.check_morex_exe "build/mingw/Morex.exe" \
  "build/mingw/MorexEvents.dll" ${missing:+--unhardened "$missing"} >&2)
notices=THIRD-PARTY-NOTICES.txt
# Made from each build's linker maps, which must name the same components.
"${release_py[@]}" notices "$head/build/mingw" --version "$version" --out "$work/notices/one.txt"
"${release_py[@]}" notices "$two/build/mingw" --version "$version" --out "$work/notices/two.txt"
same "$work/notices/one.txt" "$work/notices/two.txt"
cp "$work/notices/one.txt" "$work/release/$notices"

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

# The environment of the build, for a rebuilder: the commit and its time, the container and
# the Debian release, then every installed package (the build's tools among them).
buildinfo="Morex-$version-buildinfo.txt"
{
  echo "Version: $version"
  echo "Commit: $commit"
  echo "SOURCE_DATE_EPOCH: $epoch"
  echo "Container: ${MOREX_BUILD_CONTAINER:-none named (MOREX_BUILD_CONTAINER was not set)}"
  echo "System: $(sed -n 's/^PRETTY_NAME="\(.*\)"$/\1/p' /etc/os-release)," \
    "Debian $(cat /etc/debian_version)"
  echo "Installed packages:"
  dpkg-query -W -f='${db:Status-Abbrev} ${Package}:${Architecture} ${Version}\n' |
    awk '$1 == "ii" { print " " $2 " " $3 }' | LC_ALL=C sort
} >"$work/release/$buildinfo"
sbom="Morex-$version-sbom.cdx.json"
"${release_py[@]}" sbom "$work/release" "$head/build/mingw" --version "$version" \
  --commit "$commit" --epoch "$epoch" ${missing:+--unhardened} --out "$work/release/$sbom"
"${release_py[@]}" sums "$work/release" Morex.exe MorexEvents.dll "${packages[@]}" "$notices" \
  "$sbom" "$buildinfo"
rm -rf "$out"
mkdir -p "$out"
cp "$work/release/"* "$out/"
echo "Unsigned release $version of $commit in $out (scripts/sign-release.sh signs it):" >&2
cat "$out/SHA256SUMS"
