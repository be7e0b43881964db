"""Every recording of a data set replayed once through the real detector and
kept as arrays, so that training and cross-validation never replay again.

A data set in the KFall layout (`sensor_data/SUBJECT/SxxTyyRzz.csv`) is
dumped with dump_windows, one subject at a time, into
`CACHE/DATASET/SUBJECT.npz`. Per sample the cache holds what the classifier
stores for it (acceleration in g x 500, angular rate in deg/s) and what the
decision rules read (raw_acc, lpf_acc, lpf_gyro, vv, roll, pitch, the open
detection window). None of it depends on the model, so one dump serves every
candidate. A subject is dumped again when its cache file is missing, older
than a trial file of its folder, or made by another dump_windows (a changed
detector dumps other features).

Labels come with the data set: KFall's spreadsheets (`label_data/SAxx_label.xlsx`,
onset and impact at 100 per second) or the per-subject label files
`SUBJECT_down.csv` that the SisFall converter writes, whose falls carry no
frames (onset and impact 0 0). Frames are halved to the 50-per-second stream
as the harness halves them; a fall without frames keeps onset and impact -1.
"""

import hashlib
import os
import tempfile

import numpy as np

from .. import kfall
from ..kfall import label_files, spreadsheets, tables
from ..research import feature_dump

CACHE_VERSION = 2


class Subject:
    """One subject's recordings, sample arrays concatenated in recording
    order; `start[r]` is the first sample of recording r."""

    FIELDS = ("names", "tasks", "onset", "impact", "start", "length", "channels", "raw_acc",
              "lpf_acc", "lpf_gyro", "vv", "roll", "pitch", "open")

    def __init__(self, dataset, name, **arrays):
        self.dataset = dataset
        self.name = name
        for field in self.FIELDS:
            setattr(self, field, arrays[field])

    @property
    def count(self):
        return len(self.names)

    def save(self, path, tool_digest):
        tmp = path + ".part"
        with open(tmp, "wb") as f:
            np.savez(f, version=CACHE_VERSION, tool=tool_digest, **{k: getattr(self, k) for k in self.FIELDS})
        os.replace(tmp, path)

    @classmethod
    def load(cls, dataset, name, path):
        with np.load(path, allow_pickle=False) as z:
            return cls(dataset, name, **{k: z[k] for k in cls.FIELDS})


def cache_is_current(path, tool_digest, newest_trial):
    """True when the cache file exists, is newer than every trial file and
    was made by this version of the cache and this dump tool."""
    if not os.path.isfile(path) or os.path.getmtime(path) < newest_trial:
        return False
    try:
        with np.load(path, allow_pickle=False) as z:
            return int(z["version"]) == CACHE_VERSION and str(z["tool"]) == tool_digest
    except (OSError, KeyError, ValueError):
        return False


def file_digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


class DataError(Exception):
    """The training's input cannot be used."""


def subject_table(root):
    """{name: (folder, age group)} from ROOT/subjects.csv, which converted
    data sets carry; {} without it. A subject can then be named by its own
    id (SE01) or by its folder (SA51); a subject without a group is young."""
    path = os.path.join(root, tables.SUBJECTS_TABLE)
    if not os.path.isfile(path):
        return {}
    try:
        rows, _ = tables.read_subjects(path)
    except tables.TableError as e:
        raise DataError(str(e))
    table = {}
    for row in rows.values():
        entry = (row.folder, row.age_group or "young")
        if row.original_id:
            table[row.original_id] = entry
        table[row.folder] = entry
    return table


def _labels(dataset, root, subject):
    """{(task, trial): (onset, impact)} of a subject's falls as sample indexes
    of the replayed stream, (-1, -1) where the frames are unknown: from
    KFall's spreadsheet, or from the label file SUBJECT_down.csv that the
    converters write."""
    try:
        if dataset == "kfall":
            return spreadsheets.read_stream_frames(spreadsheets.subject_spreadsheet(root, subject))
        frames = label_files.read_stream_frames(
            os.path.join(root, kfall.SENSOR_DATA, subject, kfall.label_file_name(subject, "down")))
    except (spreadsheets.SpreadsheetError, label_files.LabelFileError) as e:
        raise DataError(str(e))
    return {key: value if value is not None else (-1, -1) for key, value in frames.items()}


def _trials(root, subject):
    folder = os.path.join(root, kfall.SENSOR_DATA, subject)
    out = []
    for name in sorted(os.listdir(folder)):
        parts = kfall.trial_file_parts(name)
        if parts:
            out.append((os.path.join(folder, name),) + parts)
    return out


def dump_subject(root, subject, tool, labels, log):
    trials = _trials(root, subject)
    if not trials:
        raise DataError("%s: no trial files of %s" % (root, subject))
    with tempfile.TemporaryDirectory(prefix="dump_") as tmp:
        pairs = [(path, os.path.join(tmp, "%d.csv" % i)) for i, (path, _, _) in enumerate(trials)]
        feature_dump.dump_recordings(tool, pairs)
        dumps = [feature_dump.load_dump(out) for _, out in pairs]
    names, tasks, onset, impact, length = [], [], [], [], []
    for (path, task, trial), dump in zip(trials, dumps):
        frames = (-1, -1)
        if kfall.is_fall(task):
            if (task, trial) not in labels:
                log("%s: fall trial without a label row: onset and impact unknown" % os.path.basename(path))
            frames = labels.get((task, trial), (-1, -1))
        names.append(os.path.basename(path))
        tasks.append(task)
        onset.append(frames[0])
        impact.append(frames[1])
        length.append(len(dump))
    rows = np.concatenate(dumps)
    c = feature_dump.COL
    length = np.array(length, dtype=np.int64)
    return Subject(
        "", subject, names=np.array(names), tasks=np.array(tasks, dtype=np.int64),
        onset=np.array(onset, dtype=np.int64), impact=np.array(impact, dtype=np.int64),
        start=np.concatenate([[0], np.cumsum(length)[:-1]]).astype(np.int64), length=length,
        channels=rows[:, c["acc_x500"]:c["gyro_z"] + 1].astype(np.float32),
        raw_acc=rows[:, c["raw_acc"]].astype(np.int32), lpf_acc=rows[:, c["lpf_acc"]].astype(np.int32),
        lpf_gyro=rows[:, c["lpf_gyro"]].astype(np.int32), vv=rows[:, c["vv"]].astype(np.float32),
        roll=rows[:, c["roll"]].astype(np.int32), pitch=rows[:, c["pitch"]].astype(np.int32),
        open=rows[:, c["open"]] > 0)


def load_dataset(dataset, root, subjects, tool, cache_dir, log):
    """The given subjects of the data set at `root`, dumped where the cache
    lacks them. `dataset` names the cache folder and the label source:
    'kfall' reads the spreadsheets, anything else the label files. Each
    Subject keeps the name it was asked for and gets its age `group`
    ('young' unless the data set's subjects.csv says otherwise)."""
    folder = os.path.join(cache_dir, dataset)
    os.makedirs(folder, exist_ok=True)
    table = subject_table(root)
    tool_digest = file_digest(tool)
    out = []
    for number, subject in enumerate(subjects, start=1):
        trial_folder_name, group = table.get(subject, (subject, "young"))
        path = os.path.join(folder, trial_folder_name + ".npz")
        trial_folder = os.path.join(root, kfall.SENSOR_DATA, trial_folder_name)
        if not os.path.isdir(trial_folder):
            raise DataError("%s: subject %s not found" % (root, subject))
        newest = max(os.path.getmtime(p) for p, _, _ in _trials(root, trial_folder_name))
        if not cache_is_current(path, tool_digest, newest):
            log("%s %s: dumping (%d of %d)" % (dataset, subject, number, len(subjects)))
            labels = _labels(dataset, root, trial_folder_name)
            dump_subject(root, trial_folder_name, tool, labels, log).save(path, tool_digest)
        loaded = Subject.load(dataset, subject, path)
        loaded.group = group
        out.append(loaded)
    return out
