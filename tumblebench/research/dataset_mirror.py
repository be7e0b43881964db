"""A data set in KFall's layout, found wherever the user points, and its
mirror inside a run folder: the subject folders the harness walks, with a
link per recording, the label files, and room for the traces, so that the
recordings stay untouched and two runs never write into each other.

Layouts accepted:
  kfall-download    ROOT/sensor_data/SAxx/ with ROOT/label_data/SAxx_label.xlsx
  subject-folders   ROOT/SAxx/ (a sensor_data folder, or a generated data set)
  packed            ROOT/sensor_data/SAxx.tar.xz with ROOT/unpack.sh, unpacked into the run folder
"""

import os
import re
import shutil
import subprocess
from dataclasses import dataclass, field

from .. import children, kfall
from ..kfall import label_files, spreadsheets, tables

WALK_ARGUMENT = {"all": "-r", "down": "-r1", "adl": "-r2"}
LINK_MODES = ("auto", "symlink", "hardlink", "copy")
_ARCHIVE = ".tar.xz"


class DataSetError(Exception):
    """The data set cannot be found, or not what was asked of it."""


@dataclass
class DataSet:
    root: str
    layout: str
    subjects_dir: str          # the folder that holds the subject folders (or their archives)
    subjects: list             # subject names available, sorted
    label_dirs: list = field(default_factory=list)  # folders that may hold SAxx_label.xlsx
    ignored: list = field(default_factory=list)     # folders the harness would not walk
    subjects_table: str = None
    recordings_table: str = None


def _subject_dirs(folder):
    names, ignored = [], []
    for entry in os.scandir(folder):
        if not entry.is_dir():
            continue
        if kfall.is_subject_folder(entry.name):
            names.append(entry.name)
        elif re.fullmatch(r"[A-Za-z]{2}\d+", entry.name):
            ignored.append(entry.name)
    return sorted(names), sorted(ignored)


def find_data_set(root):
    root = os.path.abspath(root)
    if not os.path.isdir(root):
        raise DataSetError("%s is not a folder" % root)
    sensor = os.path.join(root, kfall.SENSOR_DATA)
    data = None
    if os.path.isdir(sensor):
        archives = sorted(n[:-len(_ARCHIVE)] for n in os.listdir(sensor) if n.endswith(_ARCHIVE)
                          and kfall.is_subject_folder(n[:-len(_ARCHIVE)]))
        subjects, ignored = _subject_dirs(sensor)
        if archives and not subjects:
            if not os.access(os.path.join(root, "unpack.sh"), os.X_OK):
                raise DataSetError("%s holds packed subjects (%s...) but no executable unpack.sh beside it"
                                   % (sensor, archives[0] + _ARCHIVE))
            data = DataSet(root=root, layout="packed", subjects_dir=sensor, subjects=archives)
        else:
            data = DataSet(root=root, layout="kfall-download", subjects_dir=sensor, subjects=subjects,
                           ignored=ignored)
    else:
        subjects, ignored = _subject_dirs(root)
        data = DataSet(root=root, layout="subject-folders", subjects_dir=root, subjects=subjects, ignored=ignored)
    if not data.subjects:
        raise DataSetError("no subject folder found in %s: a subject folder is a folder whose name has four "
                           "characters and begins with SA (SA06), as in KFall's sensor_data%s"
                           % (data.subjects_dir, "; these are not: " + ", ".join(data.ignored)
                              if data.ignored else ""))
    # Where kfall_label looks for the spreadsheets, seen from a subject folder.
    parent = os.path.dirname(data.subjects_dir)
    data.label_dirs = [d for d in (data.subjects_dir, os.path.join(data.subjects_dir, kfall.LABEL_DATA),
                                   os.path.join(parent, kfall.LABEL_DATA)) if os.path.isdir(d)]
    for folder in (root, data.subjects_dir):
        for name, attribute in ((tables.SUBJECTS_TABLE, "subjects_table"),
                                (tables.RECORDINGS_TABLE, "recordings_table"), ("metadata.csv",
                                                                                        "recordings_table")):
            path = os.path.join(folder, name)
            if getattr(data, attribute) is None and os.path.isfile(path):
                setattr(data, attribute, path)
    return data


def data_set_names(data, subjects):
    """{data set name: subject folders} of the chosen subjects, and where the
    names come from: the dataset column of the data set's subject table (as
    the converters write it: SisFall, FallAllD; named in lower case), else
    "kfall" for a data set with KFall's label spreadsheets; ({}, None) when
    neither tells."""
    if data.subjects_table:
        try:
            rows, _ = tables.read_subjects(data.subjects_table)
        except (OSError, tables.TableError):
            rows = {}
        named = {s: rows[s].dataset.lower() for s in subjects if s in rows and rows[s].dataset}
        if named and len(named) == len(subjects):
            by_name = {}
            for subject in subjects:
                by_name.setdefault(named[subject], []).append(subject)
            return by_name, "the dataset column of %s" % data.subjects_table
    for folder in data.label_dirs:
        if any(os.path.isfile(os.path.join(folder, spreadsheets.spreadsheet_name(s))) for s in subjects):
            return {"kfall": list(subjects)}, "KFall's label spreadsheets in %s" % folder
    return {}, None


def label_activities(walk_root, subjects, kind):
    """{recording key: (activity code, activity name)} of the trials whose
    label-file description names the source data set's own activity (as
    converted data sets write them), and the notes on label files that could
    not be read."""
    found, notes = {}, []
    for subject in subjects:
        path = os.path.join(walk_root, subject, kfall.label_file_name(subject, kind))
        if not os.path.isfile(path):
            continue
        try:
            for task, trial, description, _, _ in label_files.read_trial_lines(path):
                named = label_files.source_activity(description)
                if named:
                    found[kfall.recording_key(kfall.recording_name(subject, task, trial))] = named[1:]
        except label_files.LabelFileError as e:
            notes.append("activity names: %s" % e)
    return found, notes


def select_subjects(data, lists):
    """The subjects named by `lists` (each "SA06", "SA06,SA08" or a range
    "SA06-SA21"), in name order; all of them without lists."""
    if not lists:
        return list(data.subjects)
    chosen = set()
    for subject_list in lists:
        for part in filter(None, (p.strip() for p in subject_list.split(","))):
            m = re.fullmatch(r"([A-Za-z]+)(\d+)-([A-Za-z]+)?(\d+)", part)
            if m:
                prefix, first, last = m.group(1), int(m.group(2)), int(m.group(4))
                if m.group(3) and m.group(3) != prefix:
                    raise DataSetError("%s: a range runs between subjects of one prefix" % part)
                hits = [s for s in data.subjects if s.startswith(prefix) and s[len(prefix):].isdigit()
                        and first <= int(s[len(prefix):]) <= last]
                if not hits:
                    raise DataSetError("no subject of %s in %s (there are %s)" % (part, data.subjects_dir,
                                                                                 ", ".join(data.subjects)))
                chosen.update(hits)
            elif part in data.subjects:
                chosen.add(part)
            else:
                raise DataSetError("subject %s is not in %s (there are %s)" % (part, data.subjects_dir,
                                                                               ", ".join(data.subjects)))
    return sorted(chosen)


def _place(source, target, mode):
    """Puts a recording into the mirror; returns the way it was placed."""
    if mode in ("auto", "symlink"):
        try:
            os.symlink(os.path.realpath(source), target)
            return "symlink"
        except OSError:
            if mode == "symlink":
                raise
    if mode in ("auto", "hardlink"):
        try:
            os.link(os.path.realpath(source), target)
            return "hardlink"
        except OSError:
            if mode == "hardlink":
                raise
    shutil.copyfile(source, target)
    return "copy"


@dataclass
class Mirror:
    walk_root: str
    recordings: dict = field(default_factory=dict)   # recording key -> subject folder
    placed: dict = field(default_factory=dict)       # way of placing -> count
    label_files_copied: int = 0
    skipped_traces: int = 0
    ambiguous: set = field(default_factory=set)      # names found in more than one subject folder

    def add(self, name, subject):
        key = kfall.recording_key(name)
        if key in self.ambiguous:
            return
        if self.recordings.get(key, subject) != subject:
            # The log names recordings without their folder: such a name
            # cannot be traced to its subject.
            del self.recordings[key]
            self.ambiguous.add(key)
        else:
            self.recordings[key] = subject


def build_mirror(data, subjects, data_folder, link_mode="auto", report=None):
    """Mirrors the chosen subjects into data_folder/sensor_data (and their
    label spreadsheets into data_folder/label_data); returns the Mirror."""
    walk_root = os.path.join(data_folder, kfall.SENSOR_DATA)
    labels = os.path.join(data_folder, kfall.LABEL_DATA)
    mirror = Mirror(walk_root=walk_root)
    if data.layout == "packed":
        done = children.run([os.path.join(data.root, "unpack.sh"), data_folder] + list(subjects),
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")
        if done.returncode != 0:
            raise DataSetError("unpack.sh failed: %s" % done.stdout.strip())
        mirror.placed["unpacked"] = 0
        for subject in subjects:
            for name in os.listdir(os.path.join(walk_root, subject)):
                if not name.endswith(kfall.TRACE_SUFFIX):
                    mirror.add(name, subject)
                    mirror.placed["unpacked"] += 1
        return mirror

    os.makedirs(walk_root)
    os.makedirs(labels)
    for subject in subjects:
        source_dir = os.path.join(data.subjects_dir, subject)
        target_dir = os.path.join(walk_root, subject)
        os.mkdir(target_dir)
        for entry in sorted(os.scandir(source_dir), key=lambda e: e.name):
            if not entry.is_file():
                continue
            target = os.path.join(target_dir, entry.name)
            if entry.name.endswith(kfall.TRACE_SUFFIX):
                # A trace of an earlier run in place: this run writes its own.
                mirror.skipped_traces += 1
            elif entry.name.startswith(subject + "_") and entry.name.endswith(".csv"):
                # Label files are copied: the run may convert or rewrite its own.
                shutil.copyfile(entry.path, target)
                mirror.label_files_copied += 1
            else:
                way = _place(entry.path, target, link_mode)
                mirror.placed[way] = mirror.placed.get(way, 0) + 1
                mirror.add(entry.name, subject)
        for folder in data.label_dirs:
            name = spreadsheets.spreadsheet_name(subject)
            sheet = os.path.join(folder, name)
            if os.path.isfile(sheet) and not os.path.exists(os.path.join(labels, name)):
                _place(sheet, os.path.join(labels, name), link_mode)
        if report:
            report("%s mirrored" % subject)
    return mirror


def convert_labels(walk_root, subjects, kind, converter_dir, report):
    """Runs the label converter where the wanted label file is missing, as
    the walk itself would ("kfall_label SAxx_down.csv" in the subject
    folder), so that the run folder holds the converted files and the
    listed trials can be counted before the run. Returns {subject: trials
    listed}; a subject without a usable label file lists 0."""
    env = dict(os.environ)
    env["PATH"] = converter_dir + os.pathsep + env.get("PATH", "")
    listed = {}
    for subject in subjects:
        folder = os.path.join(walk_root, subject)
        path = os.path.join(folder, kfall.label_file_name(subject, kind))
        if not os.path.isfile(path):
            try:
                done = children.run(["kfall_label", kfall.label_file_name(subject, "down")], cwd=folder, env=env,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")
                for line in done.stdout.splitlines():
                    report("%s: %s" % (subject, line))
                outcome = "exit status %d" % done.returncode
            except FileNotFoundError:
                outcome = "kfall_label is neither beside tumblebench (%s) nor on PATH" % converter_dir
            if not os.path.isfile(path):
                report("%s: no %s after the label converter (%s); the walk will skip this subject"
                       % (subject, kfall.label_file_name(subject, kind), outcome))
                listed[subject] = 0
                continue
        with open(path, encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()[1:]
        listed[subject] = sum(1 for line in lines if line.strip())
    return listed
