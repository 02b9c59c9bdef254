#!/bin/bash
# Benchmarks of the launcher (not tests): hashing, download throughput, the drive scan, the time
# from start to engine start of an up-to-date mod, the peak memory of an update, and first
# installs over a wide-area line (wan) and over one that drops (weakline). Each is set against
# an anchor measured in the same run, and one table of ratios is printed at the end.
# Runs inside a private mount and network namespace: nginx serves HTTPS on 127.0.0.1:443 for the
# update host, with a throwaway CA trusted there only. Sizes in MiB, all overridable:
#   BUILD_DIR        cross-build folder (default <repo>/build/bench); built here when needed
#   HASH_MB          file hashed by HashFileSha256, plain BCrypt and openssl (1024)
#   DOWNLOAD_MB      file fetched by DownloadToFile and curl (200)
#   MOD_MB MOD_FILES up-to-date mod for the start-to-engine run (500 MiB in 50 files)
#   MEM_BIG_MB MEM_SMALL_MB  update sizes whose peak memory is compared (1024 and 10)
#   ROUNDS           timed rounds of each measurement, the best counts (3); MEM_ROUNDS (1)
#   SCAN             0 skips the drive scan benchmark (ScanForGame over a 51,110-folder tree)
#   WAN_RTT_MS WAN_MBIT  the line of the wan rows: round trip in ms (40) and one downstream rate
#                    in Mbit/s shared by all connections (100). bench/wan_relay.py holds the
#                    update host's port 443 for them, nginx moved behind it; it adds one more
#                    round trip to each new connection. For each mod: the launcher's first
#                    install (start to engine, launcher and engine already there) against curl
#                    over one keep-alive connection, curl -Z over 6, and the floor (bytes / rate);
#                    notes: the relay against nginx itself at 0 ms, and a WAN_CHECK_MB (50) curl
#                    over the line
#   WAN_SMALL WAN_MEDIUM WAN_LARGE  the wan mods' files: 2-256 KiB and 2 MiB in the first (1000
#                    and 10, about 82 MiB), 8 MiB in the second (20)
#   WEAK_MB WEAK_MBIT WEAK_DROP_MB  the weak line (weakline): one file (40) over a line of that
#                    rate (20, WAN_RTT_MS round trips) that drops each connection once that many
#                    MiB went down it (8). The launcher's first install of it in one start against
#                    curl -C - run again until it ends well, and the floor; each with the bytes the
#                    line carried downstream
#   FINISH_KIB FINISH_FILES  the finish row: files of that size (72), that many (200), each timed
#                    from its last byte to its move
#   ONLY             a subset, e.g. ONLY=hash,download (hash download start memory scan finish
#                    wan weakline)
#   VARIANTS         scratch builds of bench_timing with a changed copy of product code, timed
#                    beside the real one: VARIANTS=label=/path/a.exe,label2=/path/b.exe
# Data (about 3.9 GB) is kept in $BUILD_DIR/bench-run between runs.
#   KORVANTIS_UPDATE_HOST  update host compiled into that build (guncelleme.korvantis.example)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$repo/build/bench}
export KORVANTIS_UPDATE_HOST=${KORVANTIS_UPDATE_HOST:-guncelleme.korvantis.example}

if [[ "${BENCH_IN_NAMESPACE:-}" != 1 ]]; then
  if [[ ! -f $BUILD_DIR/CMakeCache.txt ]]; then
    cmake -S "$repo" -B "$BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DKORVANTIS_UPDATE_HOST="$KORVANTIS_UPDATE_HOST" >/dev/null
  fi
  cmake --build "$BUILD_DIR" -j2 --target Korvantis stand_in_engine bench_timing bench_floor >/dev/null
  exec unshare --mount --net --propagation private env BENCH_IN_NAMESPACE=1 "${BASH_SOURCE[0]}" "$@"
fi

work=$BUILD_DIR/bench-run
mkdir -p "$work"

# The scenarios' namespace set-up: the update host on loopback and a throwaway CA trusted here
# only (its certificates are kept in the bench folder between runs).
. "$repo/scripts/private-net.sh"
export BENCH_CERT_DIR=$(korvantis_certs "$work" "$KORVANTIS_UPDATE_HOST")
ns_files=$(mktemp -d)
trap 'rm -rf "$ns_files"' EXIT
korvantis_private_net "$KORVANTIS_UPDATE_HOST" "$BENCH_CERT_DIR" "$ns_files"

export PYTHONDONTWRITEBYTECODE=1
# tests/ holds the harness the benchmarks start nginx and Wine with (korvantis_harness), bench/
# the benchmarks themselves (korvantis_bench). -P: nothing from the caller's folder is imported.
PYTHONPATH=$repo/tests:$here /usr/bin/python3 -P -m korvantis_bench "$@"
