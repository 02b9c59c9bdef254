#!/bin/bash
# Runs the whole-program scenarios inside a private mount and network namespace: only loopback,
# the update host resolving to 127.0.0.1, and a throwaway CA trusted in place of the system's
# bundle. Arguments go to pytest, e.g. `tests/scenarios/run.sh -k self_install -x`.
#   KORVANTIS_BUILD_DIR    build folder with Korvantis.exe and tests/helpers/*.exe
#                          (default <repo>/build/mingw)
#   KORVANTIS_UPDATE_HOST  update host compiled into that build (default guncelleme.korvantis.example)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
export KORVANTIS_BUILD_DIR=${KORVANTIS_BUILD_DIR:-$repo/build/mingw}
export KORVANTIS_UPDATE_HOST=${KORVANTIS_UPDATE_HOST:-guncelleme.korvantis.example}
export KORVANTIS_BUILD_DIR=$(cd "$KORVANTIS_BUILD_DIR" && pwd)

if [[ "${KORVANTIS_IN_NAMESPACE:-}" != 1 ]]; then
  exec unshare --mount --net --propagation private \
    env KORVANTIS_IN_NAMESPACE=1 "${BASH_SOURCE[0]}" "$@"
fi

ip link set lo up

# Certificates are kept between runs; they only have to be trusted inside this namespace.
make_certs() {
  local dir=$1 host=$2 tmp
  tmp=$(mktemp -d "$dir.XXXXXX")
  (
    cd "$tmp"
    openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -keyout ca.key -out ca.pem \
      -subj "/CN=Korvantis Test CA" -addext basicConstraints=critical,CA:TRUE \
      -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
    openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -keyout other-ca.key -out other-ca.pem \
      -subj "/CN=Korvantis Untrusted CA" -addext basicConstraints=critical,CA:TRUE \
      -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
    issue() {  # name ca-prefix dns-name
      openssl req -new -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" \
        -subj "/CN=$3" 2>/dev/null
      printf 'subjectAltName=DNS:%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
        "$3" > "$1.ext"
      openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial \
        -days 3650 -extfile "$1.ext" -out "$1.crt" 2>/dev/null
      cat "$1.crt" "$2.pem" > "$1.chain.pem"
      rm -f "$1.csr" "$1.ext"
    }
    issue server ca "$host"
    issue untrusted other-ca "$host"
    issue wrong-host ca "baska-sunucu.example"
  )
  mv "$tmp" "$dir"
}

cache=$KORVANTIS_BUILD_DIR/scenario-cache
mkdir -p "$cache"
certs=$cache/certs-$KORVANTIS_UPDATE_HOST
[[ -f $certs/wrong-host.chain.pem ]] || make_certs "$certs" "$KORVANTIS_UPDATE_HOST"
export KORVANTIS_CERT_DIR=$certs

ns_files=$(mktemp -d)
trap 'rm -rf "$ns_files"' EXIT
{ cat /etc/hosts; echo "127.0.0.1 $KORVANTIS_UPDATE_HOST"; } > "$ns_files/hosts"
mount --bind "$ns_files/hosts" /etc/hosts
cat /etc/ssl/certs/ca-certificates.crt "$certs/ca.pem" > "$ns_files/ca-certificates.crt"
mount --bind "$ns_files/ca-certificates.crt" /etc/ssl/certs/ca-certificates.crt

cd "$repo"
export PYTHONDONTWRITEBYTECODE=1
# The whole folder unless a test file or node is named.
targets=(tests/scenarios)
for arg in "$@"; do
  [[ $arg != -* && -e ${arg%%::*} ]] && targets=()
done
/usr/bin/python3 -m pytest -p no:cacheprovider "${targets[@]}" "$@"
