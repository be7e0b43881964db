#!/usr/bin/python3
"""KFall recordings as the fall model's training data.

Every trial file is replayed through tools/dump_windows, which runs the
harness's own KFall reader and the real detector and writes, per sample, the
values the classifier holds and the detector's gate. Windows are built from
that dump, so training sees exactly what a replay feeds the model.
"""

import concurrent.futures
import os
import re
import subprocess

import numpy as np

WINDOW = 25
CHANNELS = 6
FIRST_FALL_TASK = 20
LAST_FALL_TASK = 34

# Columns of the dump_windows output.
DUMP_COLUMNS = ("index", "seqno", "acc_x500", "acc_y500", "acc_z500", "gyro_x", "gyro_y",
                "gyro_z", "raw_acc", "lpf_acc", "lpf_gyro", "vv", "roll", "pitch", "open", "mode",
                "normal", "down")
COL = {name: i for i, name in enumerate(DUMP_COLUMNS)}

_TRIAL_NAME = re.compile(r"^S(\d\d)T(\d\d)R(\d+)\.csv$")
_TASK_CODE = re.compile(r"\((\d+)\)")


class DataError(Exception):
    pass


def is_fall_task(task):
    return FIRST_FALL_TASK <= task <= LAST_FALL_TASK


def list_subjects(kfall_root):
    sensor = os.path.join(kfall_root, "sensor_data")
    if not os.path.isdir(sensor):
        raise DataError("%s: no sensor_data folder (unpack the recordings first)" % kfall_root)
    subjects = sorted(d for d in os.listdir(sensor)
                      if re.fullmatch(r"SA\d\d", d) and os.path.isdir(os.path.join(sensor, d)))
    if not subjects:
        raise DataError("%s: no subject folders SAxx in sensor_data" % kfall_root)
    return subjects


def list_trials(kfall_root, subject):
    """(path, task, trial) of every trial file of a subject, sorted by name."""
    folder = os.path.join(kfall_root, "sensor_data", subject)
    trials = []
    for name in sorted(os.listdir(folder)):
        m = _TRIAL_NAME.match(name)
        if m:
            trials.append((os.path.join(folder, name), int(m.group(2)), int(m.group(3))))
    return trials


def read_fall_labels(xlsx_path):
    """{(task, trial): (onset, impact)} in frames at 100 per second.

    The task code ("F01 (20)") stands only on the first row of a task's
    block and is carried down to the rows below it."""
    import openpyxl  # only needed here; the rest of the pipeline runs without it

    if not os.path.isfile(xlsx_path):
        raise DataError("%s: label spreadsheet not found" % xlsx_path)
    book = openpyxl.load_workbook(xlsx_path, read_only=True, data_only=True)
    sheet = book.worksheets[0]
    labels = {}
    task = None
    rows = sheet.iter_rows(values_only=True)
    header = next(rows, None)
    if header is None or str(header[0]).strip() != "Task Code (Task ID)":
        raise DataError("%s: unexpected header %r" % (xlsx_path, header))
    for number, row in enumerate(rows, start=2):
        if row is None or all(v is None for v in row[:5]):
            continue
        code, _, trial, onset, impact = (tuple(row) + (None,) * 5)[:5]
        if code is not None and str(code).strip():
            m = _TASK_CODE.search(str(code))
            if not m:
                raise DataError("%s row %d: task code %r has no task number" %
                                (xlsx_path, number, code))
            task = int(m.group(1))
        if task is None:
            raise DataError("%s row %d: trial before the first task code" % (xlsx_path, number))
        try:
            key = (task, int(trial))
            labels[key] = (int(onset), int(impact))
        except (TypeError, ValueError):
            raise DataError("%s row %d: trial, onset or impact is not a number: %r" %
                            (xlsx_path, number, row[:5]))
    book.close()
    return labels


def dump_recording(tool, recording, out_path):
    """Runs dump_windows on one recording; the detector's console lines are
    discarded, errors are raised with the tool's message."""
    done = subprocess.run([tool, recording, out_path], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise DataError("dump_windows failed on %s: %s" % (recording, done.stderr.strip()))
    return out_path


def load_dump(path):
    data = np.loadtxt(path, delimiter=",", skiprows=1, dtype=np.float64, ndmin=2)
    if data.shape[1] != len(DUMP_COLUMNS):
        raise DataError("%s: expected %d columns, found %d" % (path, len(DUMP_COLUMNS),
                                                                data.shape[1]))
    return data


class Recording:
    """One trial: its dump, task, and label (sample indexes at 50 per second,
    None for ADL trials)."""

    def __init__(self, subject, name, task, trial, dump, label):
        self.subject = subject
        self.name = name
        self.task = task
        self.trial = trial
        self.dump = dump
        self.label = label

    @property
    def is_fall(self):
        return is_fall_task(self.task)

    def channels(self):
        """[n, 6] float32: what the classifier holds per sample."""
        return self.dump[:, COL["acc_x500"]:COL["gyro_z"] + 1].astype(np.float32)

    def open_indexes(self):
        return np.nonzero(self.dump[:, COL["open"]] > 0)[0]

    def windows(self, indexes):
        """[len(indexes), 150] float32: the 25 samples ending at each index,
        oldest first, in the classifier's flat order (t * 6 + k)."""
        ch = self.channels()
        idx = np.asarray(indexes)
        if idx.size and idx.min() < WINDOW - 1:
            raise ValueError("a window needs %d samples before its end" % (WINDOW - 1))
        rows = idx[:, None] + np.arange(-(WINDOW - 1), 1)[None, :]
        return ch[rows].reshape(len(idx), WINDOW * CHANNELS)


def load_recordings(kfall_root, tool, work_dir, subjects, jobs=2, log=print):
    """Dumps and loads every trial of the given subjects. Fall trials without
    a label row are skipped and reported: without onset and impact they can
    be neither labelled nor scored."""
    recordings = []
    jobs_list = []
    for subject in subjects:
        labels = read_fall_labels(os.path.join(kfall_root, "label_data", subject + "_label.xlsx"))
        out_dir = os.path.join(work_dir, "dumps", subject)
        os.makedirs(out_dir, exist_ok=True)
        for path, task, trial in list_trials(kfall_root, subject):
            label = None
            if is_fall_task(task):
                frames = labels.get((task, trial))
                if frames is None:
                    log("skipped %s: fall trial without a label row" % os.path.basename(path))
                    continue
                # Frames at 100 per second become sample indexes of the
                # thinned stream, as the label-file runs halve them.
                label = (frames[0] // 2, frames[1] // 2)
            out = os.path.join(out_dir, os.path.basename(path))
            jobs_list.append((subject, path, task, trial, label, out))
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        futures = [pool.submit(dump_recording, tool, j[1], j[5]) for j in jobs_list]
        for f in futures:
            f.result()
    for subject, path, task, trial, label, out in jobs_list:
        recordings.append(Recording(subject, os.path.basename(path), task, trial,
                                    load_dump(out), label))
    return recordings
