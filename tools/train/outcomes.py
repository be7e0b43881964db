"""A model file judged on held-out recordings exactly as tumblebench would
judge it: the project's own classifier scores every evaluated window
(tools/score_windows), the rule replay finds each recording's first
detection, and the harness's outcome rules name the result. Then the
figures: per KFall-style data set (falls with onset and impact) sensitivity,
specificity, good share, lead before impact and false alarms per task; per
data set without fall frames (SisFall) daily activities without a false
alarm, overall and per age group, falls detected and false-alarm recordings
per hour of daily activity."""

import collections
import math
import os
import subprocess
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

from tumblebench_logs import rule_replay  # noqa: E402

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


def wilson(successes, n, z=1.959964):
    """Wilson score interval of a proportion (95 % by default)."""
    if n == 0:
        return (float("nan"), float("nan"))
    p = successes / n
    centre = (p + z * z / (2 * n)) / (1 + z * z / n)
    half = z * math.sqrt(p * (1 - p) / n + z * z / (4 * n * n)) / (1 + z * z / n)
    return (centre - half, centre + half)


def timed_figures(ws, frames, modes, outcome, select):
    """Figures of recordings with fall frames (KFall)."""
    r = np.nonzero(select)[0]
    fall = r[ws.is_fall[r]]
    adl = r[~ws.is_fall[r]]
    o = outcome
    detected = np.isin(o[fall], ["good", "soso", "early", "late"])
    in_time = fall[np.isin(o[fall], ["good", "soso"])]
    lead = ws.impact[in_time] - frames[in_time]
    fp = adl[o[adl] == "fp"]
    out = dict(
        falls=int(len(fall)), adl=int(len(adl)),
        detected=int(detected.sum()), good=int((o[fall] == "good").sum()),
        soso=int((o[fall] == "soso").sum()), early=int((o[fall] == "early").sum()),
        late=int((o[fall] == "late").sum()), fn=int((o[fall] == "fn").sum()),
        tn=int((o[adl] == "tn").sum()), fp=int(len(fp)),
        lead_quartiles=[float(v) for v in np.percentile(lead, [25, 50, 75])] if len(lead) else None,
        false_alarms_by_task=dict(sorted(collections.Counter(int(t) for t in ws.task[fp]).items())),
        false_alarm_modes=dict(sorted(collections.Counter(int(m) for m in modes[fp]).items())),
        false_alarm_recordings=[str(n) for n in ws.name[fp]],
        missed_recordings=[str(n) for n in ws.name[fall[o[fall] == "fn"]]],
        first_modes_falls=dict(sorted(collections.Counter(int(m) for m in modes[fall]).items())))
    out["sensitivity"] = out["detected"] / max(1, out["falls"])
    out["specificity"] = out["tn"] / max(1, out["adl"])
    out["good_share"] = out["good"] / max(1, out["falls"])
    out["median_lead"] = out["lead_quartiles"][1] if out["lead_quartiles"] else None
    return out


def untimed_figures(ws, frames, modes, outcome, select):
    """Figures of recordings without fall frames (SisFall): falls detected
    at any time, daily activities without a false alarm (overall and per age
    group), false-alarm recordings per hour of daily activity."""
    r = np.nonzero(select)[0]
    fall = r[ws.is_fall[r]]
    adl = r[~ws.is_fall[r]]
    o = outcome
    fp = adl[o[adl] == "fp"]
    out = dict(falls=int(len(fall)), adl=int(len(adl)),
               detected=int(np.isin(o[fall], ["detected", "good", "soso", "early", "late"]).sum()),
               fp=int(len(fp)), adl_hours=float(ws.seconds[adl].sum() / 3600.0),
               false_alarms_by_task=dict(sorted(collections.Counter(int(t) for t in ws.task[fp]).items())),
               false_alarm_recordings=[str(n) for n in ws.name[fp]],
               missed_recordings=[str(n) for n in ws.name[fall[o[fall] == "fn"]]])
    out["falls_detected"] = out["detected"] / max(1, out["falls"])
    out["adl_clean"] = 1.0 - out["fp"] / max(1, out["adl"])
    out["false_alarms_per_hour"] = out["fp"] / out["adl_hours"] if out["adl_hours"] > 0 else None
    for group in ("young", "elderly"):
        g = adl[ws.group[adl] == group]
        out["adl_%s" % group] = int(len(g))
        out["fp_%s" % group] = int((o[g] == "fp").sum())
        out["adl_clean_%s" % group] = 1.0 - out["fp_%s" % group] / len(g) if len(g) else None
    return out
