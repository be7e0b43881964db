"""A model file judged on held-out recordings exactly as tumblebench would
judge it: the project's own classifier scores every evaluated window
(score_windows), the rule replay finds each recording's first detection,
and the harness's outcome rules name the result. Then the figures, counted
by the research tools' own tallies and Wilson intervals (the figures every
run summary states): per KFall-style data set (falls with onset and impact)
sensitivity, specificity, good share, lead before impact and false alarms
per task; per data set without fall frames (SisFall, FallAllD) daily activities
without a false alarm, overall and per age group (SisFall's young and
elderly, FallAllD's adults), falls detected and false-alarm recordings per
hour of daily activity."""

import collections
import os
import subprocess
import tempfile

import numpy as np

from ..research import breakdowns, rule_replay

CHUNK = 200000


def exact_scores(tool, model_path, ws, index=None):
    """Down score (float32) of the given windows (all by default), from the
    project's classifier."""
    index = np.arange(len(ws.frame)) if index is None else np.asarray(index)
    out = np.empty(len(index), dtype=np.float32)
    with tempfile.TemporaryDirectory(prefix="score_") as tmp:
        inputs, outputs = os.path.join(tmp, "in.f32"), os.path.join(tmp, "out.f32")
        for lo in range(0, len(index), CHUNK):
            part = index[lo:lo + CHUNK]
            ws.windows(part).astype("<f4").tofile(inputs)
            done = subprocess.run([tool, model_path, inputs, outputs], stderr=subprocess.PIPE, text=True)
            if done.returncode != 0:
                raise RuntimeError("score_windows failed: %s" % done.stderr.strip())
            scores = np.fromfile(outputs, dtype="<f4").reshape(-1, 2)
            if len(scores) != len(part):
                raise RuntimeError("score_windows gave %d scores for %d windows" % (len(scores), len(part)))
            out[lo:lo + len(part)] = scores[:, 1]
    return out


def recording_outcomes(ws, down):
    """(frame, mode, outcome) per recording for down scores of every
    evaluated window. Falls without labelled frames (none, or derived from
    the signal) are 'detected' or 'fn'."""
    frames, modes = ws.rules.first_detections(down)
    outcome = []
    for r in range(ws.count):
        if ws.is_fall[r] and (ws.impact[r] < 0 or ws.derived[r]):
            outcome.append("detected" if frames[r] > 0 else "fn")
        else:
            outcome.append(rule_replay.score_outcome(int(ws.task[r]), int(frames[r]), int(ws.onset[r]),
                                                     int(ws.impact[r])))
    return frames, modes, np.array(outcome)


def tally(ws, frames, outcome, recordings):
    """The research tools' Tally of the given recordings. A fall whose frames
    are not labels (none, or derived from the signal) counts as detected or
    missed, its timing unknown, as a summary counts a fall without a label."""
    def scored(r):
        timed = ws.is_fall[r] and ws.impact[r] >= 0 and not ws.derived[r]
        return breakdowns.Scored(is_fall=bool(ws.is_fall[r]), detected=bool(frames[r] > 0),
                                 onset=int(ws.onset[r]) if timed else 0, outcome=str(outcome[r]),
                                 samples=int(ws.samples[r]))
    return breakdowns.tally(scored(r) for r in recordings)


def _quartiles(values):
    quartiles = breakdowns.quartiles([int(v) for v in values])
    return None if quartiles is None else [float(q) for q in quartiles]


def timed_figures(ws, frames, modes, outcome, select):
    """Figures of recordings with fall frames (KFall)."""
    r = np.nonzero(select)[0]
    fall = r[ws.is_fall[r]]
    adl = r[~ws.is_fall[r]]
    t = tally(ws, frames, outcome, r)
    in_time = fall[np.isin(outcome[fall], ["good", "soso"])]
    lead = ws.impact[in_time] - frames[in_time]
    fp = adl[outcome[adl] == "fp"]
    out = dict(
        falls=t.falls, adl=t.adl, detected=t.tp, good=t.good, soso=t.labelled["soso"],
        early=t.labelled["early"], late=t.labelled["late"], fn=t.fn, tn=t.tn, fp=t.fp,
        lead_quartiles=_quartiles(lead),
        false_alarms_by_task=dict(sorted(collections.Counter(int(task) for task in ws.task[fp]).items())),
        false_alarm_modes=dict(sorted(collections.Counter(int(m) for m in modes[fp]).items())),
        false_alarm_recordings=[str(n) for n in ws.name[fp]],
        missed_recordings=[str(n) for n in ws.name[fall[outcome[fall] == "fn"]]],
        first_modes_falls=dict(sorted(collections.Counter(int(m) for m in modes[fall]).items())),
        sensitivity=t.sensitivity, specificity=t.specificity, good_share=t.good_share,
        sensitivity_wilson95=t.sensitivity_interval, specificity_wilson95=t.specificity_interval)
    out["median_lead"] = out["lead_quartiles"][1] if out["lead_quartiles"] else None
    return out


def untimed_figures(ws, frames, modes, outcome, select):
    """Figures of recordings without fall frames (SisFall, FallAllD): falls
    detected at any time, daily activities without a false alarm (overall
    and per age group: SisFall's young and elderly, FallAllD's adults),
    false-alarm recordings per hour of daily activity."""
    r = np.nonzero(select)[0]
    fall = r[ws.is_fall[r]]
    adl = r[~ws.is_fall[r]]
    t = tally(ws, frames, outcome, r)
    fp = adl[outcome[adl] == "fp"]
    out = dict(falls=t.falls, adl=t.adl, detected=t.tp, fp=t.fp, adl_hours=t.adl_hours,
               false_alarms_by_task=dict(sorted(collections.Counter(int(task) for task in ws.task[fp]).items())),
               false_alarm_modes=dict(sorted(collections.Counter(int(m) for m in modes[fp]).items())),
               false_alarm_recordings=[str(n) for n in ws.name[fp]],
               missed_recordings=[str(n) for n in ws.name[fall[outcome[fall] == "fn"]]],
               falls_detected=t.sensitivity, adl_clean=t.specificity,
               false_alarms_per_hour=t.false_alarms_per_hour)
    for group in sorted(set(ws.group[r])):
        g = tally(ws, frames, outcome, adl[ws.group[adl] == group])
        out["adl_%s" % group] = g.adl
        out["fp_%s" % group] = g.fp
        out["adl_clean_%s" % group] = g.specificity
    return out
