#!/usr/bin/env bash
# Replays the fall model's validation subjects (SA22 to SA29, never trained
# on) with tumblebench and prints its statistics report.
#
# Usage: tools/train/evaluate.sh [KFALL_DIR] [BUILD_DIR] [SUBJECT...]
#   KFALL_DIR  the packed recordings with unpack.sh (default ../shared/kfall)
#   BUILD_DIR  a build with tumblebench and kfall_label (default build-train;
#              built here)
# The subjects are unpacked into a temporary folder; the walk (-r) writes
# their label files with kfall_label and a trace next to every trial there.
# The whole console output is kept in BUILD_DIR/fall_model_validation.log,
# the report alone is printed.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
kfall=${1:-$repo/../shared/kfall}
build=${2:-$repo/build-train}
shift $(( $# < 2 ? $# : 2 ))
subjects=("$@")
if [[ ${#subjects[@]} -eq 0 ]]; then
  subjects=(SA22 SA23 SA24 SA25 SA26 SA27 SA28 SA29)
fi
if [[ ! -x $kfall/unpack.sh ]]; then
  echo "evaluate.sh: $kfall: no unpack.sh there" >&2
  exit 1
fi

cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTUMBLEBENCH_BUILD_BENCH=OFF > /dev/null
cmake --build "$build" --target tumblebench kfall_label -j 2 > /dev/null
bench=$(find "$build" -name tumblebench -type f -perm -u+x | head -n 1)
[[ -n $bench ]] || { echo "evaluate.sh: tumblebench not built in $build" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/fall_model_eval.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$kfall/unpack.sh" "$work" "${subjects[@]}" > /dev/null

log=$build/fall_model_validation.log
(cd "$work/sensor_data" && PATH="$(dirname "$bench"):$PATH" "$bench" -r) > "$log"
# The report starts at the blank line before "# ADL STAT".
sed -n '/^# ADL STAT/,$p' "$log"

# Lead time of the in-time detections (good and soso): impact minus the first
# detection, from the result lines, in samples (50 per second).
grep -E '^result .* -> (good|soso) \(' "$log" | sed -E 's/.* -> (good|soso) \(([0-9]+)\).*/\2/' | sort -n |
  awk '{ v[NR] = $1; s += $1 }
       END {
         if (NR == 0) { print "\n# LEAD TIME: no in-time detections"; exit }
         printf "\n# LEAD TIME (in-time detections, samples before impact): n %d, min %d, " \
                "10%% %d, median %d, 90%% %d, max %d, mean %.1f (%.2f s)\n",
                NR, v[1], v[int((NR - 1) * 0.1) + 1], v[int((NR - 1) * 0.5) + 1],
                v[int((NR - 1) * 0.9) + 1], v[NR], s / NR, s / NR / 50 }'
