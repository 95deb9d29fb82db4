#!/usr/bin/env bash
# Signs an unsigned release that scripts/release.sh made: Morex.exe and MorexEvents.dll, then
# the zip and the MSI packed again around them, then the MSI; the SBOM and SHA256SUMS follow
# the signed files. It builds nothing and runs nothing of the release it is given.
#
# The key is a PKCS#11 URI (RFC 7512) of a key that never leaves its token or HSM, with the
# token's module (--pkcs11-module, or MOREX_PKCS11_MODULE), or a PEM or DER key file for a
# private CA. The PIN or password comes from MOREX_SIGNING_KEY_PASSWORD_FILE or
# MOREX_SIGNING_KEY_PASSWORD and reaches openssl and osslsigncode through a pipe, never on a
# command line. Every fault of the signing inputs (a module that does not load, a token
# without the key, a refused PIN, a certificate that is not the key's, a time-stamp server
# that grants no time stamp) and a release that differs from another builder's (--compare)
# stops the script in one line before it writes anything.
#
# --tag holds a published release to what it promises: signed and time-stamped. Only
# MOREX_RELEASE_UNSIGNED=1 lets a tag's release go out unsigned, and its notes then say so
# first. --notes FILE writes those notes: whether and by which certificate it is signed.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)

usage() {
  cat <<'EOF'
usage: scripts/sign-release.sh UNSIGNED_DIR [--out DIR] [--cert CERT --key KEY]
           [--pkcs11-module MODULE] [--timestamp-url URL] [--compare DIR] [--notes FILE] [--tag]
  --out DIR               where the signed release goes, replaced whole (default: dist)
  --cert CERT             code-signing certificate, PEM or DER (or MOREX_SIGNING_CERT)
  --key KEY               pkcs11: URI of its key, or a key file (or MOREX_SIGNING_KEY)
  --pkcs11-module MODULE  the token's PKCS#11 module (or MOREX_PKCS11_MODULE)
  --timestamp-url URL     RFC 3161 time-stamp server for every signature (or MOREX_TIMESTAMP_URL)
  --compare DIR           another builder's Morex.exe, MorexEvents.dll and Morex.pdb: must match
  --notes FILE            write the release notes' signing lines there
  --tag                   a tag's release: signed and time-stamped, or MOREX_RELEASE_UNSIGNED=1
  -h, --help              this text
The PIN or the key's password: MOREX_SIGNING_KEY_PASSWORD_FILE or MOREX_SIGNING_KEY_PASSWORD.
EOF
}

fail() {
  echo "sign-release: $*" >&2
  exit 2
}

# An option's value must be there: a missing one would otherwise take the next option as it.
value_of() {
  if [ $# -lt 2 ] || [ -z "$2" ] || [[ $2 == -* ]]; then
    fail "$1 needs a value (scripts/sign-release.sh --help)"
  fi
}

unsigned='' out=dist compare='' notes='' tag=''
cert=${MOREX_SIGNING_CERT:-}
key=${MOREX_SIGNING_KEY:-}
module=${MOREX_PKCS11_MODULE:-}
timestamp_url=${MOREX_TIMESTAMP_URL:-}
while [ $# -gt 0 ]; do
  case "$1" in
  -h | --help) usage; exit 0 ;;
  --out) value_of "$@"; out=$2; shift 2 ;;
  --cert) value_of "$@"; cert=$2; shift 2 ;;
  --key) value_of "$@"; key=$2; shift 2 ;;
  --pkcs11-module) value_of "$@"; module=$2; shift 2 ;;
  --timestamp-url) value_of "$@"; timestamp_url=$2; shift 2 ;;
  --compare) value_of "$@"; compare=$2; shift 2 ;;
  --notes) value_of "$@"; notes=$2; shift 2 ;;
  --tag) tag=yes; shift ;;
  -*) echo "sign-release: unknown option $1" >&2; usage >&2; exit 2 ;;
  *) [ -z "$unsigned" ] || fail "one unsigned release at a time: $unsigned, then $1"
    unsigned=$1; shift ;;
  esac
done
[ -n "$unsigned" ] || fail "which unsigned release? (scripts/sign-release.sh --help)"
if [ -n "$cert$key" ] && { [ -z "$cert" ] || [ -z "$key" ]; }; then
  fail "signing needs both a certificate and its key"
fi
if [ -n "$tag" ] && [ "${MOREX_RELEASE_UNSIGNED:-}" != 1 ]; then
  [ -n "$key" ] || fail "a tag's release must be signed, and no key was given" \
    "(MOREX_SIGNING_KEY; MOREX_RELEASE_UNSIGNED=1 publishes it unsigned)"
  [ -n "$timestamp_url" ] || fail "a tag's release must be time-stamped, and no time-stamp" \
    "server was given (MOREX_TIMESTAMP_URL)"
fi

# The unsigned release as it was made: every file of its sums, and its build information.
[ -f "$unsigned/SHA256SUMS" ] || fail "$unsigned holds no release (no SHA256SUMS)"
(cd "$unsigned" && sha256sum --quiet --strict -c SHA256SUMS >/dev/null 2>&1) ||
  fail "$unsigned does not match its SHA256SUMS"
buildinfo=$(ls "$unsigned"/Morex-*-buildinfo.txt 2>/dev/null) ||
  fail "$unsigned has no build information"
field() { sed -n "s/^$1: //p" "$buildinfo"; }
version=$(field Version) commit=$(field Commit) epoch=$(field SOURCE_DATE_EPOCH)
checkout=$(git -C "$source_dir" rev-parse HEAD 2>/dev/null || echo "$commit")
[ "$checkout" = "$commit" ] ||
  fail "the release is of commit $commit, and these scripts are of $checkout"
release_py=(/usr/bin/python3 "$source_dir/scripts/release.py")
[ -z "$compare" ] || "${release_py[@]}" compare "$unsigned" "$compare" || exit 2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The PIN or the key's password, as printf (a shell builtin, so no process shows it) writes it.
password() {
  if [ -n "${MOREX_SIGNING_KEY_PASSWORD_FILE:-}" ]; then
    cat "$MOREX_SIGNING_KEY_PASSWORD_FILE"
  else
    printf '%s' "${MOREX_SIGNING_KEY_PASSWORD:-}"
  fi
}
with_password=
[ -z "${MOREX_SIGNING_KEY_PASSWORD_FILE:-}${MOREX_SIGNING_KEY_PASSWORD:-}" ] || with_password=yes

# What openssl reads of the certificate, a PEM or a DER file.
certificate() {
  openssl x509 -in "$cert" -noout "$@" 2>/dev/null ||
    openssl x509 -inform DER -in "$cert" -noout "$@" 2>/dev/null
}

# The public key of the signing key, from its file or from its token; openssl's engine for
# PKCS#11 (libengine-pkcs11-openssl) reaches the token through a configuration of our own.
token=
signing_public_key() {
  if [ -z "$token" ]; then
    openssl pkey -in "$key" -pubout ${with_password:+-passin fd:3} 3< <(password) </dev/null \
      2>/dev/null ||
      fail "can't read the key $key (a wrong or missing password?); nothing was signed"
    return
  fi
  local engines
  engines=$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')
  printf '%s\n' "openssl_conf = init" "[init]" "engines = engines" "[engines]" \
    "pkcs11 = pkcs11" "[pkcs11]" "engine_id = pkcs11" "dynamic_path = $engines/pkcs11.so" \
    "MODULE_PATH = $module" "init = 0" >"$work/pkcs11.cnf"
  # The engine may crash on its way out after a refusal: the report goes to the log too.
  if ! (OPENSSL_CONF=$work/pkcs11.cnf openssl pkey -engine pkcs11 -inform engine -in "$key" \
    -pubout -passin fd:3 3< <(password) </dev/null) 2>"$work/token.log"; then
    if grep -q 'Unable to load module' "$work/token.log"; then
      fail "the PKCS#11 module $module does not load (missing, or not a PKCS#11 module)"
    elif grep -q 'Login failed' "$work/token.log"; then
      fail "the token refused the PIN for $key (MOREX_SIGNING_KEY_PASSWORD)"
    elif grep -q -e 'not found' -e 'No matching' "$work/token.log"; then
      fail "no token of module $module holds the private key $key"
    fi
    fail "can't read the key $key: $(grep -v '^Engine' "$work/token.log" | head -1)"
  fi
}

if [ -n "$key" ]; then
  if [[ $key == pkcs11:* ]]; then
    token=yes
    [ -n "$module" ] || fail "the PKCS#11 key $key needs its module (MOREX_PKCS11_MODULE)"
    [ -n "$with_password" ] || fail "the PKCS#11 key $key needs its PIN" \
      "(MOREX_SIGNING_KEY_PASSWORD)"
  fi
  cert_key=$(certificate -pubkey) ||
    fail "can't read the certificate $cert; nothing was signed"
  signing_key=$(signing_public_key) || exit 2
  [ "$cert_key" = "$signing_key" ] ||
    fail "the certificate $cert does not belong to the key $key; nothing was signed"
fi

# Why the time-stamp server gives no time stamp, or nothing when it gives one: asked once,
# within a bound, before anything is signed (a dead server would otherwise show up only under
# osslsigncode's output).
timestamp_fault() {
  local query=$work/ts.query reply=$work/ts.reply error=$work/ts.error
  openssl ts -query -data /dev/null -sha256 -cert -out "$query" 2>/dev/null
  if ! curl -sS --fail --max-time 20 -H 'Content-Type: application/timestamp-query' \
    --data-binary "@$query" -o "$reply" "$1" 2>"$error"; then
    sed -e 's/^curl: ([0-9]*) //' "$error" | head -1
  elif ! openssl ts -reply -in "$reply" -text 2>/dev/null | grep -q '^Status: Granted'; then
    echo "its answer is not a granted RFC 3161 time stamp"
  fi
}
if [ -n "$key" ] && [ -n "$timestamp_url" ]; then
  fault=$(timestamp_fault "$timestamp_url")
  [ -z "$fault" ] || fail "the time-stamp server $timestamp_url gives no time stamp: $fault;" \
    "nothing was signed"
fi

sign() {
  local signed="$1.signed" when=(-time "$epoch") from=(-key "$key")
  [ -z "$timestamp_url" ] || when=(-ts "$timestamp_url")
  [ -z "$token" ] || from=(-pkcs11module "$module" -key "$key")
  osslsigncode sign -certs "$cert" "${from[@]}" ${with_password:+-readpass /dev/fd/3} \
    -h sha256 -n "Morex $version" "${when[@]}" -in "$1" -out "$signed" >"$work/sign.log" 2>&1 \
    3< <(password) </dev/null ||
    { cat "$work/sign.log" >&2; exit 1; }
  mv "$signed" "$1"
}

release=$work/release
cp -r "$unsigned" "$release"
zip_name="Morex-$version-win64.zip" msi_name="Morex-$version-win64.msi"
if [ -n "$key" ]; then
  sign "$release/Morex.exe"
  sign "$release/MorexEvents.dll"
  "${release_py[@]}" package "$release/Morex.exe" "$release/MorexEvents.dll" \
    "$release/THIRD-PARTY-NOTICES.txt" --version "$version" --commit "$commit" \
    --epoch "$epoch" --out "$work/packed" 2> >(grep -v -e 'GLib-GObject' -e '^$' >&2)
  cp "$work/packed/$zip_name" "$work/packed/$msi_name" "$release/"
  sign "$release/$msi_name"
  sbom=$(basename "$(ls "$release"/Morex-*-sbom.cdx.json)")
  "${release_py[@]}" signed-sbom "$release/$sbom" "$release"
  mapfile -t summed < <(awk '{ print $2 }' "$unsigned/SHA256SUMS")
  "${release_py[@]}" sums "$release" "${summed[@]}"
fi

if [ -n "$notes" ]; then
  if [ -z "$key" ]; then
    echo "This release is unsigned: check every file by SHA256SUMS and its attestation."
  else
    subject=$(certificate -subject -nameopt RFC2253)
    thumbprint=$(certificate -fingerprint -sha256)
    echo "Signed by ${subject#subject=}; the certificate's SHA-256 thumbprint:" \
      "$(tr -d ':' <<<"${thumbprint#*=}")${timestamp_url:+. Time-stamped by $timestamp_url}."
  fi >"$work/notes"
  echo "The MSI's upgrade code, every version's: $("${release_py[@]}" upgrade-code)." \
    "How the build is recreated: docs/releasing.md#rebuilding-a-release." >>"$work/notes"
fi
rm -rf "$out"
mkdir -p "$out"
cp "$release/"* "$out/"
[ -z "$notes" ] || cp "$work/notes" "$notes"
if [ -n "$key" ]; then
  echo "Signed Morex.exe, MorexEvents.dll and $msi_name with $cert${timestamp_url:+," \
    "time-stamped by $timestamp_url}, into $out." >&2
else
  echo "Unsigned release: no signing key given; copied into $out." >&2
fi
cat "$out/SHA256SUMS"
