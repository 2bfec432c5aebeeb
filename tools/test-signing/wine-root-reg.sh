#!/usr/bin/env bash
# Prints a root certificate as a key of the machine's ROOT store in the text of a Wine prefix's
# system.reg: appended to that file before the prefix first runs, it makes the root trusted in
# that prefix only.
#
#   tools/test-signing/wine-root-reg.sh ROOT.pem
set -euo pipefail
[ $# -eq 1 ] && [ -f "$1" ] || { echo "usage: $0 ROOT.pem" >&2; exit 2; }
der=$(mktemp)
trap 'rm -f "$der"' EXIT
openssl x509 -in "$1" -outform DER -out "$der"
# The ROOT store keeps each certificate under its SHA-1 hash, as a serialized certificate: the
# certificate property (32), its encoding (1, X.509 ASN.1), its length, then the DER bytes.
hash=$(openssl x509 -in "$1" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
len=$(stat -c %s "$der")
blob=$({
  printf '20000000''01000000''%02x%02x%02x%02x' $((len & 255)) $((len >> 8 & 255)) \
    $((len >> 16 & 255)) $((len >> 24 & 255))
  od -An -v -tx1 "$der" | tr -d ' \n'
} | sed 's/../&,/g; s/,$//')
printf '\n[Software\\\\Microsoft\\\\SystemCertificates\\\\Root\\\\Certificates\\\\%s] %s\n"Blob"=hex:%s\n' \
  "$hash" "$(date +%s)" "$blob"
