"""Optional tables that come with a data set and say more than the recording
names do: which age group each subject belongs to (`subjects.csv`) and what
activity each recording shows (`recordings.csv`).

Both are read tolerantly, since they are written by hand or by converters of
other data sets: column names in any case, with spaces, hyphens or
underscores; comma, semicolon or tab separated; a byte-order mark is
ignored; extra columns are ignored. What cannot be used is reported, not
guessed."""

import csv
import os
import re

SUBJECTS_TABLE = "subjects.csv"
RECORDINGS_TABLE = "recordings.csv"

_SUBJECT_FOLDER_COLUMNS = ("folder", "subject_folder", "subject", "directory")
_GROUP_COLUMNS = ("age_group", "agegroup", "group", "age_category")
_RECORDING_COLUMNS = ("recording", "file", "file_name", "filename", "name", "trial")
_ACTIVITY_COLUMNS = ("activity", "activity_label", "label", "description", "task_description")
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


# KFall names a trial S<subject>T<task>R<trial>.csv.
_KFALL_NAME = re.compile(r"S(?P<subject>\d+)T(?P<task>\d+)R(?P<trial>-?\d+)\.[^./\\]*$")


def name_parts(path):
    """Subject and trial from a KFall-style recording name (S06T20R01.csv);
    None for names of another form."""
    m = _KFALL_NAME.search(path)
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


def read_subjects(path):
    """{subject folder: age group} and the notes on rows left out."""
    header, rows = _read_rows(path)
    folder_at = _pick(header, _SUBJECT_FOLDER_COLUMNS, path, "subject folder")
    group_at = _pick(header, _GROUP_COLUMNS, path, "age group")
    groups, notes = {}, []
    for number, row in enumerate(rows, start=2):
        folder, group = _cell(row, folder_at), _cell(row, group_at)
        if not folder or not group:
            notes.append("%s, row %d: no subject folder or no age group; left out" % (path, number))
        elif folder in groups and groups[folder] != group:
            notes.append("%s, row %d: %s is listed again with another group (%s, before %s); the first kept"
                         % (path, number, folder, group, groups[folder]))
        else:
            groups[folder] = group
    return groups, notes


def read_recordings(path):
    """{recording key: {"activity": ..., "subject": ...}} (entries only for
    the columns the table has) and the notes on rows left out."""
    header, rows = _read_rows(path)
    name_at = _pick(header, _RECORDING_COLUMNS, path, "recording")
    activity_at = next((header.index(c) for c in _ACTIVITY_COLUMNS if c in header), None)
    subject_at = next((header.index(c) for c in _RECORDING_SUBJECT_COLUMNS if c in header), None)
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
        key = recording_key(name)
        if key in table and table[key] != entry:
            notes.append("%s, row %d: %s is listed twice with different values; the first kept"
                         % (path, number, key))
            continue
        table[key] = entry
    return table, notes


def write_recordings(path, entries):
    """Writes the recordings table: (recording key, subject folder,
    activity or "") rows."""
    with open(path, "w", newline="", encoding="utf-8", errors="surrogateescape") as f:
        writer = csv.writer(f)
        writer.writerow(("recording", "subject_folder", "activity"))
        writer.writerows(entries)
