#!/usr/bin/env bash
# Signs one Windows file of ours in place: SHA-256 Authenticode under the vendor's certificate,
# with the product's name and web address, and an RFC 3161 time stamp when a server is named.
#   sign_pe.sh FILE
# The build's signer (build/<tree>/sign_pe) sets these and runs this script:
#   KREV_SIGNING_PKCS12, KREV_SIGNING_PASSWORD_FILE      a PKCS#12 file and its password, or
#   KREV_SIGNING_PKCS11_MODULE, KREV_SIGNING_KEY,        a key on a token (PKCS#11 URI without the
#   KREV_SIGNING_CERT [, KREV_SIGNING_PASSWORD_FILE]     PIN), its certificate chain and the PIN
#   KREV_TIMESTAMP_URL                                   optional
#   KREV_SIGNING_DESCRIPTION, KREV_SIGNING_URL           what the signature says of the product
# The password and the PIN stay in their file: osslsigncode reads it (-readpass), so they never
# stand on a command line. A failure removes the unsigned file, so that no unsigned file stands
# where a signed one was asked for and the build makes it again next time.
set -uo pipefail
file=${1:?usage: sign_pe.sh FILE}
attempts=${KREV_TIMESTAMP_ATTEMPTS:-4}
attempt_seconds=${KREV_TIMESTAMP_SECONDS:-60}
work=$(mktemp -d "$(dirname "$file")/.signing.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT

fail() {
    echo "Signing $file failed: $1" >&2
    [[ -s "$work/output" ]] && grep -v '^PE checksum\|^Connecting to\|^Engine ' "$work/output" >&2
    rm -f "$file"
    exit 1
}

credentials=()
if [[ -n "${KREV_SIGNING_PKCS12:-}" ]]; then
    [[ -n "${KREV_SIGNING_PASSWORD_FILE:-}" ]] || fail "a PKCS#12 file needs KREV_SIGNING_PASSWORD_FILE"
    credentials=(-pkcs12 "$KREV_SIGNING_PKCS12" -readpass "$KREV_SIGNING_PASSWORD_FILE")
elif [[ -n "${KREV_SIGNING_PKCS11_MODULE:-}" ]]; then
    [[ -n "${KREV_SIGNING_KEY:-}" && -n "${KREV_SIGNING_CERT:-}" ]] \
        || fail "a token needs KREV_SIGNING_KEY and KREV_SIGNING_CERT"
    # osslsigncode loads OpenSSL's pkcs11 engine (libengine-pkcs11-openssl) by its name; naming
    # its file instead fails with Debian 12's osslsigncode 2.5.
    credentials=(-pkcs11module "$KREV_SIGNING_PKCS11_MODULE" -certs "$KREV_SIGNING_CERT" -key "$KREV_SIGNING_KEY")
    [[ -n "${KREV_SIGNING_PASSWORD_FILE:-}" ]] && credentials+=(-readpass "$KREV_SIGNING_PASSWORD_FILE")
else
    fail "no certificate was given"
fi

osslsigncode sign "${credentials[@]}" -h sha256 -n "${KREV_SIGNING_DESCRIPTION:-Vyx}" \
    ${KREV_SIGNING_URL:+-i "$KREV_SIGNING_URL"} -in "$file" -out "$work/signed" >"$work/output" 2>&1 \
    || fail "osslsigncode could not sign it"

# The time stamp keeps the signature valid after the certificate expires: without the one asked
# for, the file is not taken. A server that does not answer is asked again a few times.
if [[ -n "${KREV_TIMESTAMP_URL:-}" ]]; then
    stamped=false
    for ((attempt = 1; attempt <= attempts; attempt++)); do
        if timeout "$attempt_seconds" osslsigncode add -ts "$KREV_TIMESTAMP_URL" -h sha256 \
                -in "$work/signed" -out "$work/stamped" >"$work/output" 2>&1; then
            stamped=true
            break
        fi
        rm -f "$work/stamped"
        ((attempt < attempts)) && sleep $((attempt * 2))
    done
    $stamped || fail "the time-stamp server $KREV_TIMESTAMP_URL did not give a time stamp ($attempts attempts)"
    mv -f "$work/stamped" "$work/signed"
fi
chmod --reference="$file" "$work/signed" 2>/dev/null
mv -f "$work/signed" "$file" || fail "the signed file could not replace it"
