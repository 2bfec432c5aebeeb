#!/usr/bin/env bash
# Makes a test code-signing authority and the signed variants of a Windows setup program, for
# the tests and the demo (openssl command line and osslsigncode; nothing leaves this machine).
#
#   tools/test-signing/sign-setups.sh SETUP OUTDIR [SIGNER]
#
# SIGNER is the signer's common name the installer requires ("Norvane" by default). Writes to
# OUTDIR (made afresh):
#   root.pem, root.der     the test root "<SIGNER> Test Root" (the one to trust)
#   root-wine.reg          the test root for a Wine prefix's system.reg
#                          (tools/test-signing/wine-root-reg.sh)
#   stray-root.pem         a second root, trusted nowhere
#   signed.exe             signed by SIGNER, certificate issued by the test root
#   unsigned.exe           SETUP as it is
#   tampered.exe           signed.exe with one byte of the program changed after signing
#   other-signer.exe       signed by "Other Vendor", issued by the test root
#   untrusted-root.exe     signed by SIGNER, issued by the stray root
# The signatures carry no time stamp (that would need a time-stamping server).
set -euo pipefail

[ $# -ge 2 ] || { echo "usage: $0 SETUP OUTDIR [SIGNER]" >&2; exit 2; }
setup=$1 out=$2 signer=${3:-Norvane}
[ -f "$setup" ] || { echo "$0: no file $setup" >&2; exit 2; }
setup=$(realpath "$setup")
here=$(cd "$(dirname "$0")" && pwd)

rm -rf "$out"
mkdir -p "$out"
cd "$out"

ossl() { openssl "$@" 2>>openssl.log; }

# A root: a self-signed CA certificate.
make_root() {  # name cn
  ossl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 -keyout "$1.key" -out "$1.pem" \
    -subj "/O=Vexlor tests/CN=$2" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
}

# A code-signing certificate issued by a root.
make_signer() {  # name cn root
  ossl req -newkey rsa:2048 -nodes -sha256 -keyout "$1.key" -out "$1.csr" -subj "/CN=$2"
  printf '%s\n' "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature" \
    "extendedKeyUsage=codeSigning" >"$1.ext"
  ossl x509 -req -in "$1.csr" -CA "$3.pem" -CAkey "$3.key" -CAcreateserial -days 30 -sha256 \
    -extfile "$1.ext" -out "$1.pem"
}

sign() {  # signer-name output
  osslsigncode sign -certs "$1.pem" -key "$1.key" -h sha256 -n "Vexlor Setup" \
    -in "$setup" -out "$2" >>osslsigncode.log 2>&1
}

make_root root "$signer Test Root"
make_root stray-root "Stray Test Root"
ossl x509 -in root.pem -outform DER -out root.der
"$here/wine-root-reg.sh" root.pem >root-wine.reg

make_signer vendor "$signer" root
make_signer other "Other Vendor" root
make_signer stray "$signer" stray-root

cp "$setup" unsigned.exe
sign vendor signed.exe
sign other other-signer.exe
sign stray untrusted-root.exe

# One byte of the program itself (a quarter into the file, well inside what the digest covers)
# changed after signing.
cp signed.exe tampered.exe
size=$(stat -c %s signed.exe)
at=$((size / 4))
byte=$(od -An -tu1 -j "$at" -N1 signed.exe | tr -d ' ')
printf "$(printf '\\%03o' $(((byte + 1) % 256)))" |
  dd of=tampered.exe bs=1 seek="$at" count=1 conv=notrunc status=none
cmp -s signed.exe tampered.exe && { echo "$0: the tampered copy did not change" >&2; exit 1; }
echo "sign-setups: signed variants of $(basename "$setup") in $out"
