#!/usr/bin/env bash
# Installs what building, testing and the demo need from Debian's packages.
# Idempotent: prints nothing and asks apt nothing when everything is already there.
set -euo pipefail

packages=(
  cmake make
  g++-mingw-w64-x86-64-posix   # cross compiler, windres
  wine64 wine                  # runs the launcher and its tests
  googletest                   # GoogleTest sources, built with the cross compiler
  python3 python3-pytest python3-pefile
  openssl                      # throwaway CA and certificates for the local HTTPS server
  util-linux iproute2          # private network namespace for the scenarios
  nginx                        # the real update server configuration
  tinyproxy-bin                # a real forward proxy for the proxy scenarios (no service)
  liblnk-utils                 # independent reader of the shortcuts
  tmux                         # colour capture of the console
  curl                         # benchmark anchor
  osslsigncode                 # Authenticode signature of a release (scripts/release.sh)
  wrk                          # load run of bench/cache_load (edge against origin)
  clang clang-tidy cppcheck    # native fuzzing build and static analysis
  clang-format                 # the one format of the C++ (scripts/analyse.sh checks it)
  libclang-rt-14-dev
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
