# Sourced by the scripts: Wine quiet, no Mono/Gecko prompts, no desktop entries on the host,
# and a prefix of this build's own (never the user's ~/.wine).
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=;mshtml="
export LANG=C.UTF-8
export KORVANTIS_BUILD_DIR="${KORVANTIS_BUILD_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/mingw}"
export WINEPREFIX="${KORVANTIS_UNIT_PREFIX:-$KORVANTIS_BUILD_DIR/wineprefix}"

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
