#!/usr/bin/env bash
# Size of the shipped Windows program: vexlor-installer.exe of the win32 preset (MinSizeRel:
# -Os, one section per function and datum, no RTTI, no scalar-replacement clones, optimised as
# a whole at the link, unreached sections dropped, stripped).
#
#   bench/exe-size.sh [BUILD_DIR]        (default build/win32; the program is built if needed)
#   TOP=15 bench/exe-size.sh
#
# Prints the file's size against the 500 KB target, the size of each PE section, and the
# largest contributors to the code, read-only data and unwind tables, summed per library (or
# object file) from the link map the build writes beside the program, then the largest single
# members of the runtime libraries. The link-time optimisation turns the project's own code into
# one object of the link, shown as "the program's own code".
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/win32}
top=${TOP:-12}
[ -f "$build/CMakeCache.txt" ] || cmake --preset win32 >/dev/null
cmake --build "$build" --target vexlor-installer >/dev/null
exe=$build/installer/vexlor-installer.exe
map=$build/installer/vexlor-installer.map

python3 - "$exe" "$map" "$top" <<'PY'
import collections, os, re, struct, sys

exe, map_file, top = sys.argv[1], sys.argv[2], int(sys.argv[3])
size = os.path.getsize(exe)
print(f"{os.path.basename(exe)}: {size} bytes ({size / 1024:.1f} KiB); target 500 KB "
      f"(500000 bytes): {'met' if size <= 500000 else f'{size - 500000} bytes over'}")

# Section sizes from the PE headers (raw size in the file).
data = open(exe, "rb").read()
pe = struct.unpack_from("<I", data, 0x3C)[0]
count = struct.unpack_from("<H", data, pe + 6)[0]
optional = struct.unpack_from("<H", data, pe + 20)[0]
table = pe + 24 + optional
print("\nsection      bytes in file")
for i in range(count):
    name = struct.unpack_from("<8s", data, table + 40 * i)[0].rstrip(b"\0").decode()
    raw = struct.unpack_from("<I", data, table + 40 * i + 16)[0]
    print(f"{name:10s} {raw:10d}")

# The link map: every input section kept in the output, with its size and where it came from.
lines = open(map_file, errors="replace").read().split("\n")
start = next(i for i, l in enumerate(lines) if l.startswith("Linker script and memory map"))
kinds = {".text": ".text", ".rdata": ".rdata", ".eh_frame": ".eh_frame", ".data": ".data"}
per_lib = collections.defaultdict(collections.Counter)
per_member = collections.Counter()
pending = None
for l in lines[start:]:
    m = re.match(r"^ (\.[^\s]+)\s*$", l)
    if m:
        pending = m.group(1)
        continue
    m = re.match(r"^ (\.[^\s]+)?\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$", l)
    if not m:
        continue
    name = m.group(1) or pending
    pending = None
    if not name:
        continue
    kind = next((k for k in kinds if name.startswith(k)), None)
    if kind is None:
        continue
    n = int(m.group(3), 16)
    where = m.group(4)
    lib = re.search(r"([^/]+\.a)\(([^)]+)\)", where)
    key = lib.group(1) if lib else os.path.basename(where)
    if key.endswith(".ltrans.o"):
        key = "the program's own code"
    per_lib[kind][key] += n
    per_lib["all"][key] += n
    if lib and not lib.group(1).startswith("libvexlor"):
        per_member[f"{lib.group(1)}({lib.group(2)})"] += n

print(f"\nlargest contributors (code + read-only data + unwind tables + data), bytes")
print(f"{'library or object':34s} {'all':>8s} {'.text':>8s} {'.rdata':>8s} {'.eh_frame':>9s}")
for key, n in per_lib["all"].most_common(top):
    print(f"{key:34s} {n:8d} {per_lib['.text'][key]:8d} {per_lib['.rdata'][key]:8d} "
          f"{per_lib['.eh_frame'][key]:9d}")
print(f"\nlargest members of the runtime libraries, bytes")
for key, n in per_member.most_common(top):
    print(f"{n:8d} {key}")
PY
