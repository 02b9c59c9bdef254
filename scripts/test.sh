#!/usr/bin/env bash
# Builds everything and runs every test: in-process tests under Wine, then the whole-program
# scenarios in a private network namespace, then the host-side tool tests.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh

cmake --preset mingw >/dev/null
cmake --build --preset mingw

. scripts/wine-env.sh
ensure_wine_prefix
start_wine_server
trap 'wineserver -k 2>/dev/null || true' EXIT
ctest --test-dir "$KORVANTIS_BUILD_DIR" --output-on-failure
wineserver -k || true
trap - EXIT

./tests/scenarios/run.sh -q
/usr/bin/python3 -m pytest -q tests/tools

# The byte-level text code fuzzed natively for a short, fixed time, then static analysis.
./fuzz/run.sh 20
./scripts/analyse.sh
