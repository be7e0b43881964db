#!/usr/bin/env bash
# The bundled default run: generates a small synthetic data set (a few
# subjects, every KFall task), evaluates the detector over all of it with
# "tumblebench -r", prints the statistics report and writes the run's
# summary (HTML page, figures, tables) with run_summary, naming the page.
# Needs no download.
#
# Usage: tools/run_demo.sh [BUILD_DIR [DEMO_DIR]]
#   BUILD_DIR  a configured and built tree (default: build)
#   DEMO_DIR   where the data set goes (default: BUILD_DIR/demo); recreated
#              on every run, so it must be a folder this script made or an
#              empty or missing one
# Environment: DEMO_SUBJECTS (3), DEMO_TRIALS (2), DEMO_SEED (1).
set -euo pipefail

build_dir=${1:-build}
demo_dir=${2:-$build_dir/demo}
subjects=${DEMO_SUBJECTS:-3}
trials=${DEMO_TRIALS:-2}
seed=${DEMO_SEED:-1}
marker=.tumblebench_demo

die() {
  echo "run_demo: $*" >&2
  exit 1
}

tumblebench=$build_dir/harness/tumblebench
generator=$build_dir/harness/tumblebench_gen
[[ -x $tumblebench ]] || die "$tumblebench not found; build the project first (make build)"
[[ -x $generator ]] || die "$generator not found; build the project first (make build)"

# Only a folder that holds this script's marker is ever deleted.
if [[ -e $demo_dir ]]; then
  [[ -d $demo_dir ]] || die "$demo_dir exists and is not a folder"
  if [[ -e $demo_dir/$marker ]]; then
    rm -rf -- "$demo_dir"
  elif [[ -n $(ls -A -- "$demo_dir") ]]; then
    die "$demo_dir is not empty and was not made by this script; choose another DEMO_DIR"
  fi
fi
mkdir -p -- "$demo_dir"
touch -- "$demo_dir/$marker"

"$generator" --out "$demo_dir" --subjects "$subjects" --trials "$trials" --seed "$seed"

tumblebench=$(cd "$(dirname "$tumblebench")" && pwd)/$(basename "$tumblebench")
log=$demo_dir/run.log
status=0
(cd "$demo_dir" && "$tumblebench" -r) >"$log" || status=$?
[[ $status -eq 0 ]] || die "tumblebench -r ended with status $status; see $log"

recordings=$(grep -c '^result ' "$log" || true)
echo "tumblebench -r over $demo_dir: $recordings recordings scored (full output in $log)"
# The report is everything from its first heading on, with the blank line
# that precedes it.
awk 'found || /^# ADL STAT:/ { if (!found) print ""; found = 1; print }' "$log"

summary=$demo_dir/summary
echo "run_demo: summarising the run into $summary" >&2
"$(dirname "$0")/run_summary" "$log" -o "$summary" --quiet || die "run_summary failed on $log"
echo
echo "summary of the demo run: $(cd "$summary" && pwd)/summary.html"
