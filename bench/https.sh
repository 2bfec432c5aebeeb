#!/usr/bin/env bash
# https download benchmark: vexlor-fetch against curl on a local nginx with TLS.
#
#   bench/https.sh [BUILD_DIR]           (default build/linux; vexlor-fetch is built if missing)
#   SIZE_MB=1024 RUNS=5 OUT_DIR=/dev/shm bench/https.sh
#
# Makes a test root and a certificate for 127.0.0.1 with the openssl command line, starts its
# own nginx with TLS on a free port of 127.0.0.1 (everything in a temporary directory), serves
# a SIZE_MB file of random bytes, and runs both clients in rounds (one after the other in every
# round, so they share the machine's state), each trusting the test root by its own option and
# verifying the certificate. Reported per client: wall time, CPU time (user + system), peak
# memory and throughput, medians over RUNS rounds, and the negotiated protocol and cipher. The
# first download of each client is compared byte for byte.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/nginx.sh
build=${1:-build/linux}
size_mb=${SIZE_MB:-1024}
runs=${RUNS:-5}
fetch=$build/tools/vexlor-fetch/vexlor-fetch
[ -x "$fetch" ] || cmake --build "$build" --target vexlor-fetch

work=$(mktemp -d /tmp/vexlor-bench-https.XXXXXX)
chmod 755 "$work"
out=
cleanup() {
  [ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
  sleep 0.2
  [ -n "$out" ] && rm -f "$out"
  rm -rf "$work"
}
trap cleanup EXIT

(
  cd "$work"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout root.key \
    -out root.pem -days 2 -subj /CN=bench-root \
    -addext basicConstraints=critical,CA:TRUE 2>/dev/null
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout server.key \
    -out server.csr -subj /CN=127.0.0.1 2>/dev/null
  printf 'subjectAltName = IP:127.0.0.1\nextendedKeyUsage = serverAuth\n' >server.ext
  openssl x509 -req -in server.csr -CA root.pem -CAkey root.key -CAcreateserial -days 2 \
    -extfile server.ext -out server.pem 2>/dev/null
)
mkdir -p "$work/www" "$work/tmp"
head -c $((size_mb * 1024 * 1024)) /dev/urandom >"$work/www/big.bin"
chmod 644 "$work/www/"*
port=$(free_port)
start_nginx "$work" "$port" " ssl" "    ssl_certificate $work/server.pem;
    ssl_certificate_key $work/server.key;"
big=https://127.0.0.1:$port/big.bin
for _ in $(seq 50); do
  curl -sf --cacert "$work/root.pem" -o /dev/null -r 0-0 "$big" && break
  sleep 0.1
done
cat "$work/www/big.bin" >/dev/null  # into the page cache
session=$(openssl s_client -connect "127.0.0.1:$port" -CAfile "$work/root.pem" </dev/null 2>/dev/null |
  grep -E '^ *(Protocol|Cipher) *:' | sed 's/^ *//' | tr -s ' ' | paste -sd ';' -)

out_dir=${OUT_DIR:-$work}
out=$(mktemp "$out_dir/vexlor-bench-out.XXXXXX")
clients=(vexlor-fetch curl)
declare -A wall cpu mem
for c in "${clients[@]}"; do wall[$c]=""; cpu[$c]=""; mem[$c]=""; done
for r in $(seq "$runs"); do
  for c in "${clients[@]}"; do
    rm -f "$out"
    timed=(/usr/bin/time -f "%e %U %S %M" -o "$work/time.txt")
    case $c in
      vexlor-fetch) "${timed[@]}" "$fetch" --roots "$work/root.pem" "$big" "$out" ;;
      curl) "${timed[@]}" curl -sS --cacert "$work/root.pem" -o "$out" "$big" ;;
    esac
    read -r e u s m <"$work/time.txt"
    if [ "$r" = 1 ]; then
      cmp -s "$out" "$work/www/big.bin" || { echo "$c: download differs" >&2; exit 1; }
    fi
    wall[$c]+="$e "
    cpu[$c]+="$(echo "$u + $s" | bc) "
    mem[$c]+="$m "
  done
done
rm -f "$out"

median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
printf '%s MiB over https (%s) written to %s, %s rounds; medians\n' "$size_mb" "$session" \
  "$out_dir" "$runs"
printf '%-13s %9s %9s %12s %12s\n' client "wall s" "CPU s" "peak KiB" "MiB/s"
for c in "${clients[@]}"; do
  w=$(echo "${wall[$c]}" | median)
  printf '%-13s %9.2f %9.2f %12d %12.0f\n' "$c" "$w" "$(echo "${cpu[$c]}" | median)" \
    "$(echo "${mem[$c]}" | median)" "$(echo "$size_mb / $w" | bc -l)"
done
ratio() { echo "$(echo "$1" | median) / $(echo "$2" | median)" | bc -l; }
printf 'vexlor-fetch against curl: throughput %.2f x, CPU %.2f x, peak memory %.2f x\n' \
  "$(ratio "${wall[curl]}" "${wall[vexlor-fetch]}")" \
  "$(ratio "${cpu[vexlor-fetch]}" "${cpu[curl]}")" "$(ratio "${mem[vexlor-fetch]}" "${mem[curl]}")"
