#!/usr/bin/env bash
# Builds the libFuzzer targets natively (clang 14, ASan + UBSan) into build/fuzz and runs
# each for SECONDS (default 20). Fails on any finding; the input is kept in
# build/fuzz/artifacts/. Usage: fuzz/run.sh [SECONDS]
set -euo pipefail
seconds=${1:-20}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz
targets=(manifest library progress)

mkdir -p "$build"
if ! { cmake -S "$root/fuzz" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 &&
       cmake --build "$build" -j2; } >"$build/build.log" 2>&1; then
  cat "$build/build.log" >&2
  echo "fuzz: build failed" >&2
  exit 1
fi

mkdir -p "$build/artifacts"
failed=0
for target in "${targets[@]}"; do
  # New inputs go to the build tree; the checked-in seeds stay as they are.
  work=$build/corpus/$target
  mkdir -p "$work"
  args=(-max_total_time="$seconds" -print_final_stats=1 -max_len=4096 -timeout=10 -rss_limit_mb=1024
        -artifact_prefix="$build/artifacts/$target-")
  if [[ -f $root/fuzz/$target.dict ]]; then
    args+=(-dict="$root/fuzz/$target.dict")
  fi
  log=$build/$target.log
  status=0
  "$build/${target}_fuzzer" "${args[@]}" "$work" "$root/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  if [[ $status -ne 0 ]]; then
    echo "fuzz $target: FAILED (exit $status) after ${runs:-?} executions; log $log" >&2
    grep -E 'property failed|ERROR:|runtime error|SUMMARY|Test unit written' "$log" >&2 || tail -n 20 "$log" >&2
    failed=1
  else
    echo "fuzz $target: ${runs:-?} executions in ${seconds} s, no finding"
  fi
done
exit $failed
