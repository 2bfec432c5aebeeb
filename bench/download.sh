#!/usr/bin/env bash
# Download benchmark: vexlor-fetch against curl and wget on a local nginx.
#
#   bench/download.sh [BUILD_DIR]        (default build/linux; vexlor-fetch is built if missing)
#   SIZE_MB=1024 RUNS=5 SMALL_RUNS=30 OUT_DIR=/dev/shm bench/download.sh
#
# OUT_DIR is where the downloads are written (default: the temporary directory, on disk);
# /dev/shm keeps the disk's writeback out of the figures and measures the clients alone.
# BASE_FETCH=path/to/another/vexlor-fetch adds a row "base-fetch" in the same rounds, to
# compare two builds of the client (say, before and after a change) under the same load.
#
# Starts its own nginx on a free port of 127.0.0.1 (configuration, pid, logs and temporary
# folders in a temporary directory), serves a SIZE_MB file of random bytes and a 1 KiB file,
# and runs the three clients in rounds (vexlor-fetch, curl, wget one after the other in every
# round, so they share the machine's state). Each run writes the download to a file in the
# temporary directory. Reported per client: wall time, CPU time (user + system), peak memory
# (maximum resident set), throughput (MiB/s), all medians over RUNS rounds, and the wall time
# of fetching the 1 KiB file (median over SMALL_RUNS; time to first byte including the start
# of the program). The first download of every client is compared byte for byte.
#
# Two reference rows run in the same rounds: "bare" (bench/bare_fetch.cpp, built here) is the
# least a client can do, one blocking connection with receives of up to 256 KiB each written
# to the file at once; "cat" copies the file from the page cache into a file without any
# network, the ceiling a client can approach on the machine at hand.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/nginx.sh
build=${1:-build/linux}
size_mb=${SIZE_MB:-1024}
runs=${RUNS:-5}
small_runs=${SMALL_RUNS:-30}
fetch=$build/tools/vexlor-fetch/vexlor-fetch
[ -x "$fetch" ] || cmake --build "$build" --target vexlor-fetch

work=$(mktemp -d /tmp/vexlor-bench.XXXXXX)
chmod 755 "$work"
bare=$work/bare-fetch
g++ -std=c++20 -O2 bench/bare_fetch.cpp -o "$bare"
out=
cleanup() {
  [ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
  sleep 0.2
  [ -n "$out" ] && rm -f "$out"
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/www" "$work/tmp"
head -c $((size_mb * 1024 * 1024)) /dev/urandom >"$work/www/big.bin"
head -c 1024 /dev/urandom >"$work/www/small.bin"
chmod 644 "$work/www/"*
port=$(free_port)
start_nginx "$work" "$port"
for _ in $(seq 50); do
  curl -sf -o /dev/null "http://127.0.0.1:$port/small.bin" && break
  sleep 0.1
done
cat "$work/www/big.bin" >/dev/null  # into the page cache

big=http://127.0.0.1:$port/big.bin
small=http://127.0.0.1:$port/small.bin
out_dir=${OUT_DIR:-$work}
out=$(mktemp "$out_dir/vexlor-bench-out.XXXXXX")
run_client() {  # client url
  case $1 in
    vexlor-fetch) "$fetch" "$2" "$out" ;;
    base-fetch) "$BASE_FETCH" "$2" "$out" ;;
    curl) curl -sS -o "$out" "$2" ;;
    wget) wget -q -O "$out" "$2" ;;
  esac
}
clients=(vexlor-fetch curl wget)
[ -n "${BASE_FETCH:-}" ] && clients+=(base-fetch)
references=(bare cat)
declare -A wall cpu mem small_wall
for c in "${clients[@]}" "${references[@]}"; do wall[$c]=""; cpu[$c]=""; mem[$c]=""; small_wall[$c]=""; done

for r in $(seq "$runs"); do
  for c in "${clients[@]}" "${references[@]}"; do
    rm -f "$out"
    # The run before wrote 1 GiB that the disk has not taken yet: written out now, untimed, so
    # that no client pays for the writeback of the one before it (which favoured whichever
    # client followed the slowest).
    sync
    timed=(/usr/bin/time -f "%e %U %S %M" -o "$work/time.txt")
    case $c in
      vexlor-fetch) "${timed[@]}" "$fetch" "$big" "$out" ;;
      base-fetch) "${timed[@]}" "$BASE_FETCH" "$big" "$out" ;;
      curl) "${timed[@]}" curl -sS -o "$out" "$big" ;;
      wget) "${timed[@]}" wget -q -O "$out" "$big" ;;
      bare) "${timed[@]}" "$bare" 127.0.0.1 "$port" /big.bin "$out" ;;
      cat) "${timed[@]}" cat "$work/www/big.bin" >"$out" ;;
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
for r in $(seq "$small_runs"); do
  for c in "${clients[@]}"; do
    rm -f "$out"
    s0=$(date +%s.%N)
    run_client "$c" "$small"
    s1=$(date +%s.%N)
    small_wall[$c]+="$(echo "($s1 - $s0) * 1000" | bc) "
  done
done
rm -f "$out"

median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
printf '%s MiB file written to %s, %s rounds; 1 KiB file, %s rounds; medians\n' "$size_mb" \
  "$out_dir" "$runs" "$small_runs"
printf '%-13s %9s %9s %12s %12s %14s\n' client "wall s" "CPU s" "peak KiB" "MiB/s" "1 KiB ms"
for c in "${clients[@]}" "${references[@]}"; do
  w=$(echo "${wall[$c]}" | median)
  small_ms=-
  [ -n "${small_wall[$c]}" ] && small_ms=$(printf '%.1f' "$(echo "${small_wall[$c]}" | median)")
  printf '%-13s %9.2f %9.2f %12d %12.0f %14s\n' "$c" "$w" "$(echo "${cpu[$c]}" | median)" \
    "$(echo "${mem[$c]}" | median)" "$(echo "$size_mb / $w" | bc -l)" "$small_ms"
done
ratio() { echo "$(echo "$1" | median) / $(echo "$2" | median)" | bc -l; }
printf 'vexlor-fetch against curl: throughput %.2f x, CPU %.2f x, peak memory %.2f x wget'"'"'s\n' \
  "$(ratio "${wall[curl]}" "${wall[vexlor-fetch]}")" "$(ratio "${cpu[vexlor-fetch]}" "${cpu[curl]}")" \
  "$(ratio "${mem[vexlor-fetch]}" "${mem[wget]}")"
printf 'vexlor-fetch against the bare client: throughput %.3f x, CPU %.2f x\n' \
  "$(ratio "${wall[bare]}" "${wall[vexlor-fetch]}")" "$(ratio "${cpu[vexlor-fetch]}" "${cpu[bare]}")"
if [ -n "${BASE_FETCH:-}" ]; then
  printf 'base-fetch against the bare client: throughput %.3f x, CPU %.2f x\n' \
    "$(ratio "${wall[bare]}" "${wall[base-fetch]}")" "$(ratio "${cpu[base-fetch]}" "${cpu[bare]}")"
fi
