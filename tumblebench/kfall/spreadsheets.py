"""KFall's label spreadsheets (label_data/SAxx_label.xlsx): per fall trial
its task, description, trial number and the onset and impact frames at 100
per second. The task code ("F01 (20)") stands on the first row of a task's
block only and is carried down to the rows below it. Reading needs openpyxl
(Debian package python3-openpyxl), and nothing else."""

import os
import re

from . import label_files, names, rates, tasks

ENV_VAR = "KFALL_LABEL_DATA"


class SpreadsheetError(Exception):
    """The spreadsheet is missing or cannot be used."""


def spreadsheet_name(subject):
    return subject + "_label.xlsx"


def find_spreadsheet(subject, option=None):
    """The subject's spreadsheet, seen from its subject folder as the
    current directory: `option` (a file, or a folder holding it), then
    $KFALL_LABEL_DATA likewise, then the folder itself, next to it, and
    ../label_data/ and ../../label_data/ (the download's layout)."""
    file_name = spreadsheet_name(subject)
    for origin, given in (("--labels", option), (ENV_VAR, os.environ.get(ENV_VAR))):
        if given:
            path = os.path.join(given, file_name) if os.path.isdir(given) else given
            if not os.path.isfile(path):
                raise SpreadsheetError("%s (from %s) does not exist" % (path, origin))
            return path
    candidates = [file_name, os.path.join("..", file_name), os.path.join("..", names.LABEL_DATA, file_name),
                  os.path.join("..", "..", names.LABEL_DATA, file_name)]
    for path in candidates:
        if os.path.isfile(path):
            return path
    raise SpreadsheetError("%s not found; looked in %s; name it with --labels or %s"
                           % (file_name, ", ".join(os.path.dirname(p) or "." for p in candidates), ENV_VAR))


def _normalised(text):
    return " ".join(str(text).split()).lower()


def _whole_number(value, what, where):
    """A cell that must hold a non-negative whole number."""
    if isinstance(value, bool) or value is None:
        raise SpreadsheetError("%s: %s is %s, not a number" % (where, what, "empty" if value is None else value))
    if isinstance(value, int):
        number = value
    elif isinstance(value, float):
        if not value.is_integer():
            raise SpreadsheetError("%s: %s %r is not a whole number" % (where, what, value))
        number = int(value)
    else:
        text = str(value).strip()
        if not re.fullmatch(r"\d+(\.0*)?", text):
            raise SpreadsheetError("%s: %s %r is not a whole number" % (where, what, value))
        number = int(text.split(".")[0])
    if number < 0:
        raise SpreadsheetError("%s: %s %d is negative" % (where, what, number))
    return number


def _sheet_rows(path, warn):
    try:
        import openpyxl
    except ImportError:
        raise SpreadsheetError("the Python module openpyxl is missing (Debian package python3-openpyxl)")
    if not os.path.isfile(path):
        raise SpreadsheetError("%s: label spreadsheet not found" % path)
    try:
        workbook = openpyxl.load_workbook(path, read_only=True, data_only=True)
    except Exception as error:  # openpyxl raises many kinds for a broken file
        raise SpreadsheetError("%s cannot be read as an xlsx workbook (%s)" % (path, error))
    try:
        if not workbook.worksheets:
            raise SpreadsheetError("%s holds no worksheet" % path)
        if len(workbook.worksheets) > 1 and warn:
            warn("%s has %d sheets; reading the first, %r" % (path, len(workbook.worksheets),
                                                               workbook.worksheets[0].title))
        return list(workbook.worksheets[0].iter_rows(values_only=True))
    finally:
        workbook.close()


def read_spreadsheet(path, warn=None):
    """{(task, trial): (description, onset, impact)}, frames at 100 per
    second as the sheet gives them. Columns are found by their header
    (in any case and spacing); blank rows are skipped; every other row must
    be complete. `warn` is told of what is read all the same."""
    rows = [(number, row) for number, row in enumerate(_sheet_rows(path, warn), start=1)
            if any(cell is not None and str(cell).strip() != "" for cell in row)]
    if not rows:
        raise SpreadsheetError("%s: the sheet is empty" % path)
    header_number, header = rows[0]
    columns = {_normalised(cell): index for index, cell in enumerate(header) if cell is not None}
    absent = [name for name in label_files.LABEL_HEADER if _normalised(name) not in columns]
    if absent:
        raise SpreadsheetError("%s: row %d lacks the column(s) %s"
                               % (path, header_number, ", ".join('"%s"' % a for a in absent)))
    index = [columns[_normalised(name)] for name in label_files.LABEL_HEADER]

    labels = {}
    task = None
    description = ""
    for number, row in rows[1:]:
        where = "%s, row %d" % (path, number)
        code, text, trial, onset, impact = [row[i] if i < len(row) else None for i in index]
        if code is not None and str(code).strip() != "":
            match = re.search(r"\((\d+)\)", str(code))
            if not match:
                raise SpreadsheetError('%s: task code %r has no task ID in parentheses, like "F01 (20)"'
                                       % (where, code))
            task = int(match.group(1))
            description = str(text).strip() if text is not None else tasks.task_name(task)
        elif task is None:
            raise SpreadsheetError("%s: a trial before the first task code" % where)
        trial = _whole_number(trial, "the trial ID", where)
        onset = _whole_number(onset, "the onset frame", where)
        impact = _whole_number(impact, "the impact frame", where)
        if (task, trial) in labels:
            raise SpreadsheetError("%s: task %d, trial %d is listed twice" % (where, task, trial))
        labels[(task, trial)] = (description, onset, impact)
    return labels


def read_stream_frames(path, warn=None):
    """{(task, trial): (onset, impact)} of the spreadsheet as 0-based sample
    indexes of the replayed stream (halved as the harness halves them)."""
    return {key: (rates.stream_frame(onset), rates.stream_frame(impact))
            for key, (_, onset, impact) in read_spreadsheet(path, warn).items()}


def subject_spreadsheet(root, subject):
    """The spreadsheet of a subject of a KFall download at root."""
    return os.path.join(root, names.LABEL_DATA, spreadsheet_name(subject))


