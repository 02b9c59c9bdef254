#!/usr/bin/env bash
# Static analysis of the launcher's own code (base/, console/, launcher/, locate/, update/):
# clang-tidy with .clang-tidy against the mingw compile database, then cppcheck; and the one
# format of all the C++ of the tree (.clang-format).
# Exits non-zero on any finding. Build folder: build/analyse (configured, never built).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/analyse
jobs=${ANALYSE_JOBS:-2}
mingw_cxx=x86_64-w64-mingw32-g++-posix
sources='^'"$root"'/(base|console|launcher|locate|update)/[^/]*\.cpp$'
status=0

# Only configuring: the compile database and the generated header are all we need.
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DKORVANTIS_BUILD_TESTS=OFF >/dev/null

# clang parses the Windows headers as mingw's gcc does: its target, gcc's C++ library headers
# (clang would otherwise take the host's), mingw's C headers (found by the target).
tidy_args=(-extra-arg=--target=x86_64-w64-mingw32 -extra-arg=-nostdinc++)
while read -r dir; do
  tidy_args+=("-extra-arg=-isystem$dir")
done < <(echo | "$mingw_cxx" -std=c++20 -xc++ -E -v - 2>&1 |
         sed -n '/<\.\.\.> search starts/,/End of search/p' | grep '/include/c++' | sed 's/^ *//')

start=$SECONDS
tidy_log=$build/clang-tidy.log
if run-clang-tidy-14 -clang-tidy-binary clang-tidy-14 -p "$build" -j "$jobs" -quiet \
     "${tidy_args[@]}" "$sources" >"$tidy_log" 2>&1; then
  echo "clang-tidy: no finding ($((SECONDS - start)) s)"
else
  echo "clang-tidy: FINDINGS ($((SECONDS - start)) s):" >&2
  sed 's/\x1b\[[0-9;]*m//g' "$tidy_log" | grep -E '(warning|error): ' | sort -u >&2 || tail -n 30 "$tidy_log" >&2
  status=1
fi

start=$SECONDS
# No system include paths on purpose: --library=windows models the Win32 API, and cppcheck
# reading the SDK headers themselves is slow and only adds noise about them.
if cppcheck --enable=warning,performance,portability --inline-suppr --error-exitcode=1 --quiet \
     --std=c++20 --language=c++ --platform=win64 --library=windows \
     -D_WIN32 -D_WIN64 -D__MINGW32__ -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN -DNOMINMAX \
     -D_WIN32_WINNT=0x0A00 -I"$root" -I"$build/generated" \
     --suppress=missingIncludeSystem -j "$jobs" --cppcheck-build-dir="$(mkdir -p "$build/cppcheck" && echo "$build/cppcheck")" \
     --template='{file}:{line}: {severity}: {message} [{id}]' \
     "$root/base" "$root/console" "$root/launcher" "$root/locate" "$root/update"; then
  echo "cppcheck: no finding ($((SECONDS - start)) s)"
else
  echo "cppcheck: FINDINGS ($((SECONDS - start)) s)" >&2
  status=1
fi
start=$SECONDS
# Every C++ file of ours, the probes, tests and fuzzers too; the fuzz corpus is data.
mapfile -t formatted < <(cd "$root" && find base console launcher locate update resources tests fuzz bench \
                           \( -name '*.cpp' -o -name '*.h' \) -not -path '*/corpus/*' | sort)
format_log=$build/clang-format.log
if (cd "$root" && clang-format-14 --dry-run --Werror "${formatted[@]}") >"$format_log" 2>&1; then
  echo "clang-format: no finding (${#formatted[@]} files, $((SECONDS - start)) s)"
else
  echo "clang-format: FINDINGS (apply it: clang-format-14 -i FILE):" >&2
  grep -E '^[^ ].*: (warning|error): ' "$format_log" | cut -d: -f1 | sort -u >&2 || tail -n 20 "$format_log" >&2
  status=1
fi
exit $status
