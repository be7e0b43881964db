"""The detector's decision rules replayed over dumped per-sample features, so
that a down score other than the one the detector computed (another model,
a shifted or scaled score) can be scored without replaying the recordings.

Only the first detection of a recording decides its outcome, and before it
nothing has fired: every trigger was tested and every run counter advanced
as the rules say. So the first detection is the first evaluated sample on
which one mode's condition holds under the no-fire history, and the history
itself (trigger windows, run lengths) can be computed for all samples at
once. Modes are taken in the order the detector tests them (6, 1, 8, 2, 7,
3, 4, 5), so the first fired mode is the one it reports.

The features are those of `dump_windows` (lpf_acc, lpf_gyro, roll, pitch as
integers, vv as the detector's float32) on the samples whose detection
window is open, the only ones the rules look at. Every comparison is made in
the precision the detector makes it: integers as integers, vv and the score
in float32 against float32 constants.
"""

from dataclasses import dataclass

import numpy as np

from .stats import outcome_of

F32 = np.float32

# The rules' thresholds, as the detector holds them.
X1_ACC, X1_GYRO, X1_VV = 80, 90, F32(6.5)
X2_ACC, X2_GYRO, X2_VV = 60, 20, F32(10.0)
TRIGGER_WINDOW_SAMPLES = 9
MODE6_VV = F32(21.3)
MODE1_ROLL, MODE1_PITCH_UP, MODE1_PITCH_DOWN, MODE1_P = 20, 25, -60, F32(0.67)
MODE8_PITCH, MODE8_P = 13, F32(0.53)
RUN_P, MODE2_VV, MODE2_ANGLE, MODE2_ACC, MODE2_VV_TILTED = F32(0.8), F32(2.91), 37, 100, F32(1.0)
MODE2_RUN = 2
MODE7_P, MODE7_RUN, MODE7_ACC = F32(0.9), 7, 95
MODE3_ACC, MODE3_VV, MODE3_P = 70, F32(9.0), F32(0.7)
MODE4_ACC, MODE4_VV, MODE4_P = 75, F32(10.0), F32(0.57)
MODE5_ACC, MODE5_VV, MODE5_P = 80, F32(15.0), F32(0.53)

MODE_ORDER = (6, 1, 8, 2, 7, 3, 4, 5)


@dataclass
class RuleInputs:
    """The evaluated samples of a set of recordings, in recording order and,
    within a recording, in sample order. `recording` numbers the recordings
    from 0 to `count` - 1; `seqno` is the detector's 1-based sample number."""
    recording: np.ndarray  # int
    seqno: np.ndarray      # int
    lpf_acc: np.ndarray    # int
    lpf_gyro: np.ndarray   # int
    vv: np.ndarray         # float32
    roll: np.ndarray       # int
    pitch: np.ndarray      # int
    count: int             # recordings, including those without an evaluated sample

    def __post_init__(self):
        self.vv = np.asarray(self.vv, dtype=F32)
        starts = np.ones(len(self.recording), dtype=bool)
        starts[1:] = self.recording[1:] != self.recording[:-1]
        self._starts = starts
        # What does not depend on the score is worked out once.
        self._x1_open = self._trigger_window(
            (self.lpf_acc < X1_ACC) & (self.lpf_gyro > X1_GYRO) & (self.vv > X1_VV))
        self._x2_open = self._trigger_window(
            (self.lpf_acc < X2_ACC) & (self.lpf_gyro > X2_GYRO) & (self.vv > X2_VV))
        self._mode6 = self._x1_open & (self.vv > MODE6_VV)
        self._mode1_pose = self._x1_open & ((np.abs(self.roll) > MODE1_ROLL) | (self.pitch > MODE1_PITCH_UP) |
                                            (self.pitch < MODE1_PITCH_DOWN))
        self._mode8_pose = self._x2_open & (self.pitch > MODE8_PITCH)
        self._mode2_motion = (self.vv > MODE2_VV) | (
            ((np.abs(self.roll) > MODE2_ANGLE) | (self.pitch > MODE2_ANGLE)) & (self.lpf_acc < MODE2_ACC) &
            (self.vv > MODE2_VV_TILTED))
        self._mode3_motion = (self.lpf_acc < MODE3_ACC) & (self.vv > MODE3_VV)
        self._mode4_motion = (self.lpf_acc < MODE4_ACC) & (self.vv > MODE4_VV)
        self._mode5_motion = (self.lpf_acc < MODE5_ACC) & (self.vv > MODE5_VV)

    def _trigger_window(self, trigger):
        """Open where the latest trigger of the same recording, on this
        evaluated sample or an earlier one, is fewer than 9 samples back."""
        index = np.arange(len(trigger))
        # Index of the latest trigger so far, -1 before the first; a
        # recording's start cuts the reach of the one before it.
        latest = np.where(trigger, index, -1)
        latest = np.maximum.accumulate(latest) if len(latest) else latest
        start_index = np.maximum.accumulate(np.where(self._starts, index, 0)) if len(index) else index
        valid = latest >= start_index
        frame = np.where(valid, self.seqno[np.maximum(latest, 0)], -1)
        return valid & (self.seqno - frame < TRIGGER_WINDOW_SAMPLES)

    def _run_lengths(self, holds):
        """How many evaluations in a row, ending with this one, `holds` held,
        counted within each recording."""
        index = np.arange(len(holds))
        # The last evaluation before this one on which the run was broken:
        # one that did not hold, or the sample before a recording's start.
        breaks = np.where(~holds, index, np.where(self._starts, index - 1, -1))
        if len(breaks):
            breaks = np.maximum.accumulate(breaks)
        return np.where(holds, index - breaks, 0)

    def score_conditions(self):
        """What each mode needs besides the down score, per evaluated sample:
        {'mode6': fires whatever the score, 'mode1', 'mode8', 'mode3', 'mode4',
        'mode5': the mode's other conditions hold, 'mode2_motion': the motion
        half of the mode 2 condition, 'mode7_acc': lpf_acc low enough for
        mode 7 to fire}. Training uses them to see where a score can matter."""
        return {"mode6": self._mode6, "mode1": self._mode1_pose, "mode8": self._mode8_pose,
                "mode3": self._mode3_motion, "mode4": self._mode4_motion, "mode5": self._mode5_motion,
                "mode2_motion": self._mode2_motion, "mode7_acc": self.lpf_acc < MODE7_ACC}

    def first_detections(self, p):
        """(frame, mode) per recording: the 0-based sample index and mode of
        the first detection, -1 and 0 where none fires. `p` is the down score
        of every evaluated sample (float32, as the detector reads it)."""
        p = np.asarray(p, dtype=F32)
        above_run = p > RUN_P
        mode2_run = self._run_lengths(above_run & self._mode2_motion)
        mode7_run = self._run_lengths(p > MODE7_P)
        fired = {
            6: self._mode6,
            1: self._mode1_pose & (p >= MODE1_P),
            8: self._mode8_pose & (p > MODE8_P),
            2: above_run & (mode2_run >= MODE2_RUN),
            7: above_run & (mode7_run > MODE7_RUN) & (self.lpf_acc < MODE7_ACC),
            3: self._mode3_motion & (p >= MODE3_P),
            4: self._mode4_motion & (p >= MODE4_P),
            5: self._mode5_motion & (p >= MODE5_P),
        }
        mode = np.zeros(len(p), dtype=np.int64)
        for m in reversed(MODE_ORDER):  # the earliest-tested mode wins
            mode = np.where(fired[m], m, mode)
        frames = np.full(self.count, -1, dtype=np.int64)
        modes = np.zeros(self.count, dtype=np.int64)
        hits = np.nonzero(mode)[0]
        if len(hits):
            recordings, first = np.unique(self.recording[hits], return_index=True)
            frames[recordings] = self.seqno[hits[first]] - 1
            modes[recordings] = mode[hits[first]]
        return frames, modes


# The outcome the harness gives a recording from its task, first detection
# (0-based frame, <= 0 for none), onset and impact.
score_outcome = outcome_of


def shifted_score(p, shift=0.0, scale=1.0):
    """The down score moved as a margin analysis asks, in float32 and kept in
    [0, 1]: scale first, then shift."""
    moved = np.asarray(p, dtype=F32) * F32(scale) + F32(shift)
    return np.clip(moved, F32(0.0), F32(1.0)).astype(F32)
