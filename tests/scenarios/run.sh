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
# The two-host test launcher's second host (KORVANTIS_TEST_FALLBACK_HOST of that build).
export KORVANTIS_FALLBACK_HOST=${KORVANTIS_FALLBACK_HOST:-yedek.korvantis.example}
export KORVANTIS_BUILD_DIR=$(cd "$KORVANTIS_BUILD_DIR" && pwd)

if [[ "${KORVANTIS_IN_NAMESPACE:-}" != 1 ]]; then
  exec unshare --mount --net --propagation private \
    env KORVANTIS_IN_NAMESPACE=1 "${BASH_SOURCE[0]}" "$@"
fi

. "$repo/scripts/private-net.sh"
cache=$KORVANTIS_BUILD_DIR/scenario-cache
# Certificates are kept between runs; they only have to be trusted inside this namespace.
certs=$(korvantis_certs "$cache" "$KORVANTIS_UPDATE_HOST" "$KORVANTIS_FALLBACK_HOST")
export KORVANTIS_CERT_DIR=$certs

ns_files=$(mktemp -d)
trap 'rm -rf "$ns_files"' EXIT
korvantis_private_net "$KORVANTIS_UPDATE_HOST" "$certs" "$ns_files" "$KORVANTIS_FALLBACK_HOST"

cd "$repo"
export PYTHONDONTWRITEBYTECODE=1
# The whole folder unless a test file or node is named.
targets=(tests/scenarios)
for arg in "$@"; do
  [[ $arg != -* && -e ${arg%%::*} ]] && targets=()
done
/usr/bin/python3 -m pytest -p no:cacheprovider "${targets[@]}" "$@"
