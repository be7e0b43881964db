"""A run folder, as `evaluate` writes it, and what the summary learns from
it about a run beyond its console log: the manifest (model, program, data
set, arguments), each recording's subject folder and activity, each
subject's age group.

    manifest.json         provenance of the run
    run.log               tumblebench's standard output, byte for byte
    tumblebench.stderr    tumblebench's standard error
    recordings.csv        recording -> subject folder, activity
    subjects.csv          subject folder -> age group (copied from the data set, when it has one)
    model.tflite          the model file the run used (none for the built-in model)
    data/sensor_data/SAxx the mirror the run walked: links to the recordings, label files, traces
    features/SAxx/*.csv   per-sample features (with --dump-features), for the threshold sweep
    results.csv, summary.txt, summary.png, summary.html
"""

import json
import os
from dataclasses import dataclass, field

from .. import kfall
from ..kfall import tables

MANIFEST = "manifest.json"
LOG = "run.log"
HARNESS_STDERR = "tumblebench.stderr"
MODEL = "model.tflite"
DATA = "data"
WALK_ROOT = os.path.join(DATA, kfall.SENSOR_DATA)
FEATURES = "features"


class RunFolderError(Exception):
    """A path that is neither a console log nor a run folder with one."""


def locate(path):
    """(log path, run folder or None) for a log file or a run folder."""
    if os.path.isdir(path):
        log = os.path.join(path, LOG)
        if not os.path.isfile(log):
            raise RunFolderError("%s is a folder without a %s: not a run folder" % (path, LOG))
        return log, path
    folder = os.path.dirname(os.path.abspath(path))
    return path, folder if os.path.isfile(os.path.join(folder, MANIFEST)) else None


def read_manifest(folder):
    """The manifest as a dict, None when the folder has none."""
    path = os.path.join(folder, MANIFEST)
    if not os.path.isfile(path):
        return None
    try:
        with open(path, encoding="utf-8") as f:
            manifest = json.load(f)
    except (OSError, ValueError) as e:
        raise RunFolderError("%s cannot be read: %s" % (path, e))
    if not isinstance(manifest, dict):
        raise RunFolderError("%s is not a run manifest" % path)
    return manifest


@dataclass
class RunContext:
    """What is known about a run's recordings besides its log."""
    name: str
    folder: str = None
    manifest: dict = None
    recordings: dict = field(default_factory=dict)  # recording key -> {"subject": ..., "activity": ...}
    subject_groups: dict = field(default_factory=dict)  # subject folder -> age group
    notes: list = field(default_factory=list)

    def subject_of(self, rec):
        """The subject folder from the recordings table, else the subject of
        a KFall-style name (S06), else None."""
        entry = self.recordings.get(kfall.recording_key(rec.path))
        if entry and entry.get("subject"):
            return entry["subject"]
        number, _ = kfall.name_parts(rec.path)
        return None if number is None else "S%02d" % number

    def group_of(self, rec):
        subject = self.subject_of(rec)
        if subject is None or not self.subject_groups:
            return None
        if subject in self.subject_groups:
            return self.subject_groups[subject]
        # A name like S06 finds the folder SA06 by its number, unless two
        # folders with that number are in different groups.
        number = kfall.subject_number(subject)
        groups = {g for folder, g in self.subject_groups.items()
                  if kfall.subject_number(folder) == number}
        return groups.pop() if len(groups) == 1 else None

    def activity_of(self, rec):
        entry = self.recordings.get(kfall.recording_key(rec.path))
        return entry.get("activity") if entry else None


def load_context(log_path, folder=None, subjects_table=None, recordings_table=None):
    """The context of a run: from its folder when it has one, and from
    tables named explicitly, which take precedence."""
    manifest = read_manifest(folder) if folder else None
    name = (manifest or {}).get("name") or (os.path.basename(os.path.abspath(folder)) if folder else log_path)
    context = RunContext(name=name, folder=folder, manifest=manifest)
    subjects = subjects_table or _beside(folder, tables.SUBJECTS_TABLE)
    recordings = recordings_table or _beside(folder, tables.RECORDINGS_TABLE)
    try:
        if subjects:
            rows, notes = tables.read_subjects(subjects)
            context.subject_groups = tables.age_groups(rows)
            context.notes += notes
        if recordings:
            context.recordings, notes = tables.read_recordings(recordings)
            context.notes += notes
    except OSError as e:
        raise RunFolderError("%s: %s" % (e.filename, e.strerror or e))
    except tables.TableError as e:
        raise RunFolderError(str(e))
    return context


def _beside(folder, name):
    if folder is None:
        return None
    path = os.path.join(folder, name)
    return path if os.path.isfile(path) else None
