"""What the decision rules allow whatever the network says: oracle scores
replayed through the rules on every evaluated window of the cached
recordings.

    python3 -m tumblebench.training.oracle --kfall KFALL [--sisfall SISFALL] [--fallalld FALLALLD]
        --cache DIR --dump-tool dump_windows [--plan PLAN] [--report ORACLE.json]

Three scores:

  zero     0 on every window: the daily activities that fire anyway (mode 6
           ignores the score) are a floor under the false alarms no network
           can go below;
  one      1 on every window: the falls that still do not fire cannot be
           detected by any score;
  in_time  1 only from a fall's onset to 5 samples before its impact
           (labelled, or derived from the signal where there is no label),
           0 elsewhere: what a network right about the time of every fall
           can reach.

Prints Markdown tables per data set: falls and daily activities per
activity (the converted data sets' own activity names from their label
files) and per first mode, and the false-alarm floor per fold of the plan.
The recordings are those of the plan, read from the training's cache
(dumped first where it lacks them). Progress goes to standard error.
"""

import argparse
import collections
import csv
import json
import os
import sys

import numpy as np

from .. import kfall
from ..kfall import tables
from . import folds, rule_windows
from .train_fall_model import load_subjects, log

SCORES = ("zero", "one", "in_time")
DATASET_NAMES = {"kfall": "KFall", "sisfall": "SisFall", "fallalld": "FallAllD"}


def oracle_scores(ws):
    """{score name: down score of every evaluated window}."""
    fall = ws.is_fall[ws.recording]
    onset, impact = ws.onset[ws.recording], ws.impact[ws.recording]
    in_time = fall & (impact >= 0) & (ws.frame >= onset) & (ws.frame <= impact - rule_windows.GOOD_LEAD_SAMPLES)
    return {"zero": np.zeros(len(ws.frame), dtype=np.float32),
            "one": np.ones(len(ws.frame), dtype=np.float32),
            "in_time": in_time.astype(np.float32)}


def activity_names(roots, ws):
    """{(dataset, recording name): activity}: a converted data set's own
    description from its label files (SisFall D14: ..., FallAllD A027: ...),
    KFall's task name otherwise."""
    names = {}
    for dataset, root in roots.items():
        if dataset == "kfall" or not root:
            continue
        for subject in sorted(set(ws.subject[ws.dataset == dataset])):
            folder = os.path.join(root, kfall.SENSOR_DATA, _folder_of(root, subject))
            path = os.path.join(folder, kfall.label_file_name(os.path.basename(folder), "all"))
            with open(path, newline="", encoding="utf-8", errors="replace") as stream:
                for row in list(csv.reader(stream))[1:]:
                    if len(row) >= 3 and row[0].strip() and row[2].strip().isdigit():
                        task = int(row[0].strip()[-2:])
                        names[(dataset, kfall.recording_name(os.path.basename(folder), task, int(row[2])))] = \
                            row[1].strip()
    return names


def _folder_of(root, subject):
    """The subject folder of a subject named by its own id (SE01, S07) or by its folder."""
    if os.path.isdir(os.path.join(root, kfall.SENSOR_DATA, subject)):
        return subject
    rows, _ = tables.read_subjects(os.path.join(root, tables.SUBJECTS_TABLE))
    return next(row.folder for row in rows.values() if row.original_id == subject)


def activity_of(ws, names, r):
    key = (str(ws.dataset[r]), str(ws.name[r]))
    if key in names:
        # "FallAllD A027: Jumping strongly" -> "A027 Jumping strongly"
        return names[key].split(" ", 1)[-1].replace(":", "", 1)
    return "T%02d %s" % (ws.task[r], kfall.task_name(int(ws.task[r])))


def replay(ws, scores):
    """{score name: (first detection frame, first mode) per recording}."""
    return {name: ws.rules.first_detections(down) for name, down in scores.items()}


def dataset_report(ws, names, fired, dataset, plan_folds):
    """The oracle's figures of one data set, as plain data."""
    mine = ws.dataset == dataset
    falls = np.nonzero(mine & ws.is_fall)[0]
    adls = np.nonzero(mine & ~ws.is_fall)[0]
    hours = float(ws.seconds[adls].sum() / kfall.SECONDS_PER_HOUR)
    zero_frames, zero_modes = fired["zero"]
    per_activity = collections.OrderedDict()
    for r in sorted(np.concatenate([adls, falls]), key=lambda r: (activity_of(ws, names, r), r)):
        entry = per_activity.setdefault(activity_of(ws, names, r), dict(fall=bool(ws.is_fall[r]), recordings=0,
                                                                        fired=collections.Counter()))
        entry["recordings"] += 1
        for score in SCORES:
            if fired[score][0][r] > 0:
                entry["fired"][score] += 1
    adl_floor = adls[zero_frames[adls] > 0]
    out = dict(
        adl=len(adls), adl_hours=hours, falls=len(falls),
        adl_fired_at_zero=len(adl_floor),
        adl_fired_at_zero_by_mode=_counts(zero_modes[adl_floor]),
        adl_fired_at_zero_by_group={g: int(np.sum(ws.group[adl_floor] == g)) for g in sorted(set(ws.group[adls]))},
        adl_by_group={g: int(np.sum(ws.group[adls] == g)) for g in sorted(set(ws.group[adls]))},
        best_adl_clean=(1.0 - len(adl_floor) / len(adls)) if len(adls) else None,
        least_false_alarms_per_hour=len(adl_floor) / hours if hours else None,
        falls_fired_at_zero=int(np.sum(zero_frames[falls] > 0)),
        falls_fired_at_zero_by_mode=_counts(zero_modes[falls[zero_frames[falls] > 0]]))
    for score in ("one", "in_time"):
        frames, modes = fired[score]
        hit = falls[frames[falls] > 0]
        out["falls_fired_%s" % score] = len(hit)
        out["falls_fired_%s_by_mode" % score] = _counts(modes[hit])
        out["falls_never_%s" % score] = [str(ws.name[r]) for r in falls if frames[r] <= 0]
    labelled = falls[(ws.impact[falls] >= 0) & ~ws.derived[falls]]
    if len(labelled):
        frames = fired["in_time"][0]
        good = (frames[labelled] >= ws.onset[labelled]) & \
            (frames[labelled] <= ws.impact[labelled] - rule_windows.GOOD_LEAD_SAMPLES)
        out["falls_good_in_time"] = int(np.sum(good))
        out["median_lead_in_time"] = float(np.median(ws.impact[labelled][good] - frames[labelled][good])) \
            if good.any() else None
    out["per_fold_adl_fired_at_zero"] = [
        int(np.sum(np.isin(ws.subject[adl_floor], fold.get(dataset, [])))) for fold in plan_folds]
    out["per_activity"] = {a: dict(fall=e["fall"], recordings=e["recordings"],
                                   **{score: e["fired"][score] for score in SCORES})
                           for a, e in per_activity.items()}
    return out


def _counts(values):
    return {int(k): int(v) for k, v in sorted(collections.Counter(int(m) for m in values).items())}


def _pct(part, whole):
    return "%.2f %%" % (100.0 * part / whole) if whole else "—"


def _modes(counts):
    return ", ".join("mode %d: %d" % kv for kv in counts.items()) or "none"


def markdown(report):
    out = []
    for dataset, f in report.items():
        label = DATASET_NAMES.get(dataset, dataset)
        out += ["## %s" % label, ""]
        groups = ", ".join("%s %d of %d" % (g, f["adl_fired_at_zero_by_group"][g], f["adl_by_group"][g])
                           for g in f["adl_by_group"]) if len(f["adl_by_group"]) > 1 else ""
        out.append("Score 0 everywhere: %d of %d daily activities fire anyway (%s%s), so at best %s of daily "
                   "activities without a false alarm and at least %.2f false-alarm recordings per hour (%.2f h); "
                   "per fold %s. %d of %d falls fire too (%s)." % (
                       f["adl_fired_at_zero"], f["adl"], _modes(f["adl_fired_at_zero_by_mode"]),
                       "; " + groups if groups else "", _pct(f["adl"] - f["adl_fired_at_zero"], f["adl"]),
                       f["least_false_alarms_per_hour"] or 0.0, f["adl_hours"],
                       " / ".join(str(n) for n in f["per_fold_adl_fired_at_zero"]),
                       f["falls_fired_at_zero"], f["falls"], _modes(f["falls_fired_at_zero_by_mode"])))
        out.append("")
        timing = ""
        if "falls_good_in_time" in f:
            timing = "; %d good, median lead %s samples" % (
                f["falls_good_in_time"], "%g" % f["median_lead_in_time"] if f["median_lead_in_time"] else "—")
        out.append("Score 1 everywhere: %d of %d falls fire (%s), %s. Score 1 only in time: %d (%s)%s." % (
            f["falls_fired_one"], f["falls"], _pct(f["falls_fired_one"], f["falls"]),
            _modes(f["falls_fired_one_by_mode"]), f["falls_fired_in_time"],
            _pct(f["falls_fired_in_time"], f["falls"]), timing))
        out += ["", "| activity | recordings | fire at score 0 | fire at score 1 | fire with 1 in time |",
                "|---|---|---|---|---|"]
        for activity, e in f["per_activity"].items():
            if e["fall"] and e["one"] == e["recordings"] and e["in_time"] == e["recordings"] and not e["zero"]:
                continue    # a fall every score reaches: nothing to say
            if not e["fall"] and not e["zero"]:
                continue    # a daily activity a network can keep quiet
            out.append("| %s%s | %d | %d | %s | %s |" % (
                activity, " (fall)" if e["fall"] else "", e["recordings"], e["zero"],
                e["one"] if e["fall"] else "—", e["in_time"] if e["fall"] else "—"))
        out.append("")
    return "\n".join(out)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="oracle", description=__doc__.split("\n\n")[0])
    parser.add_argument("--kfall", help="KFall in its own layout (unpacked)")
    parser.add_argument("--sisfall", help="SisFall converted into the KFall layout")
    parser.add_argument("--fallalld", help="FallAllD converted into the KFall layout")
    parser.add_argument("--plan", default=folds.PROJECT_PLAN, help="fold plan (JSON; default: the project's)")
    parser.add_argument("--cache", required=True, help="the training's recording cache")
    parser.add_argument("--dump-tool", required=True, help="the dump_windows program")
    parser.add_argument("--report", help="write the figures here (JSON)")
    args = parser.parse_args(argv)
    plan_folds = folds.load_plan(args.plan)
    wanted = {d: s for d, s in folds.subjects_of(plan_folds).items() if getattr(args, d, None)}
    subjects = load_subjects(args, wanted)
    ws = rule_windows.WindowSet([s for d in subjects for s in subjects[d]])
    log("%d recordings, %d evaluated windows: replaying the oracle scores" % (ws.count, len(ws.frame)))
    fired = replay(ws, oracle_scores(ws))
    names = activity_names({d: getattr(args, d) for d in wanted}, ws)
    report = {d: dataset_report(ws, names, fired, d, plan_folds) for d in wanted}
    if args.report:
        with open(args.report, "w") as f:
            json.dump(report, f, indent=1)
    print(markdown(report))
    return 0


if __name__ == "__main__":
    sys.exit(main())
