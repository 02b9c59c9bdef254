#!/bin/bash
# Benchmark (not a test): many launchers' requests for one update, replayed by wrk with CLIENTS
# concurrent connections through a caching edge (tests/korvantis_harness/nginx.py's, configured as
# server/README.md asks of a CDN) in front of the origin (server/korvantis-site.conf), and the
# same run straight to the origin. Prints requests and bytes per second, the edge's hit ratio and
# what the origin served. Runs in a private network namespace like the scenarios; needs no build.
#   UPDATE_MB  size of the update (50), in FILES files (10)
#   CLIENTS    concurrent connections (200); SECONDS_EACH length of each run (10)
#   WORK       scratch folder (default <repo>/build/cache-load), data kept between runs
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
export KORVANTIS_UPDATE_HOST=${KORVANTIS_UPDATE_HOST:-guncelleme.korvantis.example}
export WORK=${WORK:-$repo/build/cache-load}

if [[ "${KORVANTIS_IN_NAMESPACE:-}" != 1 ]]; then
  mkdir -p "$WORK"
  exec unshare --mount --net --propagation private \
    env KORVANTIS_IN_NAMESPACE=1 "${BASH_SOURCE[0]}" "$@"
fi

. "$repo/scripts/private-net.sh"
certs=$(korvantis_certs "$WORK" "$KORVANTIS_UPDATE_HOST")
export KORVANTIS_CERT_DIR=$certs
ns_files=$(mktemp -d)
trap 'rm -rf "$ns_files"' EXIT
korvantis_private_net "$KORVANTIS_UPDATE_HOST" "$certs" "$ns_files"

export PYTHONDONTWRITEBYTECODE=1
# tests/ holds the harness that starts the origin and the edge (korvantis_harness).
PYTHONPATH=$repo/tests /usr/bin/python3 "$here/cache_load.py" "$@"
