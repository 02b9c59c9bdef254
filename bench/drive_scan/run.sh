#!/bin/bash
# Benchmark (not a test): the drive scan's folders per second against `find` walking the same
# tree to the same depth. Builds a tree of about 51,000 folders, maps it as drive D: of a scratch
# Wine prefix and times ScanForGame (inside the program, Wine's start-up excluded) and find.
#   BUILD_DIR  cross-build folder (default <repo>/build/locate); korvantis_core is built there
#   ROUNDS     timed rounds of each walker (default 3; the best round counts)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
build=${BUILD_DIR:-$repo/build/locate}
rounds=${ROUNDS:-3}
work=$build/bench-drive-scan
export WINEPREFIX=$work/wineprefix WINEDEBUG=-all LANG=C.UTF-8
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=;mshtml="

if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S "$repo" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j2 --target korvantis_core >/dev/null
mkdir -p "$work"
x86_64-w64-mingw32-g++-posix -std=c++20 -O2 -municode -static -DUNICODE -D_UNICODE \
  -DWIN32_LEAN_AND_MEAN -DNOMINMAX -I"$repo" "$here/scan_bench.cpp" \
  "$build/libkorvantis_core.a" "$build/libkorvantis_text.a" \
  -lwinhttp -lbcrypt -lshell32 -lole32 -luuid -ladvapi32 -o "$work/scan_bench.exe"

# 10 x 10 x 10 x 10 x 4 = 40,000 leaves, 51,110 folders in all, five levels deep, no game.
tree=$work/tree
if [[ ! -f $tree.done ]]; then
  rm -rf "$tree"
  /usr/bin/python3 - "$tree" <<'PY'
import itertools, os, sys
root = sys.argv[1]
for a, b, c, d in itertools.product(range(10), repeat=4):
    for e in range(4):
        os.makedirs(os.path.join(root, f"klasor_{a:02d}", f"alt_{b:02d}", f"dizin {c:02d}",
                                 f"seviye_{d:02d}", f"yaprak-{e}"))
PY
  touch "$tree.done"
fi

if [[ ! -d $WINEPREFIX/drive_c ]]; then
  wine wineboot -i >/dev/null 2>&1
  wineserver -w
fi
rm -f "$WINEPREFIX/dosdevices/z:" "$WINEPREFIX/dosdevices/d:"
ln -s "$tree" "$WINEPREFIX/dosdevices/d:"
wineserver -p
trap 'wineserver -k' EXIT

folders=$(find "$tree" -mindepth 1 -maxdepth 7 -type d | wc -l)
best() { sort -g | head -1; }
find_times=()
scan_times=()
for ((i = 0; i < rounds; i++)); do
  start=$(date +%s.%N)
  find "$tree" -maxdepth 7 -type d >/dev/null
  end=$(date +%s.%N)
  find_times+=("$(echo "$end - $start" | bc -l)")
  line=$(wine "$work/scan_bench.exe" 'D:' 7 | tr -d '\r')
  [[ $line == found=0* ]] || { echo "unexpected scan result: $line" >&2; exit 1; }
  scan_times+=("$(sed -n 's/.*seconds=\([0-9.]*\).*/\1/p' <<<"$line")")
done
find_best=$(printf '%s\n' "${find_times[@]}" | best)
scan_best=$(printf '%s\n' "${scan_times[@]}" | best)
/usr/bin/python3 - "$folders" "$find_best" "$scan_best" "${find_times[*]}" "${scan_times[*]}" <<'PY'
import sys
folders, find_s, scan_s = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3])
print(f"folders below the root, depth <= 7: {folders}")
print(f"find  rounds: {sys.argv[4]}  best {find_s:.3f} s = {folders / find_s:,.0f} folders/s")
print(f"scan  rounds: {sys.argv[5]}  best {scan_s:.3f} s = {folders / scan_s:,.0f} folders/s")
print(f"scan / find speed: {find_s / scan_s:.3f}  (find is {scan_s / find_s:.1f} x faster)")
PY
