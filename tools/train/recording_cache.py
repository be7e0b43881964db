#!/usr/bin/python3
"""Every recording of a data set replayed once through the real detector and
kept as arrays, so that training and cross-validation never replay again.

A data set in the KFall layout (`sensor_data/SUBJECT/SxxTyyRzz.csv`) is
dumped with tools/dump_windows, one subject at a time, into
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

import csv
import hashlib
import os
import re
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE)))

import kfall_data  # noqa: E402
from tumblebench_logs import feature_dump  # noqa: E402

_TRIAL_NAME = re.compile(r"^S(\d+)T(\d\d)R(\d+)\.csv$")
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


def subject_table(root):
    """{name: (folder, age group)} from ROOT/subjects.csv, which converted
    data sets carry (columns folder, original_id, age_group among others);
    {} without it. A subject can then be named by its own id (SE01) or by
    its folder (SA51)."""
    path = os.path.join(root, "subjects.csv")
    table = {}
    if not os.path.isfile(path):
        return table
    with open(path, newline="") as f:
        for row in csv.DictReader(f):
            folder, original = row.get("folder"), row.get("original_id")
            if not folder or not original:
                raise kfall_data.DataError("%s: needs the columns folder and original_id" % path)
            group = row.get("age_group") or "young"
            table[original] = (folder, group)
            table[folder] = (folder, group)
    return table


def _kfall_labels(root, subject):
    path = os.path.join(root, "label_data", subject + "_label.xlsx")
    labels = kfall_data.read_fall_labels(path)
    return {key: (onset // 2, impact // 2) for key, (onset, impact) in labels.items()}


def _label_file_labels(root, subject):
    """{(task, trial): (onset, impact)} from the harness's label file
    SUBJECT_down.csv (task codes like S01T20, frames at 100 per second; 0 0
    means unknown)."""
    path = os.path.join(root, "sensor_data", subject, subject + "_down.csv")
    if not os.path.isfile(path):
        raise kfall_data.DataError("%s: label file not found" % path)
    labels = {}
    with open(path, newline="") as f:
        for number, row in enumerate(csv.reader(f), start=1):
            code = re.search(r"T(\d\d)$", row[0].strip()) if row else None
            if number == 1 or code is None:
                continue
            try:
                trial, onset, impact = int(row[2]), int(row[3]), int(row[4])
            except (IndexError, ValueError):
                raise kfall_data.DataError("%s line %d: trial, onset or impact is not a number" % (path, number))
            known = impact > 0
            labels[(int(code.group(1)), trial)] = (onset // 2, impact // 2) if known else (-1, -1)
    return labels


def _trials(root, subject):
    folder = os.path.join(root, "sensor_data", subject)
    out = []
    for name in sorted(os.listdir(folder)):
        m = _TRIAL_NAME.match(name)
        if m:
            out.append((os.path.join(folder, name), int(m.group(2)), int(m.group(3))))
    return out


def dump_subject(root, subject, tool, labels, log):
    trials = _trials(root, subject)
    if not trials:
        raise kfall_data.DataError("%s: no trial files of %s" % (root, subject))
    with tempfile.TemporaryDirectory(prefix="dump_") as tmp:
        pairs = [(path, os.path.join(tmp, "%d.csv" % i)) for i, (path, _, _) in enumerate(trials)]
        feature_dump.dump_recordings(tool, pairs)
        dumps = [feature_dump.load_dump(out) for _, out in pairs]
    names, tasks, onset, impact, length = [], [], [], [], []
    for (path, task, trial), dump in zip(trials, dumps):
        frames = (-1, -1)
        if kfall_data.is_fall_task(task):
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
        trial_folder = os.path.join(root, "sensor_data", trial_folder_name)
        if not os.path.isdir(trial_folder):
            raise kfall_data.DataError("%s: subject %s not found" % (root, subject))
        newest = max(os.path.getmtime(p) for p, _, _ in _trials(root, trial_folder_name))
        if not cache_is_current(path, tool_digest, newest):
            log("%s %s: dumping (%d of %d)" % (dataset, subject, number, len(subjects)))
            labels = (_kfall_labels(root, trial_folder_name) if dataset == "kfall"
                      else _label_file_labels(root, trial_folder_name))
            dump_subject(root, trial_folder_name, tool, labels, log).save(path, tool_digest)
        loaded = Subject.load(dataset, subject, path)
        loaded.group = group
        out.append(loaded)
    return out
