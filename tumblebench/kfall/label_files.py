"""The per-subject label files the harness reads (SAxx_down.csv,
SAxx_adl.csv, SAxx_all.csv): one trial per line after a header, with the
task code, a description, the trial number and the fall's onset and impact
frames at 100 per second (0 0: no label)."""

import csv
import os
import re
import tempfile

from . import names, rates, tasks

LABEL_HEADER = ("Task Code (Task ID)", "Description", "Trial ID", "Fall_onset_frame", "Fall_impact_frame")
_CODE_TASK = re.compile(r"T(\d\d)$")


class LabelFileError(Exception):
    """A label file that cannot be read as one."""


def label_line(subject, task, trial, description, onset, impact):
    """One trial's line. The harness reads one trial per line and its
    splitter takes no escaped quote inside a quoted field: a line break in a
    description becomes a space, a double quote a single one."""
    description = re.sub(r"[ \t]*[\r\n]+[ \t]*", " ", description).replace('"', "'")
    return [names.task_code(subject, task), description, trial, onset, impact]


def label_rows(subject, trials):
    """{"down": fall lines, "adl": daily-activity lines, "all": both}, each
    ordered by task and trial; trials are (task, trial, description, onset,
    impact)."""
    ordered = [label_line(subject, *t) for t in sorted(trials, key=lambda t: (t[0], t[1]))]
    is_fall = [tasks.is_fall(t[0]) for t in sorted(trials, key=lambda t: (t[0], t[1]))]
    return {"down": [row for row, fall in zip(ordered, is_fall) if fall],
            "adl": [row for row, fall in zip(ordered, is_fall) if not fall],
            "all": ordered}


def write_label_file(path, rows):
    """Writes the header and rows aside and renames the file into place, so
    that an interrupted run leaves no half list for the harness to read."""
    directory = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(prefix=".label-", suffix=".csv", dir=directory)
    try:
        with os.fdopen(handle, "w", newline="") as stream:
            writer = csv.writer(stream, lineterminator="\n")
            writer.writerow(LABEL_HEADER)
            writer.writerows(rows)
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
    except BaseException:
        if os.path.exists(temporary):
            os.unlink(temporary)
        raise


def read_trial_lines(path):
    """(task, trial, description, onset, impact) of every trial line of a
    label file, frames as written (100 per second). An empty task code
    carries the one of the line before, as in the harness."""
    task = None
    try:
        with open(path, newline="", encoding="utf-8", errors="replace") as stream:
            for number, row in enumerate(csv.reader(stream), start=1):
                if number == 1 or not row or not any(cell.strip() for cell in row):
                    continue
                code = _CODE_TASK.search(row[0].strip())
                if code:
                    task = int(code.group(1))
                elif row[0].strip() or task is None:
                    continue
                try:
                    trial, onset, impact = int(row[2]), int(row[3]), int(row[4])
                except (IndexError, ValueError):
                    raise LabelFileError("%s line %d: trial, onset or impact is not a number" % (path, number))
                yield task, trial, row[1] if len(row) > 1 else "", onset, impact
    except FileNotFoundError:
        raise LabelFileError("%s: label file not found" % path)


def read_stream_frames(path):
    """{(task, trial): (onset, impact)} of a label file, as 0-based sample
    indexes of the replayed stream (the file's frames halved, as the harness
    halves them); None for a trial listed without frames (0 0)."""
    frames = {}
    for task, trial, _, onset, impact in read_trial_lines(path):
        known = impact > 0
        frames[(task, trial)] = ((rates.stream_frame(onset), rates.stream_frame(impact)) if known else None)
    return frames


# A converted data set's description of a trial: the source data set, its
# own code of the activity and its own name for it ("SisFall D14: Being on
# one's back change to lateral position, ..."), so that the activity can be
# named as the source names it, not by the KFall task it is replayed as.
_SOURCE_ACTIVITY = re.compile(r"(?P<data_set>[A-Za-z][\w-]*) (?P<code>[A-Za-z]*\d+): (?P<name>.+)")


def source_activity_description(data_set, code, name):
    return "%s %s: %s" % (data_set, code, name)


def source_activity(description):
    """(data set, code, name) of a converted trial's description, None for
    any other description (KFall's own)."""
    m = _SOURCE_ACTIVITY.fullmatch(description.strip())
    return (m.group("data_set"), m.group("code"), m.group("name").strip()) if m else None
