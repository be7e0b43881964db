#!/usr/bin/env bash
# Long runs: for each COUNT, generates a data set of COUNT recordings with
# tumblebench_gen, walks it with one `tumblebench -r` under /usr/bin/time and
# checks that every recording was scored exactly once, that the report counts
# them all, that every trace holds one row per sample and that nothing was
# said on standard error. Prints one line per run with the peak resident size.
#   tools/soak.sh [-b BUILD_DIR] [-w WORK_DIR] [-k] COUNT...
#     COUNT     recordings per run, a multiple of 25 (25 tasks per subject and trial)
#     -b DIR    build folder holding harness/tumblebench (default: build)
#     -w DIR    where the data sets go (default: a fresh folder under /tmp);
#               5000 recordings take about 0.6 GB with their traces
#     -k        keep the data sets (they are removed otherwise)
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build
work_dir=""
keep=0
while getopts "b:w:k" option; do
  case $option in
    b) build_dir=$OPTARG ;;
    w) work_dir=$OPTARG ;;
    k) keep=1 ;;
    *) sed -n '2,13p' "$0" >&2; exit 64 ;;
  esac
done
shift $((OPTIND - 1))
if [[ $# -eq 0 ]]; then
  sed -n '2,13p' "$0" >&2
  exit 64
fi

program="$(realpath "$build_dir/harness/tumblebench")"
generator="$(realpath "$build_dir/harness/tumblebench_gen")"
for tool in "$program" "$generator"; do
  [[ -x $tool ]] || { echo "soak: $tool is missing; build first (make build)" >&2; exit 1; }
done
if [[ ! -x /usr/bin/time ]]; then
  echo "soak: /usr/bin/time is missing (Debian package: time)" >&2
  exit 1
fi

# Ten kinds of daily activity and every kind of fall.
tasks="1-10,20-34"
tasks_per_trial=25

if [[ -z $work_dir ]]; then
  work_dir=$(mktemp -d /tmp/tumblebench-soak-XXXXXX)
else
  mkdir -p "$work_dir"
fi
cleanup() { [[ $keep -eq 1 ]] || rm -rf "$work_dir"; }
trap cleanup EXIT

status=0
printf '%-11s %-9s %-10s %-14s %-9s %s\n' recordings subjects samples "peak RSS (kB)" "time (s)" checks
for count in "$@"; do
  if ! [[ $count =~ ^[0-9]+$ ]] || (( count == 0 || count % tasks_per_trial != 0 )); then
    echo "soak: $count is not a positive multiple of $tasks_per_trial" >&2
    exit 64
  fi
  # Subjects times trials makes the count; at most 99 of each, ten subjects
  # when that works out.
  units=$((count / tasks_per_trial))
  subjects=0
  for s in 10 9 8 7 6 5 4 3 2 1 $(seq 11 99); do
    if (( s <= units && units % s == 0 && units / s <= 99 )); then subjects=$s; break; fi
  done
  if (( subjects == 0 )); then
    echo "soak: $count recordings cannot be laid out as subjects x trials x $tasks_per_trial" >&2
    exit 64
  fi
  trials=$((units / subjects))

  root="$work_dir/set-$count"
  rm -rf "$root"
  "$generator" --quiet --out "$root" --subjects "$subjects" --trials "$trials" --tasks "$tasks" --seed 9

  (cd "$root" && /usr/bin/time -v -o "$work_dir/time-$count.txt" "$program" -r \
     > "$work_dir/out-$count.txt" 2> "$work_dir/err-$count.txt") || true
  out="$work_dir/out-$count.txt"
  peak=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work_dir/time-$count.txt")
  elapsed=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$work_dir/time-$count.txt")
  exit_status=$(awk -F': ' '/Exit status/ {print $2}' "$work_dir/time-$count.txt")

  problems=()
  [[ $exit_status == 0 ]] || problems+=("exit status $exit_status")
  [[ -s "$work_dir/err-$count.txt" ]] && problems+=("standard error: $(head -c 200 "$work_dir/err-$count.txt")")

  listed=$(cat "$root"/SA*/SA*_all.csv | grep -vc '^Task Code' || true)
  [[ $listed == "$count" ]] || problems+=("label files list $listed recordings")
  results=$(grep -c '^result ' "$out" || true)
  [[ $results == "$count" ]] || problems+=("$results result lines")
  twice=$(grep '^result ' "$out" | sed 's/^result \(.*\) : .*/\1/' | sort | uniq -d | head -3 | tr '\n' ' ')
  [[ -z $twice ]] || problems+=("scored more than once: $twice")
  reported=$(awk '/^# ADL STAT: / {gsub(/[(),]/, " "); tn = $5; fp = $8}
                  /^# DOWN STAT: / {gsub(/[(),{}]/, " "); tp = $5; for (i = 1; i < NF; ++i) if ($i == "fn") fn = $(i + 1)}
                  END {print tn + fp + tp + fn}' "$out")
  [[ $reported == "$count" ]] || problems+=("the report counts $reported recordings")

  # Samples fed per replay, from its "N data, processed." line, against the
  # rows of its trace.
  samples=$(awk '/ data, processed\.$/ {s += $1} END {print s + 0}' "$out")
  awk '/^Log File : / {trace = $4} / data, processed\.$/ {print trace, $1 + 1}' "$out" | sort > "$work_dir/expected-$count.txt"
  (cd "$root" && find . -name '*_DSV.csv' -exec wc -l {} + | awk '$2 != "total" {n = split($2, p, "/"); print p[n], $1}') \
    | sort > "$work_dir/traces-$count.txt"
  if ! cmp -s "$work_dir/expected-$count.txt" "$work_dir/traces-$count.txt"; then
    problems+=("traces differ from the samples fed: $(diff "$work_dir/expected-$count.txt" "$work_dir/traces-$count.txt" | head -3 | tr '\n' ' ')")
  fi

  if (( ${#problems[@]} == 0 )); then
    verdict="ok: each recording scored once, report total $reported, traces complete"
  else
    verdict="FAILED: $(IFS='; '; echo "${problems[*]}")"
    status=1
  fi
  printf '%-11s %-9s %-10s %-14s %-9s %s\n' "$count" "$subjects x $trials" "$samples" "$peak" "$elapsed" "$verdict"
  [[ $keep -eq 1 ]] || rm -rf "$root"
done
exit $status
