# Sourced by the scripts: the Wine settings of scripts/wine.env, and a prefix and home of this
# build's own (never the user's ~/.wine, nor shortcuts in the user's real desktop).
set -a
. "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/wine.env"
set +a
export KORVANTIS_BUILD_DIR="${KORVANTIS_BUILD_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/mingw}"
export WINEPREFIX="${KORVANTIS_UNIT_PREFIX:-$KORVANTIS_BUILD_DIR/wineprefix}"
export HOME="$KORVANTIS_BUILD_DIR/wine-home"
mkdir -p "$HOME"

ensure_wine_prefix() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1
    wineserver -w
  fi
}

# Starts the prefix's persistent wineserver and Wine's own services with no ties to our output:
# services started by the first test program would otherwise inherit its pipes and keep
# them open (ctest would wait for ever).
start_wine_server() {
  wineserver -p
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}
