"""Writes recordings of any source data set in the KFall layout tumblebench walks.

    ROOT/sensor_data/SAxx/SxxTyyRzz.csv       one trial: g and deg/s at 100 per second
    ROOT/sensor_data/SAxx/SAxx_down.csv       the subject's fall trials
    ROOT/sensor_data/SAxx/SAxx_adl.csv        its daily-activity trials
    ROOT/sensor_data/SAxx/SAxx_all.csv        both, ordered by task and trial
    ROOT/subjects.csv                         folder -> source subject, age group, body
    ROOT/recordings.csv                       recording -> source file and activity
                                              (with DESCRIBED_RECORDING_COLUMNS also the
                                              activity's own name and fall or ADL)

A walk takes a subject folder only when its name has exactly four characters
and begins with "SA", and the harness reads a recording's task number from the
ninth and eighth characters from the end of its name, which "T<task>R<trial>"
with two-digit numbers on both sides puts there.

Nothing reaches ROOT before every subject of a run has been written: the run
is built in a staging folder inside ROOT and moved into place at the end, so an
interrupted or failed run leaves ROOT as it was, never a half data set that a
walk would score as if it were whole.
"""

import csv
import dataclasses
import os
import shutil
import tempfile
from dataclasses import dataclass
from typing import Optional

import numpy as np

from .. import kfall
from ..kfall import label_files, tables

RATE_PER_S = kfall.RECORDING_RATE_PER_S
SENSOR_DATA = kfall.SENSOR_DATA
TRIAL_HEADER = "TimeStamp(s),FrameCounter,AccX,AccY,AccZ,GyrX,GyrY,GyrZ"
SUBJECT_TABLE = tables.SUBJECTS_TABLE
SUBJECT_COLUMNS = tables.SUBJECT_COLUMNS
RECORDING_TABLE = tables.RECORDINGS_TABLE
RECORDING_COLUMNS = tables.RECORDING_COLUMNS
DESCRIBED_RECORDING_COLUMNS = tables.DESCRIBED_RECORDING_COLUMNS
CHANNELS = 6            # AccX, AccY, AccZ in g; GyrX, GyrY, GyrZ in deg/s


class LayoutError(Exception):
    """The output cannot be written as asked."""


@dataclass
class Subject:
    folder: str          # the subject folder's name in the layout, SAxx
    dataset: str
    original_id: str     # the subject's name in its own data set
    age_group: str       # "young", "elderly", "adult"
    # None where the source data set does not publish them per subject.
    age: Optional[int] = None
    sex: Optional[str] = None
    height_cm: Optional[float] = None
    weight_kg: Optional[float] = None


@dataclass
class Trial:
    task: int            # KFall task number
    trial: int           # trial number in the recording's name
    description: str
    activity: str        # the source data set's own activity code
    source: str          # the source file, for messages and recordings.csv
    samples: object      # (n, 6) at 100 per second: g, g, g, deg/s, deg/s, deg/s; an array or SampleBlocks
    onset_frame: int = 0     # at 100 per second; 0 and 0: no label
    impact_frame: int = 0
    activity_name: str = ""  # the source data set's own name for the activity


def check_folder_name(folder):
    if not kfall.is_subject_folder(folder) or not folder[2:].isalnum():
        raise LayoutError("subject folder name %r: a walk takes only four characters beginning "
                          "with \"SA\" (letters and digits)" % folder)


def recording_name(folder, task, trial):
    if kfall.task_name(task) == "":
        raise LayoutError("task %d is not a KFall task (%d to %d)" % (task, kfall.FIRST_TASK, kfall.LAST_TASK))
    if not 1 <= trial <= kfall.MAX_TRIAL:
        raise LayoutError("trial %d: trial numbers run from 1 to %d" % (trial, kfall.MAX_TRIAL))
    return kfall.recording_name(folder, task, trial)


def format_number(value):
    # The shortest text that reads back as the same double, as in KFall's own
    # files: sensor values that are whole counts stay exact, so the harness's
    # truncation to its own counts never loses one to a rounded decimal.
    return repr(value)


class SampleBlocks:
    """A trial's samples made block by block as they are written, so that a
    long recording is never in memory whole: its length, known beforehand,
    and a function that gives the blocks ((k, 6) arrays) in order."""

    def __init__(self, length, make_blocks):
        self.length, self.make_blocks = length, make_blocks

    def __len__(self):
        return self.length


def write_trial_file(path, samples):
    blocks = samples.make_blocks() if isinstance(samples, SampleBlocks) else [samples]
    frame = 0
    with open(path, "w", newline="\n") as stream:
        stream.write(TRIAL_HEADER + "\n")
        for block in blocks:
            block = np.asarray(block, dtype=np.float64)
            if block.ndim != 2 or block.shape[1] != CHANNELS:
                raise LayoutError("%s: expected %d channels per sample, got shape %s"
                                  % (path, CHANNELS, block.shape))
            if not np.isfinite(block).all():
                raise LayoutError("%s: samples that are not finite numbers" % path)
            for row in block.tolist():
                frame += 1
                stream.write("%.2f,%d,%s\n" % (frame / RATE_PER_S, frame, ",".join(map(format_number, row))))
    if frame != len(samples):
        raise LayoutError("%s: %d samples written where %d were announced" % (path, frame, len(samples)))


def write_csv(path, header, rows):
    with open(path, "w", newline="") as stream:
        writer = csv.writer(stream, lineterminator="\n")
        writer.writerow(header)
        writer.writerows(rows)


@dataclass
class SubjectCounts:
    recordings: int = 0
    daily_activities: int = 0
    falls: int = 0
    daily_activity_seconds: float = 0.0


class LayoutWriter:
    """Writes subjects into ROOT; nothing is visible there before commit().

    Use as a context manager: leaving it without commit() (an error, an
    interruption) removes everything staged."""

    def __init__(self, root, force=False, recording_columns=RECORDING_COLUMNS):
        self.root = os.path.abspath(root)
        self.force = force
        self.recording_columns = tuple(recording_columns)
        self._staging = None
        self._created_root = False
        self._subjects = {}
        self._recording_rows = []

    def __enter__(self):
        if os.path.exists(self.root) and not os.path.isdir(self.root):
            raise LayoutError("%s exists and is not a folder" % self.root)
        if os.path.isdir(self.root):
            present = sorted(os.listdir(self.root))
            if present and not self.force:
                shown = ", ".join(present[:3]) + (", ..." if len(present) > 3 else "")
                raise LayoutError("%s is not empty (%s); --force writes into it, replacing the subject "
                                  "folders converted now and keeping the others" % (self.root, shown))
            # A table this converter cannot merge is found before any work is done.
            self._kept_rows(SUBJECT_TABLE, SUBJECT_COLUMNS, set())
            self._kept_rows(RECORDING_TABLE, self.recording_columns, set())
        else:
            os.makedirs(self.root)
            self._created_root = True
        self._staging = tempfile.mkdtemp(prefix=".staging-", dir=self.root)
        return self

    def __exit__(self, *_):
        if self._staging:
            shutil.rmtree(self._staging, ignore_errors=True)
            self._staging = None
        if self._created_root and not os.listdir(self.root):
            os.rmdir(self.root)
        return False

    def staging_area(self, name):
        """A scratch folder inside the staging area, removed with it."""
        path = os.path.join(self._staging, name)
        os.makedirs(path, exist_ok=True)
        return path

    def add_subject(self, subject, trials):
        """Writes one subject's trials (an iterable, consumed one at a time)
        and label files into the staging area; returns its SubjectCounts."""
        check_folder_name(subject.folder)
        if subject.folder in self._subjects:
            raise LayoutError("two subjects would share the folder %s (%s and %s)"
                              % (subject.folder, self._subjects[subject.folder].original_id,
                                 subject.original_id))
        folder_path = os.path.join(self._staging, SENSOR_DATA, subject.folder)
        os.makedirs(folder_path)
        written = {}
        listed = []
        counts = SubjectCounts()
        for trial in trials:
            name = recording_name(subject.folder, trial.task, trial.trial)
            if name in written:
                raise LayoutError("%s and %s would both be %s/%s"
                                  % (written[name], trial.source, subject.folder, name))
            written[name] = trial.source
            write_trial_file(os.path.join(folder_path, name), trial.samples)
            samples = len(trial.samples)
            seconds = samples / RATE_PER_S
            counts.recordings += 1
            if kfall.is_fall(trial.task):
                counts.falls += 1
            else:
                counts.daily_activities += 1
                counts.daily_activity_seconds += seconds
            row = {"folder": subject.folder, "recording": name, "task": trial.task,
                   "trial": trial.trial, "dataset": subject.dataset,
                   "original_id": subject.original_id, "activity": trial.activity,
                   "source": trial.source, "samples": samples, "seconds": "%.2f" % seconds,
                   "activity_name": trial.activity_name, "fall_or_adl": kfall.task_class(trial.task)}
            self._recording_rows.append([row[column] for column in self.recording_columns])
            listed.append(dataclasses.replace(trial, samples=None))  # one recording in memory
        rows = label_files.label_rows(subject.folder, [(t.task, t.trial, t.description, t.onset_frame,
                                                        t.impact_frame) for t in listed])
        for kind, kind_rows in rows.items():
            label_files.write_label_file(os.path.join(folder_path, kfall.label_file_name(subject.folder, kind)),
                                         kind_rows)
        self._subjects[subject.folder] = subject
        return counts

    def commit(self):
        """Moves the staged subject folders into ROOT (replacing folders of the
        same names) and writes the subject and recording tables, keeping the
        rows of subjects converted earlier whose folders are still there."""
        target_data = os.path.join(self.root, SENSOR_DATA)
        new_folders = set(self._subjects)
        kept_subjects = self._kept_rows(SUBJECT_TABLE, SUBJECT_COLUMNS, new_folders)
        kept_recordings = self._kept_rows(RECORDING_TABLE, self.recording_columns, new_folders)
        os.makedirs(target_data, exist_ok=True)
        replaced = os.path.join(self._staging, "replaced")
        os.makedirs(replaced)
        for folder in sorted(new_folders):
            target = os.path.join(target_data, folder)
            if os.path.lexists(target):
                os.rename(target, os.path.join(replaced, folder))
            os.rename(os.path.join(self._staging, SENSOR_DATA, folder), target)
        subject_rows = kept_subjects + [
            [s.folder, s.dataset, s.original_id, s.age_group, s.age, s.sex, s.height_cm, s.weight_kg]
            for s in self._subjects.values()]
        recording_rows = kept_recordings + self._recording_rows
        self._write_table(SUBJECT_TABLE, SUBJECT_COLUMNS, sorted(subject_rows, key=lambda r: r[0]))
        self._write_table(RECORDING_TABLE, self.recording_columns,
                          sorted(recording_rows, key=lambda r: (r[0], r[1])))

    def _kept_rows(self, table, columns, new_folders):
        path = os.path.join(self.root, table)
        if not os.path.exists(path):
            return []
        with open(path, newline="") as stream:
            rows = list(csv.reader(stream))
        if not rows or tuple(rows[0]) != columns:
            raise LayoutError("%s is not a table this converter wrote (its first line is not %s); "
                              "remove it or choose another output folder" % (path, ",".join(columns)))
        return [row for row in rows[1:] if row and row[0] not in new_folders
                and os.path.isdir(os.path.join(self.root, SENSOR_DATA, row[0]))]

    def _write_table(self, table, columns, rows):
        handle, temporary = tempfile.mkstemp(prefix=".table-", dir=self._staging)
        os.close(handle)
        write_csv(temporary, columns, rows)
        os.chmod(temporary, 0o644)
        os.replace(temporary, os.path.join(self.root, table))
