"""How KFall and the harness name things: subject folders, trial files,
label files and the trace a replay writes beside each recording."""

import os
import re

# The download's two folders: subject folders of trial files, and the
# label spreadsheets.
SENSOR_DATA = "sensor_data"
LABEL_DATA = "label_data"
LABEL_KINDS = ("down", "adl", "all")
TRACE_SUFFIX = "_DSV.csv"
MAX_TRIAL = 99   # two digits keep the task digits where the harness reads them

# S06T20R01.csv, or any name ending so; the subject and trial, for tables.
_RECORDING_NAME = re.compile(r"S(?P<subject>\d+)T(?P<task>\d+)R(?P<trial>-?\d+)\.[^./\\]*$")
# A trial file as KFall and the converters write it.
_TRIAL_FILE = re.compile(r"(?P<prefix>.+)T(?P<task>\d\d)R(?P<trial>\d{2,})\.csv")
_LABEL_FILE = re.compile(r"(?P<subject>.+)_(?P<kind>down|adl|all)\.csv")


def is_subject_folder(name):
    """The harness walks a folder only when its name has exactly four
    characters and begins with SA."""
    return len(name) == 4 and name.startswith("SA")


def recording_prefix(subject):
    """KFall names subject SA06's trials S06T..R..csv."""
    return "S" + subject[2:] if subject.startswith("SA") else subject


def task_code(subject, task):
    """The label files' task code: S06T20 for subject SA06, task 20."""
    return "%sT%02d" % (recording_prefix(subject), task)


def recording_name(subject, task, trial):
    """The trial file the harness opens for a label line ("%sR%02d.csv")."""
    return "%sR%02d.csv" % (task_code(subject, task), trial)


def trial_file_parts(name, prefix=None):
    """(task, trial) of a trial file (of the subject whose names start with
    prefix, S06, when one is given), None for other names; the trial may
    have more digits than the two the harness writes."""
    m = _TRIAL_FILE.fullmatch(name)
    if not m or (m.group("prefix") != prefix if prefix else not re.fullmatch(r"S\d+", m.group("prefix"))):
        return None
    return int(m.group("task")), int(m.group("trial"))


def name_parts(path):
    """Subject number and trial from a KFall-style recording name
    (S06T20R01.csv); None, None for names of another form."""
    m = _RECORDING_NAME.search(path)
    if not m:
        return None, None
    return int(m.group("subject")), int(m.group("trial"))


def recording_key(path):
    """The name a recording goes by in every table: its file name without
    folder and extension (S06T20R01 for sensor_data/SA06/S06T20R01.csv)."""
    base = os.path.basename(path.replace("\\", "/"))
    stem, extension = os.path.splitext(base)
    return stem if extension.lower() in (".csv", ".txt") else base


def subject_number(folder):
    """The number a subject folder ends in (SA06 -> 6), None without one."""
    m = re.search(r"(\d+)$", folder)
    return int(m.group(1)) if m else None


def label_file_name(subject, kind):
    return "%s_%s.csv" % (subject, kind)


def label_file_subject(name):
    """The subject of a label file name (SA06_down.csv -> SA06), None for
    other names."""
    m = _LABEL_FILE.fullmatch(os.path.basename(name))
    return m.group("subject") if m else None


def trace_name(recording):
    """The trace a replay writes: the recording's name less its last four
    characters, whatever they are, plus _DSV.csv."""
    return recording[:-4] + TRACE_SUFFIX


def recording_of_trace(trace):
    """The recording a trace belongs to, for the data sets' .csv recordings."""
    return trace[:-len(TRACE_SUFFIX)] + ".csv" if trace.endswith(TRACE_SUFFIX) else trace
