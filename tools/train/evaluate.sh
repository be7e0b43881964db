#!/usr/bin/env bash
# Replays some subjects with tumblebench -r, with the embedded fall model or
# a model file, and prints the statistics report and the lead times.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)

usage() {
  cat <<'TEXT'
Usage: tools/train/evaluate.sh [--model FILE] [--build DIR] [--log FILE] DATA SUBJECT...

  DATA      KFall packed with unpack.sh (../shared/kfall), or a data set in the
            KFall layout (sensor_data/SUBJECT/, such as SisFall converted by
            tools/sisfall2kfall)
  SUBJECT   subject folders to replay (SA22 ...; a converted SisFall's
            elderly subjects by folder name, SA51 for SE01 ...)
  --model   replay with this model file (TUMBLIX_MODEL) instead of the
            embedded one
  --build   a build folder with tumblebench and kfall_label (default
            build-train; built here)
  --log     keep the whole console output there (default BUILD/evaluate.log)

The subjects are copied into a temporary folder, which the walk fills with
label files (kfall_label) and traces and which is removed afterwards. The
report comes from tumblebench itself; the lead times (impact minus first
detection of the in-time detections, in samples at 50 per second) from its
result lines.
TEXT
}

model=""
build=$repo/build-train
log=""
while [[ $# -gt 0 ]]; do
  case $1 in
    -h|--help) usage; exit 0 ;;
    --model) model=$(realpath "${2:?--model needs a file}"); shift 2 ;;
    --build) build=${2:?--build needs a folder}; shift 2 ;;
    --log) log=${2:?--log needs a file}; shift 2 ;;
    -*) echo "evaluate.sh: unknown option '$1' (see --help)" >&2; exit 2 ;;
    *) break ;;
  esac
done
if [[ $# -lt 2 ]]; then
  usage >&2
  exit 2
fi
data=$1
shift
subjects=("$@")
mkdir -p "$build"
build=$(cd "$build" && pwd)

cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTUMBLEBENCH_BUILD_BENCH=OFF > /dev/null
cmake --build "$build" --target tumblebench kfall_label -j 2 > /dev/null
bench=$(find "$build" -name tumblebench -type f -perm -u+x | head -n 1)
[[ -n $bench ]] || { echo "evaluate.sh: tumblebench not built in $build" >&2; exit 1; }
[[ -n $log ]] || log=$build/evaluate.log

work=$(mktemp -d "${TMPDIR:-/tmp}/fall_model_eval.XXXXXX")
trap 'rm -rf "$work"' EXIT
if [[ -x $data/unpack.sh ]]; then
  "$data/unpack.sh" "$work" "${subjects[@]}" > /dev/null
else
  mkdir -p "$work/sensor_data"
  for s in "${subjects[@]}"; do
    [[ -d $data/sensor_data/$s ]] || { echo "evaluate.sh: $data/sensor_data/$s: no such subject" >&2; exit 1; }
    cp -r "$data/sensor_data/$s" "$work/sensor_data/"
  done
fi

env_model=()
[[ -z $model ]] || env_model=(TUMBLIX_MODEL="$model")
(cd "$work/sensor_data" && env "${env_model[@]}" PATH="$(dirname "$bench"):$PATH" "$bench" -r) > "$log"
# The report starts at "# ADL STAT".
sed -n '/^# ADL STAT/,$p' "$log"

{ grep -E '^result .* -> (good|soso) \(' "$log" || true; } | sed -E 's/.* -> (good|soso) \(([0-9]+)\).*/\2/' | sort -n |
  awk '{ v[NR] = $1; s += $1 }
       END {
         if (NR == 0) { print "\n# LEAD TIME: no in-time detections"; exit }
         printf "\n# LEAD TIME (in-time detections, samples before impact): n %d, min %d, " \
                "25%% %d, median %d, 75%% %d, max %d, mean %.1f (%.2f s)\n",
                NR, v[1], v[int((NR - 1) * 0.25) + 1], v[int((NR - 1) * 0.5) + 1],
                v[int((NR - 1) * 0.75) + 1], v[NR], s / NR, s / NR / 50 }'
