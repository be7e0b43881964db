#!/usr/bin/env bash
# Cross-validates and retrains the fall model from KFall, SisFall and FallAllD.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

usage() {
  cat <<'TEXT'
Usage: tools/retrain.sh [options]

Trains the fall model on every subject of the fold plan (or --subjects) with
the chosen settings and writes it to --out; with --cv, cross-validates by
subject over the plan's folds first. Deterministic: the same recordings give
the same file, byte for byte.

  --kfall DIR        KFall: the packed copy with unpack.sh, or unpacked
                     (sensor_data/SAxx/, label_data/)   [../shared/kfall]
  --sisfall DIR      SisFall: the packed copy with unpack.sh or a download,
                     converted here with sisfall2kfall; or a converted
                     copy (with subjects.csv); "none" leaves it out
                                                         [../shared/sisfall]
  --fallalld DIR     FallAllD: the packed copy with unpack.sh or a download,
                     converted here with fallalld2kfall; or a converted
                     copy (with subjects.csv); "none" leaves it out
                                                        [../shared/fallalld]
  --plan FILE        fold plan (JSON)  [tumblebench/training/fold_plan.json]
  --subjects DATASET:NAMES... final fit on these only, e.g. kfall:SA06,SA07
                     sisfall:all fallalld:all (must end the options or precede another
                     option)                   [every subject of the plan]
  --out FILE         the model file to write   [BUILD/fall_model.tflite]
  --install          also install it as tumblix/ml/models/fall_model.tflite
                     (never done without this option)
  --cv [NAMES]       cross-validate these candidates first (comma-separated,
                     "all"; default the chosen one)
  --no-final         cross-validate only, write no model
  --folds LIST       cross-validate these folds only (e.g. 1,2: two runs
                     side by side share the folds; a run over every fold
                     then pools their stored fits)
  --candidate NAME   settings of the final fit            [the chosen one]
  --build DIR        build folder for the tools, the cache and the
                     figures                                [build-train]
  -h, --help         this text

The unpacked and converted recordings stay in BUILD/train_data for the next
run; remove that folder to unpack and convert them again.

Installs its Debian packages first (tools/bootstrap.sh training),
builds dump_windows and score_windows, dumps every recording once into
BUILD/train_cache and writes the figures to BUILD/fall_model_report.json.
Progress (subjects, epochs, folds, figures) goes to standard error.
TEXT
}

kfall=$repo/../shared/kfall
sisfall=$repo/../shared/sisfall
fallalld=$repo/../shared/fallalld
plan=$repo/tumblebench/training/fold_plan.json
build=$repo/build-train
out=""
install=0
cv=""
final=1
candidate=""
cv_folds=""
subjects=()
while [[ $# -gt 0 ]]; do
  case $1 in
    -h|--help) usage; exit 0 ;;
    --kfall) kfall=${2:?--kfall needs a folder}; shift 2 ;;
    --sisfall) sisfall=${2:?--sisfall needs a folder or none}; shift 2 ;;
    --fallalld) fallalld=${2:?--fallalld needs a folder or none}; shift 2 ;;
    --plan) plan=${2:?--plan needs a file}; shift 2 ;;
    --out) out=${2:?--out needs a file}; shift 2 ;;
    --build) build=${2:?--build needs a folder}; shift 2 ;;
    --candidate) candidate=${2:?--candidate needs a name}; shift 2 ;;
    --folds) cv_folds=${2:?--folds needs a list}; shift 2 ;;
    --install) install=1; shift ;;
    --no-final) final=0; shift ;;
    --cv)
      if [[ $# -gt 1 && $2 != -* ]]; then cv=$2; shift 2; else cv=chosen; shift; fi ;;
    --subjects)
      shift
      while [[ $# -gt 0 && $1 != -* ]]; do subjects+=("$1"); shift; done
      [[ ${#subjects[@]} -gt 0 ]] || { echo "retrain.sh: --subjects needs DATASET:NAMES" >&2; exit 2; } ;;
    *) echo "retrain.sh: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
done
if [[ $final -eq 0 && -z $cv ]]; then
  echo "retrain.sh: --no-final without --cv leaves nothing to do" >&2
  exit 2
fi

# Packages before anything else.
bash "$repo/tools/bootstrap.sh" training

[[ -d $kfall ]] || { echo "retrain.sh: $kfall: no KFall folder" >&2; exit 1; }
[[ -f $plan ]] || { echo "retrain.sh: $plan: no fold plan" >&2; exit 1; }
mkdir -p "$build"
build=$(cd "$build" && pwd)
[[ -n $out ]] || out=$build/fall_model.tflite

# With DUMP_WINDOWS and SCORE_WINDOWS set to built tools (the CMake target
# fall_model sets them), nothing is built here.
dump_windows=${DUMP_WINDOWS:-}
score_windows=${SCORE_WINDOWS:-}
if [[ -z $dump_windows || -z $score_windows ]]; then
  cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTUMBLEBENCH_BUILD_BENCH=OFF > /dev/null
  cmake --build "$build" --target dump_windows score_windows -j 2 >&2
  dump_windows=$build/tools/dump_windows
  score_windows=$build/tools/score_windows
fi

# The recordings are unpacked (and SisFall and FallAllD converted) into the build folder
# once; nothing of them enters the repository.
data=$build/train_data
mkdir -p "$data"
if [[ -x $kfall/unpack.sh ]]; then
  if [[ ! -d $data/kfall/sensor_data ]]; then
    echo "retrain.sh: unpacking $kfall" >&2
    rm -rf "$data/kfall.part"
    "$kfall/unpack.sh" "$data/kfall.part" > /dev/null
    mv "$data/kfall.part" "$data/kfall"
  fi
  kfall=$data/kfall
fi
# A converted copy (with subjects.csv) is used as it is; anything else is
# converted into $data/NAME once.
converted_args=()
convert_once() {
  local name=$1 converter=$2 source=$3
  [[ $source != none ]] || return 0
  if [[ ! -f $source/subjects.csv ]]; then
    if [[ ! -f $data/$name/subjects.csv ]]; then
      echo "retrain.sh: converting $source with $converter" >&2
      rm -rf "${data:?}/$name"
      /usr/bin/python3 -B "$repo/tools/$converter" "$source" "$data/$name"
    fi
    source=$data/$name
  fi
  converted_args+=(--"$name" "$source")
}
convert_once sisfall sisfall2kfall "$sisfall"
convert_once fallalld fallalld2kfall "$fallalld"

args=(--kfall "$kfall" "${converted_args[@]}" --plan "$plan" --cache "$build/train_cache"
      --dump-tool "$dump_windows" --score-tool "$score_windows"
      --report "$build/fall_model_report.json")
if [[ -n $cv ]]; then
  if [[ $cv == chosen ]]; then args+=(--cv "${candidate:-chosen}"); else args+=(--cv "$cv"); fi
fi
[[ -z $candidate ]] || args+=(--candidate "$candidate")
[[ -z $cv_folds ]] || args+=(--folds "$cv_folds")
if [[ $final -eq 1 ]]; then
  args+=(--out "$out")
  [[ ${#subjects[@]} -eq 0 ]] || args+=(--subjects "${subjects[@]}")
fi

# One thread: the same sums in the same order on every run, and a fair share
# of a shared machine.
export OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 MKL_NUM_THREADS=1 PYTHONHASHSEED=0
# The package from this checkout, whatever else is installed.
PYTHONPATH=$repo${PYTHONPATH:+:$PYTHONPATH} /usr/bin/python3 -B -m tumblebench.training.train_fall_model "${args[@]}"

if [[ $final -eq 1 ]]; then
  echo "retrain.sh: wrote $out" >&2
  if [[ $install -eq 1 ]]; then
    cp "$out" "$repo/tumblix/ml/models/fall_model.tflite"
    echo "retrain.sh: installed it as tumblix/ml/models/fall_model.tflite" >&2
  fi
fi
