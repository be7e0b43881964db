"""Margin analysis of a run: the detector's decision rules replayed over the
run's dumped per-sample features with the down score shifted or scaled,
every recording scored as the harness scores it, and the figures that move:
sensitivity, share of labelled falls detected in good time, false alarms
per hour of daily activity.

Nothing here is trusted until it reproduces the run itself: at shift 0 and
scale 1 every recording must get the first detection (frame and mode) and
the outcome that tumblebench printed, and its dump must have as many
samples as the run fed the detector."""

import csv
import io
import os
from dataclasses import dataclass

import numpy as np

from .. import kfall
from ..kfall import tables
from . import breakdowns, feature_dump, plotting, rule_replay, run_folder


class SweepError(Exception):
    """The run cannot be swept: no dumps, or dumps that do not match it;
    `status` is the exit status it gives."""

    def __init__(self, message, status=2):
        super().__init__(message)
        self.status = status


@dataclass
class SweepInputs:
    recordings: list         # scored Recording of the log, in log order
    inputs: object           # RuleInputs over their evaluated samples
    score: np.ndarray        # the detector's own down score on those samples (float32)
    samples: np.ndarray      # samples per recording, from its dump
    task: np.ndarray
    onset: np.ndarray
    impact: np.ndarray


def dump_paths(folder, context, recordings):
    """The dump of every scored recording: features/<subject folder>/<name>."""
    paths = []
    for rec in recordings:
        entry = context.recordings.get(kfall.recording_key(rec.path))
        if not entry or not entry.get("subject"):
            raise SweepError("%s is not in the run's %s: its subject folder, and so its dump, is unknown"
                             % (rec.path, tables.RECORDINGS_TABLE))
        paths.append(os.path.join(folder, run_folder.FEATURES, entry["subject"], os.path.basename(rec.path)))
    return paths


def dump_missing(folder, context, recordings, tool, model, report):
    """Dumps the features of the recordings whose dump is missing, from the
    run's own mirror and with the run's own model."""
    pairs = []
    for rec, out in zip(recordings, dump_paths(folder, context, recordings)):
        if not os.path.isfile(out):
            subject = os.path.basename(os.path.dirname(out))
            pairs.append((os.path.join(folder, run_folder.WALK_ROOT, subject, os.path.basename(rec.path)), out))
    pairs = sorted(set(pairs))
    for _, out in pairs:
        os.makedirs(os.path.dirname(out), exist_ok=True)
    if pairs:
        report("dumping the features of %d recording(s) into %s" % (len(pairs), os.path.join(folder,
                                                                                           run_folder.FEATURES)))
        try:
            feature_dump.dump_recordings(tool, pairs, model=model)
        except feature_dump.DumpError as e:
            raise SweepError(str(e), e.status)
    return len(pairs)


def load(folder, context, recordings):
    paths = dump_paths(folder, context, recordings)
    missing = [p for p in paths if not os.path.isfile(p)]
    if missing:
        raise SweepError("%d of %d dumps are missing (first: %s); run evaluate with --dump-features, or give "
                         "sweep_thresholds --dump" % (len(missing), len(paths), missing[0]))
    cache = {}
    dumps, lengths = [], []
    for path in paths:
        if path not in cache:
            try:
                dump = feature_dump.load_dump(path)
            except (OSError, ValueError, feature_dump.DumpError) as e:
                raise SweepError("%s cannot be read: %s" % (path, e))
            # Only the samples the rules look at are kept, and the length.
            cache[path] = (dump[dump[:, feature_dump.COL["open"]] > 0], len(dump))
        dumps.append(cache[path][0])
        lengths.append(cache[path][1])
    inputs, score = feature_dump.rule_inputs(dumps)
    return SweepInputs(recordings=recordings, inputs=inputs, score=score,
                       samples=np.array(lengths, dtype=np.int64),
                       task=np.array([r.task for r in recordings], dtype=np.int64),
                       onset=np.array([r.onset for r in recordings], dtype=np.int64),
                       impact=np.array([r.impact for r in recordings], dtype=np.int64))


def outcomes(data, frames):
    return [rule_replay.score_outcome(t, f, o, i) for t, f, o, i in zip(data.task, frames, data.onset, data.impact)]


def disagreements(data):
    """Recordings on which the replay at the detector's own setting does not
    give what tumblebench printed: (path, what the run says, what the
    replay gives)."""
    frames, modes = data.inputs.first_detections(data.score)
    found = outcomes(data, frames)
    bad = []
    for rec, frame, mode, outcome, samples in zip(data.recordings, frames, modes, found, data.samples):
        run_frame = rec.first_frame if rec.first_frame > 0 else 0
        if (max(int(frame), 0), int(mode), outcome) != (run_frame, rec.first_mode, rec.outcome):
            bad.append((rec.path, "frame %d, mode %d, %s" % (run_frame, rec.first_mode, rec.outcome),
                        "frame %d, mode %d, %s" % (max(int(frame), 0), int(mode), outcome)))
        elif rec.samples is not None and rec.samples != samples:
            bad.append((rec.path, "%d samples" % rec.samples, "a dump of %d samples" % samples))
    return bad


@dataclass
class Point:
    shift: float
    scale: float
    tally: object   # breakdowns.Tally
    in_time: int


def evaluate_point(data, shift, scale):
    frames, _ = data.inputs.first_detections(rule_replay.shifted_score(data.score, shift, scale))
    found = outcomes(data, frames)
    tally = breakdowns.tally(breakdowns.Scored(kfall.is_fall(t), f > 0, o, out, n) for t, f, o, out, n in
                             zip(data.task, frames, data.onset, found, data.samples))
    return Point(shift=shift, scale=scale, tally=tally, in_time=sum(o in ("good", "soso") for o in found))


def sweep(data, shifts, scales, report=None):
    points = []
    for scale in scales:
        for shift in shifts:
            points.append(evaluate_point(data, shift, scale))
        if report:
            report("scale %g: %d shifts done" % (scale, len(shifts)))
    return points


CSV_HEADER = ("shift", "scale", "falls", "detected", "sensitivity_pct", "labelled_falls", "good", "good_pct",
              "in_time_pct", "adl", "false_alarms", "specificity_pct", "adl_hours", "false_alarms_per_hour")


def _pct(fraction):
    return "" if fraction is None else "%.2f" % (100 * fraction)


def csv_rows(points):
    for p in points:
        t = p.tally
        yield ("%g" % p.shift, "%g" % p.scale, t.falls, t.tp, _pct(t.sensitivity), t.labelled_falls, t.good,
               _pct(t.good_share), _pct(p.in_time / t.labelled_falls if t.labelled_falls else None), t.adl, t.fp,
               _pct(t.specificity), "%.4f" % t.adl_hours,
               "" if t.false_alarms_per_hour is None else "%.3f" % t.false_alarms_per_hour)


def write_csv(points, path):
    with open(path, "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f)
        writer.writerow(CSV_HEADER)
        writer.writerows(csv_rows(points))


def labelled(points):
    """Whether the swept recordings hold labelled falls, which alone have a
    good share: a set that only says which trials are falls has none."""
    return any(p.tally.labelled_falls for p in points)


UNLABELLED_NOTE = "no labelled falls (onset and impact): the good share is left out"


def _rate(text):
    return "%s%%" % text if text else "n/a"


def text_table(points):
    timed = labelled(points)
    out = ["  %6s %6s  %11s  %s%14s  %11s" % ("shift", "scale", "sensitivity", "%9s  " % "good" if timed else "",
                                            "false alarms/h", "specificity")]
    for row in csv_rows(points):
        out.append("  %6s %6s  %11s  %s%14s  %11s" % (row[0], row[1], _rate(row[4]),
                                                    "%9s  " % _rate(row[7]) if timed else "", row[13] or "n/a",
                                                    _rate(row[11])))
    if not timed:
        out.append("  note: " + UNLABELLED_NOTE)
    return "\n".join(out) + "\n"


def draw(points, path, title):
    plt = plotting.pyplot()
    panels = [("sensitivity", lambda t: t.sensitivity)]
    if labelled(points):
        panels.append(("good share of labelled falls", lambda t: t.good_share))
    else:
        title = "%s (%s)" % (title, UNLABELLED_NOTE)
    fig, axes = plt.subplots(1, len(panels), figsize=(6 * len(panels), 5), layout="constrained", squeeze=False)
    scales = sorted({p.scale for p in points})
    colours = plt.get_cmap("viridis")(np.linspace(0, 0.9, len(scales)))
    for ax, (what, value) in zip(axes[0], panels):
        for scale, colour in zip(scales, colours):
            line = sorted((p for p in points if p.scale == scale), key=lambda p: p.shift)
            xy = [(p.tally.false_alarms_per_hour, 100 * value(p.tally), p.shift) for p in line
                  if p.tally.false_alarms_per_hour is not None and value(p.tally) is not None]
            if not xy:
                continue
            ax.plot([x for x, _, _ in xy], [y for _, y, _ in xy], "-o", markersize=3, color=colour,
                    label="scale %g" % scale)
            # The shifts at both ends say which way the line runs.
            for x, y, shift in (xy[0], xy[-1]):
                ax.annotate("%+g" % shift, (x, y), textcoords="offset points", xytext=(4, 2), fontsize=6,
                            color=colour)
        own = [p for p in points if p.shift == 0 and p.scale == 1]
        if own and own[0].tally.false_alarms_per_hour is not None and value(own[0].tally) is not None:
            ax.plot([own[0].tally.false_alarms_per_hour], [100 * value(own[0].tally)], "*", color="tab:red",
                    markersize=12, label="the detector's own setting")
        ax.set_xlabel("false alarms per hour of daily activity")
        ax.set_ylabel("%s (%%)" % what)
        ax.set_title(what, fontsize=10)
        ax.legend(fontsize=7)
        ax.grid(alpha=0.3)
    fig.suptitle("%s; one line per scale of the down score, labels: the shift at its ends" % title, fontsize=10)
    if path is None:
        buf = io.BytesIO()
        fig.savefig(buf, format="png", dpi=90)
        plt.close(fig)
        return buf.getvalue()
    plotting.save(fig, path)
    return None
