"""Runs a cross-validated candidate's fold models with the real harness over
each fold's held-out wearers and checks, recording for recording, that
tumblebench finds what the cross-validation found.

    python3 -m tumblebench.training.harness_check REPORT.json CANDIDATE --cache DIR --runs RUNS
        --kfall KFALL [--sisfall SISFALL] [--fallalld FALLALLD] [--plan PLAN] [--folds 1,2]

REPORT.json is tumblebench-train's report of a cross-validation over every
fold; the fold models are CACHE/cv/CANDIDATE_fold<k>.tflite, as the
cross-validation wrote them. For every fold and data set it runs
`tumblebench-evaluate DATA --model FOLD_MODEL --subjects ...` into
RUNS/CANDIDATE_fold<k>_<data set>, then compares every scored recording's
first detection (sample and mode) and outcome with the report's (a fall
without labelled frames: detected, which the harness counts late, or
missed). Prints the harness's two report lines per run and every
disagreement; exit status 1 when there is one, 0 when all agree.
"""

import argparse
import csv
import json
import os
import subprocess
import sys

from . import folds, recording_cache

CHECKOUT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EVALUATE = os.path.join(CHECKOUT, "tools", "evaluate")


def log(message):
    print("harness_check: " + message, file=sys.stderr, flush=True)


def subject_folders(root, names):
    """The subject folders of subjects named by their own ids (SE01, S07) or by folder."""
    table = recording_cache.subject_table(root)
    return [table.get(name, (name, ""))[0] for name in names]


def harness_outcome(cv_outcome):
    """The harness's outcome for the cross-validation's: a fall without
    labelled frames is 'detected' there and late here."""
    return "late" if cv_outcome == "detected" else cv_outcome


def disagreements(expected, rows, dataset):
    """What differs between the report's recordings (first detection frame,
    mode, outcome) and a run's results.csv rows."""
    out = []
    for row in rows:
        key = "%s/%s" % (dataset, os.path.basename(row["path"]))
        if key not in expected:
            out.append("%s: scored by the harness, not in the cross-validation" % key)
            continue
        frame, mode, outcome = expected[key]
        found = (int(row["first_frame"]) if row["first_frame"] else -1, int(row["first_mode"] or 0), row["outcome"])
        wanted = (frame if frame > 0 else -1, mode if frame > 0 else 0, harness_outcome(outcome))
        if found != wanted:
            out.append("%s: harness %s, cross-validation %s" % (key, found, wanted))
    return out


def check_fold(args, expected, fold, number, dataset):
    root = getattr(args, dataset)
    run = os.path.join(args.runs, "%s_fold%d_%s" % (args.candidate, number, dataset))
    model = os.path.join(args.cache, "cv", "%s_fold%d.tflite" % (args.candidate, number))
    if not os.path.isfile(model):
        raise SystemExit("harness_check: %s: no fold model (cross-validate %s first)" % (model, args.candidate))
    if not os.path.isdir(run):
        command = [sys.executable, EVALUATE, root, "-o", run, "--model", model, "--name",
                   "%s fold %d" % (args.candidate, number),
                   "--subjects", ",".join(subject_folders(root, fold[dataset]))]
        done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if done.returncode != 0:
            raise SystemExit("harness_check: evaluate failed for fold %d, %s: %s" % (number, dataset, done.stderr[-800:]))
    with open(os.path.join(run, "results.csv"), newline="") as stream:
        rows = list(csv.DictReader(stream))
    with open(os.path.join(run, "run.log"), errors="replace") as stream:
        report_lines = [line.rstrip() for line in stream if line.startswith(("# ADL STAT", "# DOWN STAT"))]
    return rows, report_lines


def main(argv=None):
    parser = argparse.ArgumentParser(prog="harness_check", description=__doc__.split("\n\n")[0])
    parser.add_argument("report")
    parser.add_argument("candidate")
    parser.add_argument("--cache", required=True, help="the training's cache (its cv/ holds the fold models)")
    parser.add_argument("--runs", required=True, help="where the run folders go (kept: a second check reads them)")
    parser.add_argument("--kfall")
    parser.add_argument("--sisfall")
    parser.add_argument("--fallalld")
    parser.add_argument("--plan", default=folds.PROJECT_PLAN)
    parser.add_argument("--folds", help="only these folds (comma-separated, from 1)")
    args = parser.parse_args(argv)
    with open(args.report) as stream:
        candidate = json.load(stream)["cross_validation"][args.candidate]
    expected = candidate.get("recordings")
    if not expected:
        raise SystemExit("harness_check: %s has no recording outcomes of %s (a run over every fold writes them)"
                         % (args.report, args.candidate))
    plan_folds = folds.load_plan(args.plan)
    chosen = [int(n) for n in args.folds.split(",")] if args.folds else range(1, len(plan_folds) + 1)
    problems, checked = [], 0
    for number in chosen:
        fold = plan_folds[number - 1]
        for dataset in fold:
            if not getattr(args, dataset, None):
                continue
            log("fold %d, %s: %s" % (number, dataset, " ".join(fold[dataset])))
            rows, report_lines = check_fold(args, expected, fold, number, dataset)
            found = disagreements(expected, rows, dataset)
            figures = candidate["folds"][number - 1][dataset]
            if len(rows) != figures["falls"] + figures["adl"]:
                found.append("fold %d, %s: the harness scored %d recordings, the cross-validation %d"
                             % (number, dataset, len(rows), figures["falls"] + figures["adl"]))
            checked += len(rows)
            print("fold %d, %s: %d recordings, %d disagree" % (number, dataset, len(rows), len(found)))
            for line in report_lines:
                print("    " + line)
            problems += found
    for problem in problems:
        print("disagrees: " + problem)
    print("%d recordings checked, %d disagreements" % (checked, len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
