#!/usr/bin/env bash
# Bandwidth benchmark: builds bench/bandwidth.cpp against the libraries of a Linux build
# directory and downloads BODY bytes from a loopback server at LIMIT bytes per second.
#
#   bench/bandwidth.sh [BUILD_DIR] [LIMIT] [BODY]   (defaults build/linux 200000 1000000)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/linux}
limit=${2:-200000}
body=${3:-1000000}
cmake --build "$build" --target vexlor_http vexlor_test_support -j2 >/dev/null
out=$(mktemp -d /tmp/vexlor-bw.XXXXXX)
trap 'rm -rf "$out"' EXIT
g++ -std=c++17 -O2 -I. bench/bandwidth.cpp -o "$out/bandwidth" \
  "$build/tests/support/libvexlor_test_support.a" "$build/http/libvexlor_http.a" \
  "$build/http/libvexlor_http_core.a" "$build/net/libvexlor_net.a" \
  "$build/events/libvexlor_events.a" "$build/platform/libvexlor_platform.a" -lpthread
"$out/bandwidth" "$limit" "$body"
