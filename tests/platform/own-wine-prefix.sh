#!/bin/sh
# own-wine-prefix.sh DIR COMMAND...: runs a Windows test program in a Wine prefix of its own, for
# a test that writes the user's settings into the registry. DIR becomes a copy of the prepared
# prefix ($WINEPREFIX, else ~/.wine-vexlor64): its registry and .ini files real copies, every
# other file a hard link. The prefix's own wineserver is ended afterwards.
set -u
dir=$1
shift
src=${WINEPREFIX:-$HOME/.wine-vexlor64}
if [ ! -f "$src/system.reg" ]; then
  echo "own-wine-prefix: no prepared Wine prefix at $src" >&2
  exit 1
fi
rm -rf "$dir"
cp -al "$src" "$dir" || exit 1
find "$src" -maxdepth 1 -name '*.reg' -exec cp --remove-destination {} "$dir/" \;
( cd "$src" && find . -name '*.ini' ) | while read -r f; do
  cp --remove-destination "$src/$f" "$dir/$f"
done
WINEPREFIX=$dir
export WINEPREFIX
"$@"
rc=$?
/usr/lib/wine/wineserver -k 2>/dev/null
exit $rc
