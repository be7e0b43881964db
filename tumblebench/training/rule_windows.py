"""The evaluated windows of a set of recordings, with what the decision
rules can do with each one's down score.

The detector reads the down score only on samples whose detection window is
open, and there a score decides nothing unless a mode's other conditions
hold. Per evaluated sample this module gives:

- `single_threshold`: the lowest down-score threshold among the one-sample
  modes whose other conditions hold there (mode 1: 0.67 in an X1 window with
  the pose condition; mode 8: 0.53 in an X2 window with pitch > 13; mode 3:
  0.7; mode 4: 0.57; mode 5: 0.53), or NEVER where none does;
- `mode2_pair`: mode 2's motion condition holds here and on the evaluation
  before it in the same recording, so scores above 0.8 on both fire mode 2;
- `mode7_run`: the 7 evaluations before this one belong to the same
  recording and lpf_acc is below 95 here, so scores above 0.9 on all eight
  fire mode 7;
- `mode6`: mode 6 fires here whatever the score.

The conditions come from the rule replay (research.rule_replay), the one
Python copy of the rules; its `first_detections` gives the exact outcome
of any score, these arrays only steer training.
"""

import numpy as np

from .. import kfall
from ..research import rule_replay

WINDOW = 25    # samples per model input, oldest first
CHANNELS = 6   # acceleration x, y, z (g x 500), angular rate x, y, z (deg/s)
NEVER = 2.0  # above any score: no one-sample mode can fire
SINGLE_MODE_THRESHOLDS = (("mode1", rule_replay.MODE1_P), ("mode8", rule_replay.MODE8_P),
                          ("mode3", rule_replay.MODE3_P), ("mode4", rule_replay.MODE4_P),
                          ("mode5", rule_replay.MODE5_P))
MODE2_THRESHOLD = float(rule_replay.RUN_P)
MODE7_THRESHOLD = float(rule_replay.MODE7_P)
MODE7_RUN = rule_replay.MODE7_RUN + 1  # evaluations in a row above the threshold
GOOD_LEAD_SAMPLES = 5  # a detection this many samples before impact or more is "good"


class WindowSet:
    """Evaluated windows of some subjects' recordings, recording by recording
    in sample order. Per window: `position` (its newest sample in
    `channels`), `recording`, `frame` (0-based sample index in its
    recording) and the rule arrays above. Per recording: `task`, `onset`,
    `impact` (-1 when unknown), `is_fall`, `dataset`, `subject`, `group`,
    `samples`, `seconds`, `name`, `derived` (onset and impact come from the signal,
    not from a label), and `first`/`end`, its slice of the windows."""

    def __init__(self, subjects):
        chans, parts, recs = [], [], []
        base = 0
        rec_base = 0
        for s in subjects:
            chans.append(s.channels)
            for r in range(s.count):
                lo, n = int(s.start[r]), int(s.length[r])
                frames = np.nonzero(s.open[lo:lo + n])[0]
                parts.append(dict(position=base + lo + frames, recording=np.full(len(frames), rec_base + r),
                                  frame=frames, lpf_acc=s.lpf_acc[lo + frames],
                                  lpf_gyro=s.lpf_gyro[lo + frames], vv=s.vv[lo + frames],
                                  roll=s.roll[lo + frames], pitch=s.pitch[lo + frames]))
                derived = getattr(s, "derived", None)
                recs.append((s.dataset, s.name, getattr(s, "group", "young"), str(s.names[r]), int(s.tasks[r]),
                             int(s.onset[r]), int(s.impact[r]), n,
                             bool(derived[r]) if derived is not None else False))
            base += len(s.channels)
            rec_base += s.count
        self.channels = np.concatenate(chans) if chans else np.zeros((0, CHANNELS), np.float32)
        cat = lambda key, dtype: (np.concatenate([p[key] for p in parts]).astype(dtype) if parts
                                  else np.zeros(0, dtype))
        self.position = cat("position", np.int64)
        self.recording = cat("recording", np.int64)
        self.frame = cat("frame", np.int64)
        self.count = len(recs)
        self.dataset = np.array([r[0] for r in recs])
        self.subject = np.array([r[1] for r in recs])
        self.group = np.array([r[2] for r in recs])
        self.name = np.array([r[3] for r in recs])
        self.task = np.array([r[4] for r in recs], dtype=np.int64)
        self.onset = np.array([r[5] for r in recs], dtype=np.int64)
        self.impact = np.array([r[6] for r in recs], dtype=np.int64)
        self.samples = np.array([r[7] for r in recs], dtype=np.int64)
        self.seconds = self.samples / kfall.SAMPLES_PER_SECOND
        self.derived = np.array([r[8] for r in recs], dtype=bool)
        self.is_fall = np.isin(self.task, np.asarray(kfall.FALL_TASKS))
        counts = np.bincount(self.recording, minlength=self.count)
        self.end = np.cumsum(counts)
        self.first = self.end - counts

        self.rules = rule_replay.RuleInputs(
            recording=self.recording, seqno=self.frame + 1, lpf_acc=cat("lpf_acc", np.int64),
            lpf_gyro=cat("lpf_gyro", np.int64), vv=cat("vv", np.float32), roll=cat("roll", np.int64),
            pitch=cat("pitch", np.int64), count=self.count)
        cond = self.rules.score_conditions()
        threshold = np.full(len(self.frame), NEVER, dtype=np.float32)
        for key, value in SINGLE_MODE_THRESHOLDS:
            threshold = np.where(cond[key], np.minimum(threshold, np.float32(value)), threshold)
        self.single_threshold = threshold
        self.mode6 = cond["mode6"]
        same_as_previous = np.zeros(len(self.frame), dtype=bool)
        same_as_previous[1:] = self.recording[1:] == self.recording[:-1]
        motion = cond["mode2_motion"]
        self.mode2_pair = motion & same_as_previous & np.roll(motion, 1)
        index_in_recording = np.arange(len(self.frame)) - self.first[self.recording] if len(self.frame) else \
            np.zeros(0, np.int64)
        self.mode7_run = cond["mode7_acc"] & (index_in_recording >= MODE7_RUN - 1)

    def windows(self, index, stretch=None, length=WINDOW):
        """[len(index), 150] float32 model inputs of the given windows. With
        `stretch` (one factor per window), the window ending at the same
        sample spans `stretch` times as many samples, read by linear
        interpolation (never before its recording's first sample): the same
        movement made faster or slower. With `length`, that many samples
        end at the window's sample (a wider context; samples before the
        recording's first repeat the first)."""
        if length != WINDOW:
            if stretch is not None:
                raise ValueError("a stretched window has the classifier's length")
            steps = np.arange(-(length - 1), 1)
            first = self.position[index] - self.frame[index]
            rows = np.maximum(self.position[index][:, None] + steps[None, :], first[:, None])
            return self.channels[rows].reshape(len(index), length * CHANNELS)
        steps = np.arange(-(WINDOW - 1), 1)
        if stretch is None:
            rows = self.position[index][:, None] + steps[None, :]
            return self.channels[rows].reshape(len(index), WINDOW * CHANNELS)
        end = self.position[index]
        first = end - self.frame[index]
        at = np.maximum(end[:, None] + steps[None, :] * np.asarray(stretch, dtype=np.float64)[:, None],
                        first[:, None])
        low = np.floor(at).astype(np.int64)
        high = np.minimum(low + 1, end[:, None])
        frac = (at - low)[:, :, None]
        mixed = self.channels[low] * (1.0 - frac) + self.channels[high] * frac
        return mixed.astype(np.float32).reshape(len(index), WINDOW * CHANNELS)

    def down_targets(self, after_impact_ignored=12):
        """Per window: 1 from onset to before impact of a fall, -1 (not
        trained on) for the dozen windows after impact and every window of a
        fall without frames, 0 elsewhere."""
        r = self.recording
        onset, impact = self.onset[r], self.impact[r]
        fall = self.is_fall[r]
        known = impact >= 0
        target = np.zeros(len(r), dtype=np.int8)
        target[fall & known & (self.frame >= onset) & (self.frame < impact)] = 1
        target[fall & known & (self.frame >= impact) & (self.frame < impact + after_impact_ignored)] = -1
        target[fall & ~known] = -1
        return target

    def window_roles(self, derived_onset_slack=10):
        """Per window, where its recording's outcome is decided: 'bad' where
        a detection is a false alarm or early (daily activities; falls
        before onset, or before onset - derived_onset_slack where the onset
        was derived from the signal and may be off by that much), 'good'
        where a detection is in time for a fall (onset <= frame <= impact -
        5), 'any' for falls without frames (any detection counts), 'none'
        elsewhere."""
        r = self.recording
        onset, impact = self.onset[r], self.impact[r]
        fall = self.is_fall[r]
        known = impact >= 0
        bad_before = onset - np.where(self.derived[r], derived_onset_slack, 0)
        role = np.full(len(r), "none", dtype="<U4")
        role[~fall] = "bad"
        role[fall & known & (self.frame < bad_before)] = "bad"
        role[fall & known & (self.frame >= onset) & (self.frame <= impact - GOOD_LEAD_SAMPLES)] = "good"
        role[fall & ~known] = "any"
        return role
