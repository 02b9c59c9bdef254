#!/usr/bin/env bash
# Makes docs/console.png: the launcher's real console during an update, in colour. The launcher
# runs under Wine in a tmux pane (inside a private network namespace, against nginx serving a
# root made by tools/publish.py); the pane is captured with its colours while the progress
# line runs, turned into HTML and photographed by headless Chromium (installed here if missing;
# the tests do not need it).
#   KORVANTIS_BUILD_DIR  use this build instead of building build/mingw with the preset
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
host=${KORVANTIS_UPDATE_HOST:-guncelleme.korvantis.example}

if [[ ${KORVANTIS_SCREENSHOT_INSIDE:-} != 1 ]]; then
  cd "$repo"
  ./scripts/deps.sh
  sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  if ! command -v chromium >/dev/null; then
    echo "Installing chromium (only this script needs it)"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
      chromium fonts-dejavu-core >/dev/null
  fi
  if [[ -z ${KORVANTIS_BUILD_DIR:-} ]]; then
    build_dir=$repo/build/mingw
    log=$(mktemp)
    if ! { cmake --preset mingw && cmake --build --preset mingw --target Korvantis \
             stand_in_engine; } >"$log" 2>&1; then
      echo "build failed:"; tail -n 40 "$log"; rm -f "$log"; exit 1
    fi
    rm -f "$log"
  else
    build_dir=$(cd "$KORVANTIS_BUILD_DIR" && pwd)
  fi
  built_host=$(sed -n 's/^KORVANTIS_UPDATE_HOST:STRING=//p' "$build_dir/CMakeCache.txt")
  exec "${sudo[@]}" unshare --mount --net --propagation private \
    env KORVANTIS_SCREENSHOT_INSIDE=1 KORVANTIS_BUILD_DIR="$build_dir" \
    KORVANTIS_UPDATE_HOST="${built_host:-$host}" "${BASH_SOURCE[0]}"
fi

. "$repo/scripts/private-net.sh"
build_dir=$KORVANTIS_BUILD_DIR
work=$build_dir/screenshot-run
cleanup() {
  # The driver stops everything itself; this covers an interrupted or failed driver.
  if [[ -S $work/tmux.sock ]]; then tmux -S "$work/tmux.sock" kill-server 2>/dev/null || true; fi
  if [[ -d $work/wine/wineprefix ]]; then
    WINEPREFIX=$work/wine/wineprefix wineserver -k 2>/dev/null || true
  fi
  if [[ -f $work/nginx/nginx.pid ]]; then kill "$(cat "$work/nginx/nginx.pid")" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
rm -rf "$work"
mkdir -m 755 -p "$work"
certs=$(korvantis_certs "$build_dir/scenario-cache" "$KORVANTIS_UPDATE_HOST")
korvantis_private_net "$KORVANTIS_UPDATE_HOST" "$certs" "$work"
export PYTHONDONTWRITEBYTECODE=1
# tests/ holds the harness the demo drives Wine and nginx with (korvantis_harness).
PYTHONPATH=$repo/tests /usr/bin/python3 "$repo/scripts/demo/screenshot.py" "$build_dir" "$work" "$certs" \
  "$repo/docs/console.png"
