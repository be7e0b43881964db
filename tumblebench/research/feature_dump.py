"""Per-sample dumps of `dump_windows`: what the classifier holds for every
sample of a KFall-format trial, the detector's gate and rule inputs, and its
two scores, each column exact to the bit (floats as %.9g)."""

import os
import subprocess

import numpy as np

from .. import children, exit_status
from .rule_replay import RuleInputs

COLUMNS = ("index", "seqno", "acc_x500", "acc_y500", "acc_z500", "gyro_x", "gyro_y", "gyro_z",
           "raw_acc", "lpf_acc", "lpf_gyro", "vv", "roll", "pitch", "open", "mode", "normal", "down")
COL = {name: i for i, name in enumerate(COLUMNS)}


class DumpError(Exception):
    """A dump could not be made or read; `status` is the exit status it
    gives a command (3 when dump_windows refused the model or rule file, as
    tumblebench does)."""

    def __init__(self, message, status=exit_status.FAILED):
        super().__init__(message)
        self.status = status


def dump_recordings(tool, pairs, model=None, batch=200):
    """Runs dump_windows over (recording, output) pairs, a batch of them per
    process; with `model`, the detector runs that model file. The detector's
    console lines are discarded."""
    env = dict(os.environ)
    env.pop("TUMBLIX_MODEL", None)
    if model:
        env["TUMBLIX_MODEL"] = model
    for start in range(0, len(pairs), batch):
        args = [tool]
        for recording, output in pairs[start:start + batch]:
            args += [recording, output]
        done = children.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, errors="replace",
                            env=env)
        if done.returncode != 0:
            raise DumpError("dump_windows failed: %s" % done.stderr.strip(),
                            exit_status.MODEL_REFUSED if done.returncode == exit_status.MODEL_REFUSED
                            else exit_status.FAILED)


def load_dump(path):
    """The dump as a float64 array, one row per sample (empty for a trial
    without samples)."""
    data = np.loadtxt(path, delimiter=",", skiprows=1, dtype=np.float64, ndmin=2)
    if data.size == 0:
        return np.zeros((0, len(COLUMNS)))
    if data.shape[1] != len(COLUMNS):
        raise DumpError("%s: expected %d columns, found %d" % (path, len(COLUMNS), data.shape[1]))
    return data


def rule_inputs(dumps):
    """RuleInputs over the evaluated samples of a list of dumps (one per
    recording, in order), and the detector's own down score on them."""
    parts = []
    for number, dump in enumerate(dumps):
        evaluated = dump[dump[:, COL["open"]] > 0]
        parts.append(np.column_stack([np.full(len(evaluated), number), evaluated]))
    rows = np.concatenate(parts) if parts else np.zeros((0, len(COLUMNS) + 1))
    column = lambda name: rows[:, 1 + COL[name]]
    inputs = RuleInputs(recording=rows[:, 0].astype(np.int64), seqno=column("seqno").astype(np.int64),
                        lpf_acc=column("lpf_acc").astype(np.int64),
                        lpf_gyro=column("lpf_gyro").astype(np.int64), vv=column("vv").astype(np.float32),
                        roll=column("roll").astype(np.int64), pitch=column("pitch").astype(np.int64),
                        count=len(dumps))
    return inputs, column("down").astype(np.float32)
