#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each one for
# a bounded time on a copy of its seed corpus.
#   tools/run_fuzzers.sh [seconds per target] [build dir]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
build_dir="${2:-build-fuzz}"

cmake -S . -B "$build_dir" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTUMBLEBENCH_FUZZ=ON > /dev/null
cmake --build "$build_dir" -j 2

status=0
for target in "$build_dir"/tests/fuzz/fuzz_*; do
  [[ -x "$target" && -f "$target" ]] || continue
  name=$(basename "$target")
  name=${name#fuzz_}
  work="$build_dir/fuzz-corpus/$name"
  mkdir -p "$work"
  if [[ -d "tests/fuzz/corpus/$name" ]]; then
    cp -n "tests/fuzz/corpus/$name"/* "$work"/ 2>/dev/null || true
  fi
  echo "== fuzz_$name for ${seconds}s" >&2
  if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$build_dir/fuzz-$name-" "$work" 2> "$build_dir/fuzz-$name.log"; then
    echo "fuzz_$name found a failure; see $build_dir/fuzz-$name.log" >&2
    tail -n 40 "$build_dir/fuzz-$name.log" >&2
    status=1
  fi
  grep -E '^Done [0-9]+ runs' "$build_dir/fuzz-$name.log" >&2 || true
done
exit $status
