#!/usr/bin/env bash
# Refreshes the byte-for-byte output digests under tests/golden/ that
# tests/output_golden_test.cc compares against. Run it only after a change
# that is meant to alter tumblebench's output -- a retrained fall model, a
# generator change, new detector behaviour -- never to make a failing test
# pass after an optimisation. Commit the refreshed digests together with the
# change and say in the message why the output moved.
#
# Usage: tools/update_goldens.sh [BUILD_DIR]   (default: build)
# The build directory is rebuilt first. Real KFall digests are refreshed only
# when ../shared/kfall is present; otherwise the committed ones are kept.
set -euo pipefail

build_dir=${1:-build}
source_dir=$(cd "$(dirname "$0")/.." && pwd)
[[ -f $build_dir/CMakeCache.txt ]] || {
  echo "update_goldens: $build_dir is not a configured build directory" >&2
  exit 1
}
build_dir=$(cd "$build_dir" && pwd)
cmake --build "$build_dir" -j "${JOBS:-2}" --target tumblebench tumblebench_gen kfall_label tumblebench_tests >/dev/null
tests=$build_dir/tests/tumblebench_tests
TUMBLEBENCH_UPDATE_GOLDENS=1 TUMBLEBENCH_BIN=$build_dir/harness/tumblebench \
  "$tests" --gtest_filter='*OutputGolden*' --gtest_brief=1
echo "digests in $source_dir/tests/golden/; review with: git -C $source_dir diff --stat tests/golden"
