#!/usr/bin/env bash
# Shows the whole chain a player lives through, with the real launcher under Wine drawing its
# console in this terminal: a downloaded Korvantis.exe installs itself, the installed launcher
# finds Counter-Strike 1.6 by scanning the drives, updates itself and the mod from a real nginx
# over HTTPS, restarts, and starts the engine (a stand-in that records what it received).
#
# Everything runs inside a private mount and network namespace where the update host is this
# machine and a throwaway CA is trusted; nothing is left behind (also after Ctrl-C).
# Needs root for the namespace (uses sudo otherwise). Works without a terminal too (no colours).
#   KORVANTIS_BUILD_DIR  use this build instead of building build/mingw with the preset
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
host=${KORVANTIS_UPDATE_HOST:-guncelleme.korvantis.example}

if [[ ${KORVANTIS_DEMO_INSIDE:-} != 1 ]]; then
  cd "$repo"
  if [[ -t 1 && ${TERM:-dumb} != dumb && -z ${NO_COLOR:-} ]]; then
    printf '\e[1mKorvantis demo: the chain a player lives through, under Wine, in this terminal.\e[0m\n'
  else
    echo "Korvantis demo: the chain a player lives through, under Wine, in this terminal."
  fi
  ./scripts/deps.sh
  if [[ -z ${KORVANTIS_BUILD_DIR:-} ]]; then
    build_dir=$repo/build/mingw
    log=$(mktemp)
    started=$SECONDS
    printf 'Building (cmake --preset mingw)... '
    if ! { cmake --preset mingw && cmake --build --preset mingw --target Korvantis \
             stand_in_engine url_recorder; } >"$log" 2>&1; then
      echo "failed:"; tail -n 40 "$log"; rm -f "$log"; exit 1
    fi
    rm -f "$log"
    echo "done ($((SECONDS - started)) s)."
  else
    build_dir=$(cd "$KORVANTIS_BUILD_DIR" && pwd)
  fi
  # The update host is compiled in; the demo's server must answer to the same name.
  built_host=$(sed -n 's/^KORVANTIS_UPDATE_HOST:STRING=//p' "$build_dir/CMakeCache.txt")
  host=${built_host:-$host}
  sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  exec "${sudo[@]}" unshare --mount --net --propagation private \
    env KORVANTIS_DEMO_INSIDE=1 KORVANTIS_BUILD_DIR="$build_dir" KORVANTIS_UPDATE_HOST="$host" \
    "${BASH_SOURCE[0]}"
fi

# ----- inside the namespace ----------------------------------------------------------------
. "$repo/scripts/private-net.sh"
build_dir=$KORVANTIS_BUILD_DIR
work=$build_dir/demo-run
tty_state=$(stty -g 2>/dev/null) || tty_state=

cleanup() {
  # The driver stops Wine and nginx itself; this covers an interrupted or failed driver.
  if [[ -d $work/wine/wineprefix ]]; then
    WINEPREFIX=$work/wine/wineprefix wineserver -k 2>/dev/null || true
  fi
  if [[ -f $work/nginx/nginx.pid ]]; then
    kill "$(cat "$work/nginx/nginx.pid")" 2>/dev/null || true
  fi
  rm -rf "$work"
  if [[ -n $tty_state ]]; then
    stty "$tty_state" 2>/dev/null || true
    printf '\e[?25h'
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

rm -rf "$work"
mkdir -m 755 -p "$work"   # nginx's workers (www-data) read the update root in there
certs=$(korvantis_certs "$build_dir/scenario-cache" "$KORVANTIS_UPDATE_HOST")
korvantis_private_net "$KORVANTIS_UPDATE_HOST" "$certs" "$work"

export PYTHONDONTWRITEBYTECODE=1
# tests/ holds the harness the demo drives Wine and nginx with (korvantis_harness).
PYTHONPATH=$repo/tests /usr/bin/python3 "$repo/scripts/demo/demo.py" "$build_dir" "$work" "$certs"
