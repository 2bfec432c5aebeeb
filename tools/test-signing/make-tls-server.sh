#!/usr/bin/env bash
# Makes a test TLS root and a server certificate for "localhost" (and 127.0.0.1) issued by it,
# for the demo download server's TLS listener in the demo and the end-to-end tests (openssl
# command line; nothing leaves this machine).
#
#   tools/test-signing/make-tls-server.sh OUTDIR
#
# Writes to OUTDIR (made afresh):
#   root.pem         the test root "Vexlor Demo TLS Root" (the one to trust: SSL_CERT_FILE on
#                    Linux)
#   root-wine.reg    the test root for a Wine prefix's system.reg (tools/test-signing/wine-root-reg.sh)
#   server.pem       the server certificate followed by the root (the chain to serve)
#   server.key       its private key
# Wine's TLS policy matches no IP-address names, so clients use the name "localhost".
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
out=$1
rm -rf "$out"
mkdir -p "$out"
cd "$out"

ossl() { openssl "$@" 2>>openssl.log; }

ossl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 -keyout root.key -out root.pem \
  -subj "/O=Vexlor tests/CN=Vexlor Demo TLS Root" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
ossl req -newkey rsa:2048 -nodes -sha256 -keyout server.key -out server.csr -subj "/CN=localhost"
printf '%s\n' "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature,keyEncipherment" \
  "extendedKeyUsage=serverAuth" "subjectAltName=DNS:localhost,IP:127.0.0.1" >server.ext
ossl x509 -req -in server.csr -CA root.pem -CAkey root.key -CAcreateserial -days 30 -sha256 \
  -extfile server.ext -out server-only.pem
cat server-only.pem root.pem >server.pem
"$here/wine-root-reg.sh" root.pem >root-wine.reg
echo "make-tls-server: a localhost certificate and its root in $out"
