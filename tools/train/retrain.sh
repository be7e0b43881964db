#!/usr/bin/env bash
# Retrains the fall model from the KFall recordings and rewrites
# tumblix/ml/models/fall_model.tflite. Deterministic: the same recordings
# give the same file, byte for byte.
#
# Usage: tools/train/retrain.sh [KFALL_DIR] [BUILD_DIR]
#   KFALL_DIR  the packed recordings (a folder with unpack.sh, default
#              ../shared/kfall beside the repository) or an already unpacked
#              copy (with sensor_data/SAxx/ and label_data/)
#   BUILD_DIR  where dump_windows is built (default build-train)
# The recordings are unpacked into a temporary folder that is removed
# afterwards; nothing of them enters the repository. The validation figures
# are written to BUILD_DIR/fall_model_report.json. With DUMP_WINDOWS (and
# optionally TFLITE_RUN) set to already built tools, nothing is built (the
# CMake target fall_model does that). tflite_run, when there, checks the
# written file on the project's own inference runtime.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
kfall=${1:-$repo/../shared/kfall}
build=${2:-$repo/build-train}
out=$repo/tumblix/ml/models/fall_model.tflite

if [[ ! -d $kfall ]]; then
  echo "retrain.sh: $kfall: no KFall folder" >&2
  exit 1
fi
bash "$repo/tools/bootstrap.sh" --with-training

dump_windows=${DUMP_WINDOWS:-}
tflite_run=${TFLITE_RUN:-}
if [[ -z $dump_windows ]]; then
  cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTUMBLEBENCH_BUILD_BENCH=OFF > /dev/null
  cmake --build "$build" --target dump_windows tflite_run -j 2
  dump_windows=$build/tools/dump_windows
  tflite_run=$build/tools/tflite_run
fi
check=()
if [[ -n $tflite_run ]]; then
  check=(--tflite-run "$tflite_run")
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/fall_model.XXXXXX")
trap 'rm -rf "$work"' EXIT
if [[ -x $kfall/unpack.sh ]]; then
  "$kfall/unpack.sh" "$work/kfall" > /dev/null
  data=$work/kfall
else
  data=$kfall
fi

mkdir -p "$(dirname "$out")"
# One thread for the linear algebra: the same sums in the same order on
# every run, and a fair share of a shared machine.
export OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1 MKL_NUM_THREADS=1 PYTHONHASHSEED=0
/usr/bin/python3 -B "$repo/tools/train/train_fall_model.py" --kfall "$data" \
  --dump-tool "$dump_windows" --work "$work/dumps" --out "$out" \
  --report "$build/fall_model_report.json" "${check[@]}"
echo "retrain.sh: wrote $out"
