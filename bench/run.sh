#!/bin/bash
# Benchmarks of the launcher (not tests): hashing, download throughput, the drive scan, the time
# from start to engine start of an up-to-date mod, and the peak memory of an update. Each is set
# against an anchor measured in the same run, and one table of ratios is printed at the end.
# Runs inside a private mount and network namespace: nginx serves HTTPS on 127.0.0.1:443 for the
# update host, with a throwaway CA trusted there only. Sizes in MiB, all overridable:
#   BUILD_DIR        cross-build folder (default <repo>/build/bench); built here when needed
#   HASH_MB          file hashed by HashFileSha256, plain BCrypt and openssl (1024)
#   DOWNLOAD_MB      file fetched by DownloadToFile and curl (200)
#   MOD_MB MOD_FILES up-to-date mod for the start-to-engine run (500 MiB in 50 files)
#   MEM_BIG_MB MEM_SMALL_MB  update sizes whose peak memory is compared (1024 and 10)
#   ROUNDS           timed rounds of each measurement, the best counts (3); MEM_ROUNDS (1)
#   SCAN             0 skips the drive scan benchmark (ScanForGame over a 51,110-folder tree)
#   ONLY             a subset, e.g. ONLY=hash,download (hash download start memory scan)
#   VARIANTS         scratch builds of bench_timing with a changed copy of product code, timed
#                    beside the real one: VARIANTS=label=/path/a.exe,label2=/path/b.exe
# Data (about 3.6 GB) is kept in $BUILD_DIR/bench-run between runs.
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

ip link set lo up
work=$BUILD_DIR/bench-run
mkdir -p "$work"

certs=$work/certs-$KORVANTIS_UPDATE_HOST
if [[ ! -f $certs/server.chain.pem ]]; then
  tmp=$(mktemp -d "$certs.XXXXXX")
  (
    cd "$tmp"
    openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -keyout ca.key -out ca.pem \
      -subj "/CN=Korvantis Bench CA" -addext basicConstraints=critical,CA:TRUE \
      -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
    openssl req -new -newkey rsa:2048 -nodes -keyout server.key -out server.csr \
      -subj "/CN=$KORVANTIS_UPDATE_HOST" 2>/dev/null
    printf 'subjectAltName=DNS:%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
      "$KORVANTIS_UPDATE_HOST" > server.ext
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 3650 \
      -extfile server.ext -out server.crt 2>/dev/null
    cat server.crt ca.pem > server.chain.pem
  )
  rm -rf "$certs"
  mv "$tmp" "$certs"
fi
export BENCH_CERT_DIR=$certs

# Only this namespace resolves the update host to loopback and trusts the bench CA.
ns_files=$(mktemp -d)
trap 'rm -rf "$ns_files"' EXIT
{ cat /etc/hosts; echo "127.0.0.1 $KORVANTIS_UPDATE_HOST"; } > "$ns_files/hosts"
mount --bind "$ns_files/hosts" /etc/hosts
cat /etc/ssl/certs/ca-certificates.crt "$certs/ca.pem" > "$ns_files/ca-certificates.crt"
mount --bind "$ns_files/ca-certificates.crt" /etc/ssl/certs/ca-certificates.crt

export PYTHONDONTWRITEBYTECODE=1
/usr/bin/python3 "$here/bench.py" "$@"
