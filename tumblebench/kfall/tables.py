"""Optional tables that come with a data set and say more than the recording
names do: which age group each subject belongs to (`subjects.csv`) and what
activity each recording shows (`recordings.csv`). The converters write them
with the columns below; a run folder keeps a recordings table of its own.

Both are read tolerantly, since they are written by hand or by converters of
other data sets: column names in any case, with spaces, hyphens or
underscores; comma, semicolon or tab separated; a byte-order mark is
ignored; extra columns are ignored. What cannot be used is reported, not
guessed."""

import csv
import re
from dataclasses import dataclass

from .names import recording_key

SUBJECTS_TABLE = "subjects.csv"
RECORDINGS_TABLE = "recordings.csv"
# The columns the converters write.
SUBJECT_COLUMNS = ("folder", "dataset", "original_id", "age_group", "age", "sex", "height_cm", "weight_kg")
RECORDING_COLUMNS = ("folder", "recording", "task", "trial", "dataset", "original_id", "activity", "source",
                     "samples", "seconds")
# For source data sets whose activity codes say little by themselves: also the
# activity's own name and whether it is a fall.
DESCRIBED_RECORDING_COLUMNS = RECORDING_COLUMNS + ("activity_name", "fall_or_adl")
# The run folder's own recordings table.
RUN_RECORDING_COLUMNS = ("recording", "subject_folder", "activity", "activity_name")

_SUBJECT_FOLDER_COLUMNS = ("folder", "subject_folder", "subject", "directory")
_GROUP_COLUMNS = ("age_group", "agegroup", "group", "age_category")
_ORIGINAL_ID_COLUMNS = ("original_id", "subject_id", "source_id")
_DATA_SET_COLUMNS = ("dataset", "data_set")
_RECORDING_COLUMNS = ("recording", "file", "file_name", "filename", "name", "trial")
_ACTIVITY_COLUMNS = ("activity", "activity_label", "label", "description", "task_description")
_ACTIVITY_NAME_COLUMNS = ("activity_name",)
_RECORDING_SUBJECT_COLUMNS = ("subject_folder", "folder", "subject")


class TableError(Exception):
    """A table that is there but cannot be used at all."""


def _column_key(name):
    return re.sub(r"[\s\-]+", "_", (name or "").strip().lower())


def _read_rows(path):
    with open(path, newline="", encoding="utf-8-sig", errors="replace") as f:
        text = f.read()
    lines = text.splitlines()
    if not lines:
        raise TableError("%s is empty" % path)
    try:
        dialect = csv.Sniffer().sniff(lines[0], delimiters=",;\t")
    except csv.Error:
        dialect = csv.excel
    reader = csv.reader(lines, dialect)
    header = [_column_key(h) for h in next(reader)]
    rows = [row for row in reader if any(cell.strip() for cell in row)]
    return header, rows


def _pick(header, choices, path, what):
    for choice in choices:
        if choice in header:
            return header.index(choice)
    raise TableError("%s has no %s column (looked for %s; found %s)"
                     % (path, what, ", ".join(choices), ", ".join(header) or "none"))


def _cell(row, index):
    return row[index].strip() if index is not None and index < len(row) else ""


@dataclass(frozen=True)
class SubjectRow:
    folder: str          # the subject folder in the data set (SA51)
    age_group: str       # "" when the table gives none
    original_id: str     # the subject's name in its own data set (SE01), "" when not given
    dataset: str = ""    # the data set the subject comes from (SisFall), "" when not given


def read_subjects(path):
    """{subject folder: SubjectRow} and the notes on rows left out or
    incomplete."""
    header, rows = _read_rows(path)
    folder_at = _pick(header, _SUBJECT_FOLDER_COLUMNS, path, "subject folder")
    group_at = _pick(header, _GROUP_COLUMNS, path, "age group")
    original_at = next((header.index(c) for c in _ORIGINAL_ID_COLUMNS if c in header), None)
    data_set_at = next((header.index(c) for c in _DATA_SET_COLUMNS if c in header), None)
    subjects, notes = {}, []
    for number, row in enumerate(rows, start=2):
        entry = SubjectRow(_cell(row, folder_at), _cell(row, group_at), _cell(row, original_at),
                           _cell(row, data_set_at))
        if not entry.folder:
            notes.append("%s, row %d: no subject folder; left out" % (path, number))
            continue
        if not entry.age_group:
            notes.append("%s, row %d: %s has no age group" % (path, number, entry.folder))
        if entry.folder in subjects and subjects[entry.folder] != entry:
            notes.append("%s, row %d: %s is listed again with other values (group %s, before %s); the first kept"
                         % (path, number, entry.folder, entry.age_group or "none",
                            subjects[entry.folder].age_group or "none"))
        else:
            subjects[entry.folder] = entry
    return subjects, notes


def age_groups(subjects):
    """{subject folder: age group} of the subjects whose group is known."""
    return {folder: row.age_group for folder, row in subjects.items() if row.age_group}


def read_recordings(path):
    """{recording key: {"activity": ..., "subject": ..., "activity_name": ...}}
    (entries only for the columns the table has) and the notes on rows left
    out."""
    header, rows = _read_rows(path)
    name_at = _pick(header, _RECORDING_COLUMNS, path, "recording")
    activity_at = next((header.index(c) for c in _ACTIVITY_COLUMNS if c in header), None)
    subject_at = next((header.index(c) for c in _RECORDING_SUBJECT_COLUMNS if c in header), None)
    name_of_activity_at = next((header.index(c) for c in _ACTIVITY_NAME_COLUMNS if c in header), None)
    if activity_at is None and subject_at is None:
        raise TableError("%s has neither an activity column (%s) nor a subject column (%s)"
                         % (path, ", ".join(_ACTIVITY_COLUMNS), ", ".join(_RECORDING_SUBJECT_COLUMNS)))
    table, notes = {}, []
    for number, row in enumerate(rows, start=2):
        name = _cell(row, name_at)
        if not name:
            notes.append("%s, row %d: no recording name; left out" % (path, number))
            continue
        entry = {}
        if _cell(row, activity_at):
            entry["activity"] = _cell(row, activity_at)
        if _cell(row, subject_at):
            entry["subject"] = _cell(row, subject_at)
        if _cell(row, name_of_activity_at):
            entry["activity_name"] = _cell(row, name_of_activity_at)
        key = recording_key(name)
        if key in table and table[key] != entry:
            notes.append("%s, row %d: %s is listed twice with different values; the first kept"
                         % (path, number, key))
            continue
        table[key] = entry
    return table, notes


def write_recordings(path, entries):
    """Writes the recordings table: (recording key, subject folder,
    activity or "", activity name or "") rows."""
    with open(path, "w", newline="", encoding="utf-8", errors="surrogateescape") as f:
        writer = csv.writer(f)
        writer.writerow(RUN_RECORDING_COLUMNS)
        writer.writerows(entries)
