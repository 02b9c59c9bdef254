#!/usr/bin/env bash
# One release: builds Korvantis.exe with the release preset, signs it when given a key, shows
# what the publication would change, asks, publishes it and puts it into the mod folder.
#
#   scripts/release.sh [options] MOD_FOLDER UPDATE_ROOT [publish.py options...]
#
#   --dry-run              stop after showing the changes; nothing is published or changed
#   --yes                  publish without asking (scripts; without a terminal it is needed)
#   --pkcs12 FILE          sign with the certificate and key in this PKCS#12 file
#   --password-file FILE   its password (first line); else KORVANTIS_SIGN_PASSWORD in the
#                          environment. Never on the command line: others can read that.
#   --signing-time UNIX    the signature's time (default SOURCE_DATE_EPOCH, else the time of
#                          the commit): the same build signed twice is the same file
#   --timestamp-url URL    RFC 3161 time-stamping server for the signature; without one the
#                          signature stops validating when the signing certificate expires
#   --build-dir DIR        build folder (default build/release)
#   --test-host            allow an update host that reaches no real server (.example, .test...)
#   --new-host             allow another update host than the launcher the root now serves
#   --rotate-key           allow another update key than the launcher the root now serves
#
#   KORVANTIS_UPDATE_HOST  update host to compile in (default: what the build folder has)
#   KORVANTIS_UPDATE_KEY   public key whose signature manifests must carry (PEM; default: what
#                          the build folder has); then pass --sign KEY.pem on to publish.py
#
# Arguments after the two folders go to both runs of tools/publish.py, which publish the built
# launcher itself (--launcher), whatever the mod folder holds meanwhile. Before that,
# tools/release_check.py holds the built launcher's host and key against the launcher the
# update root serves and publish.py's --sign; publish.py runs the same checks again (refusals:
# korvantis_publish/launcher_check.py). The mod folder gets the launcher only once it is
# published, so that a later plain publish.py run keeps it.
# Exit codes: 0 done, 1 refused or failed, 2 usage.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
launcher=Korvantis.exe

usage() {
  sed -n "5s/^# */usage: /p" "${BASH_SOURCE[0]}" >&2
  echo "release.sh: $1" >&2
  exit 2
}
fail() {
  echo "release.sh: $1" >&2
  exit 1
}

dry_run=0 yes=0 pkcs12='' password_file='' signing_time=${SOURCE_DATE_EPOCH:-} timestamp_url=''
allow=() checks=()
build_dir=$repo/build/release
folders=() publish_args=()
while [[ $# -gt 0 ]]; do
  if [[ ${#folders[@]} -eq 2 ]]; then
    # One --dry-run for the whole release, wherever it stands.
    if [[ $1 == --dry-run ]]; then dry_run=1; else publish_args+=("$1"); fi
    shift
    continue
  fi
  case $1 in
    --dry-run) dry_run=1; shift ;;
    --yes) yes=1; shift ;;
    --test-host|--new-host|--rotate-key) allow+=("$1"); shift ;;
    --pkcs12|--password-file|--signing-time|--timestamp-url|--build-dir)
      [[ $# -ge 2 ]] || usage "$1 needs a value"
      case $1 in
        --pkcs12) pkcs12=$2 ;;
        --password-file) password_file=$2 ;;
        --signing-time) signing_time=$2 ;;
        --timestamp-url) timestamp_url=$2 ;;
        --build-dir) build_dir=$2 ;;
      esac
      shift 2 ;;
    -*) usage "unknown option $1 (publish.py's options go after the two folders)" ;;
    *) folders+=("$1"); shift ;;
  esac
done
[[ ${#folders[@]} -eq 2 ]] || usage "give the mod folder and the update root"
mod=${folders[0]} root=${folders[1]}
[[ -d $mod ]] || usage "mod folder $mod is not a folder"
if [[ -n $pkcs12 ]]; then
  [[ -f $pkcs12 ]] || usage "no PKCS#12 file $pkcs12"
  [[ -n $password_file || -n ${KORVANTIS_SIGN_PASSWORD+set} ]] ||
    usage "--pkcs12 needs --password-file or KORVANTIS_SIGN_PASSWORD"
  [[ -z $password_file || -r $password_file ]] || usage "cannot read $password_file"
  if [[ -z $signing_time ]]; then
    # Only this tree's own history: a source archive may lie inside another checkout.
    [[ -e $repo/.git ]] && signing_time=$(git -C "$repo" log -1 --format=%ct 2>/dev/null) ||
      usage "not a git checkout: give --signing-time or SOURCE_DATE_EPOCH"
  fi
  [[ $signing_time =~ ^[0-9]+$ ]] || usage "--signing-time takes seconds since 1970"
elif [[ -n $password_file || -n $timestamp_url ]]; then
  usage "--password-file and --timestamp-url go with --pkcs12"
fi
# The key publish.py will sign with, for the check against the launcher's own.
for ((i = 0; i < ${#publish_args[@]}; i++)); do
  case ${publish_args[i]} in
    --sign) [[ $((i + 1)) -lt ${#publish_args[@]} ]] && checks+=(--sign "${publish_args[i + 1]}") ;;
    --sign=*) checks+=(--sign "${publish_args[i]#--sign=}") ;;
  esac
done

# What a release needs, and nothing more: no Wine, no web server on the release machine.
packages=(cmake make g++-mingw-w64-x86-64-posix python3 openssl)
[[ -z $pkcs12 ]] || packages+=(osslsigncode)
missing=()
for package in "${packages[@]}"; do
  [[ $(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null) == installed ]] ||
    missing+=("$package")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
mkdir -p "$build_dir"
build_dir=$(cd "$build_dir" && pwd)  # cmake runs from the source folder

# ----- build ---------------------------------------------------------------------------------
configure=(cmake --preset release -B "$build_dir")
[[ -z ${KORVANTIS_UPDATE_HOST:-} ]] || configure+=("-DKORVANTIS_UPDATE_HOST=$KORVANTIS_UPDATE_HOST")
[[ -z ${KORVANTIS_UPDATE_KEY:-} ]] || configure+=("-DKORVANTIS_UPDATE_KEY=$(realpath "$KORVANTIS_UPDATE_KEY")")
log=$build_dir/release-build.log
echo "Building $launcher (release preset, $build_dir)..."
if ! { (cd "$repo" && "${configure[@]}") && cmake --build "$build_dir" --target Korvantis -j2; } \
     >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  fail "the build failed (whole log: $log)"
fi
built=$build_dir/$launcher

# ----- what it is built for, against what players run now -------------------------------------
identity=$(python3 "$repo/tools/release_check.py" "$built" "$root" "${allow[@]}" "${checks[@]}") ||
  fail "the launcher does not fit the update root; nothing published"

# ----- sign ----------------------------------------------------------------------------------
state=unsigned
if [[ -n $pkcs12 ]]; then
  signed=$build_dir/signed/$launcher
  mkdir -p "$(dirname "$signed")"
  rm -f "$signed"
  log=$build_dir/release-sign.log
  sign=(osslsigncode sign -pkcs12 "$pkcs12" -h sha256 -n Korvantis -time "$signing_time"
        -in "$built" -out "$signed")
  [[ -z $timestamp_url ]] || sign+=(-ts "$timestamp_url")
  # From the environment through a pipe: printf is a builtin, so no process shows it.
  if [[ -n $password_file ]]; then
    "${sign[@]}" -readpass "$password_file" >"$log" 2>&1 || { cat "$log" >&2; fail "signing failed"; }
  else
    "${sign[@]}" -readpass <(printf '%s' "$KORVANTIS_SIGN_PASSWORD") >"$log" 2>&1 ||
      { cat "$log" >&2; fail "signing failed"; }
  fi
  built=$signed
  state="signed at $(date -u -d "@$signing_time" '+%Y-%m-%d %H:%M:%S') UTC"
fi

digest() { sha256sum "$1" | cut -d' ' -f1; }
want=$(digest "$built")
size=$(stat -c %s "$built")
commit="unknown (not a git checkout)"
if [[ -e $repo/.git ]] && head=$(git -C "$repo" rev-parse --short=12 HEAD 2>/dev/null); then
  commit=$head
  [[ -z $(git -C "$repo" status --porcelain --untracked-files=no 2>/dev/null) ]] ||
    commit="$commit with uncommitted changes"
fi

# ----- shown, asked, published, into the mod folder -------------------------------------------
echo "launcher $launcher $size bytes sha256 $want"
echo "         commit $commit, $identity, $state"
publish=(python3 "$repo/tools/publish.py" "$mod" "$root" --launcher "$built" "${allow[@]}"
         "${publish_args[@]}")
"${publish[@]}" --dry-run || fail "publish.py's dry run failed; nothing published"
if [[ $dry_run -eq 1 ]]; then
  echo "release dry run: nothing published"
  exit 0
fi
if [[ $yes -eq 0 ]]; then
  [[ -t 0 ]] || fail "no terminal to ask on: give --yes to publish without asking; nothing published"
  read -r -p "Publish this to $root? [y/N] " answer
  [[ ${answer,,} =~ ^(y|yes|e|evet)$ ]] || fail "not published"
fi
"${publish[@]}" || fail "publishing failed"
# A fresh file, not written through a link or a hard link that may point at another build.
cp --remove-destination "$built" "$mod/$launcher"
