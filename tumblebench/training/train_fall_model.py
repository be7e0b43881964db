"""Cross-validates and trains the Tumblix fall model.

    tumblebench-train --kfall KFALL [--sisfall SISFALL] [--fallalld FALLALLD] --plan PLAN --cache DIR
        --dump-tool dump_windows --score-tool score_windows
        [--cv NAME[,NAME...]] [--out MODEL [--candidate NAME] [--subjects DATASET:NAMES ...]]
        [--report REPORT.json]

KFALL, SISFALL and FALLALLD are data sets in the KFall layout
(sensor_data/SUBJECT/SxxTyyRzz.csv; KFall's label spreadsheets in
label_data/, the converted data sets' label files in the subject folders). Every recording is replayed
once through the real detector (dump_windows) and cached in DIR.

--cv cross-validates the named candidates (training/candidates.py) over
the plan's folds: for every fold a network is fitted on the other folds'
subjects only (their windows, their input scaling) and judged on the
fold's recordings with the project's own classifier (score_windows) and the
detector's rules. --out fits on every subject of the plan (or --subjects,
e.g. kfall:SA06,SA07 sisfall:all fallalld:all) with --candidate (default: the chosen
one) and writes the model file. Progress goes to standard error, the
figures to --report.
"""

import argparse
import hashlib
import json
import os
import sys
import time

import numpy as np

from .. import kfall
from . import candidates, fall_frames, fit, folds, outcomes, recording_cache, rule_windows, tflite_writer

HERE = os.path.dirname(os.path.abspath(__file__))

FIGURES_SHOWN = ("sensitivity", "specificity", "good_share", "median_lead", "falls_detected", "adl_clean",
                 "adl_clean_elderly", "false_alarms_per_hour")


def log(msg):
    print("train_fall_model: " + msg, file=sys.stderr, flush=True)


def fall_recordings(subjects):
    """(subject, recording number, its channels) of every fall."""
    for s in subjects:
        for r in range(s.count):
            if kfall.is_fall(int(s.tasks[r])):
                lo = int(s.start[r])
                yield s, r, s.channels[lo:lo + int(s.length[r])]


def derive_missing_frames(subjects):
    """Falls without onset and impact get frames derived from the signal
    (fall_frames); they are marked so that scoring never treats them as
    labels. Returns what the derivation is worth here: its errors on the
    labelled falls, and where the derived impacts lie against the middle
    of their recordings."""
    for s in subjects:
        s.derived = np.zeros(s.count, dtype=bool)
    labelled = [(channels, int(s.onset[r]), int(s.impact[r])) for s, r, channels in fall_recordings(subjects)
                if s.impact[r] >= 0]
    derived = []
    for s, r, channels in fall_recordings(subjects):
        if s.impact[r] < 0:
            s.onset[r], s.impact[r] = fall_frames.derive_frames(channels)
            s.derived[r] = True
            derived.append((channels, int(s.impact[r])))
    return dict(labelled=fall_frames.label_errors(labelled) if labelled else None,
                derived=len(derived),
                impact_from_middle_s=fall_frames.middle_offsets(derived, kfall.SAMPLES_PER_SECOND))


def _quartile_text(summary, unit):
    return "quartiles %s %s (%.0f %% within %g)" % (" / ".join("%+g" % q for q in summary["quartiles"]), unit,
                                                    100 * summary["share_within"], summary["within"])


def log_derivation(dataset, measured):
    if measured["labelled"]:
        log("%s: frames derived from the signal against the %d labels: impact %s, onset %s" % (
            dataset, measured["labelled"]["impact"]["count"],
            _quartile_text(measured["labelled"]["impact"], "samples"),
            _quartile_text(measured["labelled"]["onset"], "samples")))
    if measured["derived"]:
        log("%s: onset and impact of %d falls derived from the signal; the impact lies from the recording's "
            "middle at %s" % (dataset, measured["derived"], _quartile_text(measured["impact_from_middle_s"], "s")))


def load_subjects(args, wanted, derivation=None):
    """{dataset: [Subject]} for {dataset: [names]}; what the frame
    derivation is worth on each data set goes into `derivation`."""
    roots = {"kfall": args.kfall, "sisfall": args.sisfall, "fallalld": args.fallalld}
    out = {}
    for dataset, names in wanted.items():
        root = roots.get(dataset)
        if not root:
            raise recording_cache.DataError("the plan names %s subjects but --%s was not given" % (dataset, dataset))
        subjects = recording_cache.load_dataset(dataset, root, names, args.dump_tool, args.cache, log)
        for s in subjects:
            s.dataset = dataset
        measured = derive_missing_frames(subjects)
        log_derivation(dataset, measured)
        if derivation is not None:
            derivation[dataset] = measured
        out[dataset] = subjects
    return out


def parse_subjects(selections, plan_folds):
    """--subjects kfall:SA06,SA07 sisfall:all -> {dataset: [names]}; none:
    every subject of the plan."""
    everything = folds.subjects_of(plan_folds)
    if not selections:
        return everything
    out = {}
    for selection in selections:
        dataset, _, names = selection.partition(":")
        if not names or dataset not in everything:
            raise folds.PlanError("--subjects %s: expected DATASET:NAME,NAME or DATASET:all with a data "
                                  "set of the plan (%s)" % (selection, ", ".join(everything)))
        out[dataset] = everything[dataset] if names == "all" else names.split(",")
    return out


def write_and_score(weights, path, ws, index, score_tool, trained_on):
    tflite_writer.write_fall_model(path, *weights, training_subjects=folds.training_record(trained_on))
    return outcomes.exact_scores(score_tool, path, ws, index)


def summarise(per_fold):
    """Mean, standard deviation, minimum and maximum across folds of every
    figure shown."""
    out = {}
    for dataset in per_fold[0]:
        for key in FIGURES_SHOWN:
            values = [f[dataset].get(key) for f in per_fold if f[dataset].get(key) is not None]
            if values:
                out["%s.%s" % (dataset, key)] = dict(mean=float(np.mean(values)), sd=float(np.std(values, ddof=1))
                                                     if len(values) > 1 else 0.0,
                                                     min=float(np.min(values)), max=float(np.max(values)))
    return out


def _pct(fraction):
    return "-" if fraction is None else "%.2f%%" % (100 * fraction)


def line_of(figs):
    parts = []
    for dataset, f in figs.items():
        if "specificity" in f:
            parts.append("%s sensitivity %s specificity %s good %s lead %s fp %d fn %d" % (
                dataset, _pct(f["sensitivity"]), _pct(f["specificity"]), _pct(f["good_share"]),
                f["lead_quartiles"], f["fp"], f["fn"]))
        else:
            elderly = " (elderly %s)" % _pct(f["adl_clean_elderly"]) if "adl_clean_elderly" in f else ""
            parts.append("%s ADL clean %s%s falls %s fa/h %s" % (
                dataset, _pct(f["adl_clean"]), elderly, _pct(f["falls_detected"]),
                "-" if f["false_alarms_per_hour"] is None else "%.2f" % f["false_alarms_per_hour"]))
    return "; ".join(parts)


TRAINING_SOURCES = ("fit.py", "rule_loss.py", "rule_windows.py", "fall_frames.py",
                    os.path.join("..", "research", "rule_replay.py"))


def data_digest(ws):
    """A digest of everything a fit reads from the window set: the
    recordings, their labels and derived frames, every channel and rule
    input, and the training code. A stored fit is used only under the same
    digest, so new recordings, another dump of them or a change to the
    training never meets an old fit."""
    h = hashlib.sha1()
    for a in (ws.dataset, ws.subject, ws.name, ws.task, ws.onset, ws.impact, ws.derived, ws.channels,
              ws.position, ws.recording, ws.rules.lpf_acc, ws.rules.lpf_gyro, ws.rules.vv, ws.rules.roll,
              ws.rules.pitch):
        h.update(np.ascontiguousarray(a).tobytes())
    for name in TRAINING_SOURCES:
        with open(os.path.join(HERE, name), "rb") as f:
            h.update(f.read())
    return h.hexdigest()


def fit_path(digest, in_train, settings, k, fits_dir):
    """Where the fit of settings on one fold's training recordings is kept:
    named by the data digest, every setting but the output offset and the
    training recordings."""
    h = hashlib.sha1()
    h.update(digest.encode())
    h.update(repr(candidates.fit_key(settings)).encode())
    h.update(np.nonzero(in_train)[0].tobytes())
    return os.path.join(fits_dir, "%s_fold%d.npz" % (h.hexdigest()[:20], k + 1))


def fold_fit(ws, digest, in_train, settings, k, fold_count, name, fits_dir):
    """The weights of settings fitted on one fold's training recordings,
    kept in fits_dir: a fit is deterministic, so a later run (another
    offset, the pooled figures after folds fitted side by side in two
    processes) reads it instead of fitting again."""
    path = fit_path(digest, in_train, settings, k, fits_dir)
    if os.path.exists(path):
        with np.load(path) as stored:
            log("%s fold %d/%d: fit read from %s" % (name, k + 1, fold_count, path))
            return tuple(stored["w%d" % i] for i in range(6))
    weights = fit.fit(ws, np.nonzero(in_train)[0], settings, log,
                      label="%s fold %d/%d " % (name, k + 1, fold_count))
    partial = path + ".part"
    with open(partial, "wb") as f:
        np.savez(f, **{"w%d" % i: w for i, w in enumerate(weights)})
    os.replace(partial, path)
    return weights


def cross_validate(args, plan_folds, names, derivation):
    subjects = load_subjects(args, folds.subjects_of(plan_folds), derivation)
    ws = rule_windows.WindowSet([s for d in subjects for s in subjects[d]])
    log("%d recordings, %d evaluated windows" % (ws.count, len(ws.frame)))
    workdir = os.path.join(args.cache, "cv")
    os.makedirs(workdir, exist_ok=True)
    fits_dir = os.path.join(workdir, "fits")
    os.makedirs(fits_dir, exist_ok=True)
    digest = data_digest(ws)
    only = set(range(len(plan_folds))) if not args.folds else {int(n) - 1 for n in args.folds.split(",")}
    if not only <= set(range(len(plan_folds))):
        raise folds.PlanError("--folds %s: the plan has folds 1 to %d" % (args.folds, len(plan_folds)))
    fitted = {}
    report = {}
    for name in names:
        settings = candidates.settings_of(name)
        log("candidate %s: %s" % (name, settings.describe()))
        down = np.zeros(len(ws.frame), dtype=np.float32)
        per_fold = []
        stored = {}
        for k in sorted(only):
            train, test = folds.split(plan_folds, k)
            in_train = np.zeros(ws.count, dtype=bool)
            in_test = np.zeros(ws.count, dtype=bool)
            for dataset, subs in train.items():
                in_train |= (ws.dataset == dataset) & np.isin(ws.subject, subs)
            for dataset, subs in test.items():
                in_test |= (ws.dataset == dataset) & np.isin(ws.subject, subs)
            assert not np.any(in_train & in_test), "a recording in training and test"
            key = (candidates.fit_key(settings), k)
            if key not in fitted:
                fitted[key] = fold_fit(ws, digest, in_train, settings, k, len(plan_folds), name, fits_dir)
            stored[k + 1] = fit_path(digest, in_train, settings, k, fits_dir)
            weights = fit.with_offset(fitted[key], settings.output_offset)
            index = np.nonzero(in_test[ws.recording])[0]
            path = os.path.join(workdir, "%s_fold%d.tflite" % (name, k + 1))
            down[index] = write_and_score(weights, path, ws, index, args.score_tool, train)
            frames, modes, outcome = outcomes.recording_outcomes(ws, down)
            figs = {}
            for dataset in test:
                sel = in_test & (ws.dataset == dataset)
                timed = dataset == "kfall"
                figs[dataset] = (outcomes.timed_figures if timed else outcomes.untimed_figures)(
                    ws, frames, modes, outcome, sel)
            per_fold.append(figs)
            log("%s fold %d/%d: %s" % (name, k + 1, len(plan_folds), line_of(figs)))
        if len(only) < len(plan_folds):
            report[name] = dict(settings=settings.describe(), folds=per_fold, fold_numbers=sorted(k + 1 for k in only),
                                fits=stored)
            continue
        frames, modes, outcome = outcomes.recording_outcomes(ws, down)
        pooled = {}
        for dataset in subjects:
            sel = ws.dataset == dataset
            pooled[dataset] = (outcomes.timed_figures if dataset == "kfall" else outcomes.untimed_figures)(
                ws, frames, modes, outcome, sel)
        log("%s pooled over the folds: %s" % (name, line_of(pooled)))
        report[name] = dict(settings=settings.describe(), folds=per_fold, pooled=pooled,
                            across_folds=summarise(per_fold), fits=stored, output_offset=settings.output_offset,
                            recordings={str(ws.dataset[r]) + "/" + str(ws.name[r]): [int(frames[r]), int(modes[r]),
                                                                                      str(outcome[r])]
                                        for r in range(ws.count)})
    return report


def train_final(args, plan_folds):
    wanted = parse_subjects(args.subjects, plan_folds)
    subjects = load_subjects(args, wanted)
    ws = rule_windows.WindowSet([s for d in subjects for s in subjects[d]])
    settings = candidates.settings_of(args.candidate)
    log("final fit, candidate %s on %s: %d recordings, %d evaluated windows" % (
        args.candidate, ", ".join("%d %s subjects" % (len(v), d) for d, v in wanted.items()), ws.count,
        len(ws.frame)))
    weights = fit.with_offset(fit.fit(ws, np.arange(ws.count), settings, log, label="final "),
                              settings.output_offset)
    data = tflite_writer.write_fall_model(args.out, *weights,
                                         training_subjects=folds.training_record(wanted))
    log("wrote %s (%d bytes)" % (args.out, len(data)))
    # The file, run by the project's classifier, must compute what the
    # exported weights compute (float32 sums in another order: rounding only).
    check = np.arange(0, len(ws.frame), 50)
    exact = outcomes.exact_scores(args.score_tool, args.out, ws, check)
    mine = tflite_writer.forward(tflite_writer.fall_model_weights(tflite_writer.read_model(data)),
                                 ws.windows(check))[:, 1]
    difference = float(np.max(np.abs(exact - mine)))
    log("the classifier's scores differ from NumPy's by at most %.2g on %d windows" % (difference, len(check)))
    if difference > 1e-4:
        raise RuntimeError("the written model does not compute what was trained")
    return dict(candidate=args.candidate, settings=settings.describe(),
                subjects=wanted, model_bytes=len(data), runtime_max_abs_diff=difference,
                recordings=int(ws.count), windows=int(len(ws.frame)))


def main(argv=None):
    try:
        return train(argv)
    except (recording_cache.DataError, folds.PlanError, KeyError) as e:
        print("train_fall_model: %s" % (e.args[0] if e.args else e), file=sys.stderr)
        return 1


def train(argv=None):
    parser = argparse.ArgumentParser(prog="tumblebench-train", description=__doc__.split("\n\n")[0])
    parser.add_argument("--kfall", help="KFall in its own layout (unpacked)")
    parser.add_argument("--sisfall", help="SisFall converted into the KFall layout")
    parser.add_argument("--fallalld", help="FallAllD converted into the KFall layout")
    parser.add_argument("--plan", default=folds.PROJECT_PLAN, help="fold plan (JSON; default: the project's, "
                        "training/fold_plan.json)")
    parser.add_argument("--cache", required=True, help="folder for the per-subject dumps and CV models")
    parser.add_argument("--dump-tool", required=True, help="the dump_windows program")
    parser.add_argument("--score-tool", required=True, help="the score_windows program")
    parser.add_argument("--cv", help="cross-validate these candidates (comma-separated names, 'chosen' "
                        "or 'all')")
    parser.add_argument("--folds", help="cross-validate on these folds only (comma-separated, from 1), "
                        "e.g. two processes side by side; the fits are kept, and a run over every fold "
                        "reads them and pools the figures")
    parser.add_argument("--out", help="fit on all subjects and write the model here")
    parser.add_argument("--candidate", default=candidates.CHOSEN, help="settings of the final fit "
                        "(default %s)" % candidates.CHOSEN)
    parser.add_argument("--subjects", nargs="*", help="final fit on these subjects only: DATASET:NAME,NAME "
                        "or DATASET:all")
    parser.add_argument("--report", help="write the figures here (JSON)")
    args = parser.parse_args(argv)
    if not args.cv and not args.out:
        parser.error("nothing to do: give --cv, --out or both")
    for tool in (args.dump_tool, args.score_tool):
        if not os.access(tool, os.X_OK):
            raise recording_cache.DataError("%s: not found or not executable" % tool)
    plan_folds = folds.load_plan(args.plan)
    candidates.settings_of(args.candidate)
    report = {}
    t0 = time.time()
    if args.cv:
        names = sorted(candidates.CANDIDATES) if args.cv == "all" else \
            [candidates.CHOSEN if n == "chosen" else n for n in args.cv.split(",")]
        for name in names:
            candidates.settings_of(name)
        report["frame_derivation"] = {}
        report["cross_validation"] = cross_validate(args, plan_folds, names, report["frame_derivation"])
    if args.out:
        report["final"] = train_final(args, plan_folds)
    report["seconds"] = round(time.time() - t0, 1)
    if args.report:
        with open(args.report, "w") as f:
            json.dump(report, f, indent=1)
        log("figures in %s" % args.report)
    return 0


if __name__ == "__main__":
    sys.exit(main())
