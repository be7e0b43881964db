#!/usr/bin/python3
"""KFall's own files as the fall model's training reads them: the subject
and trial names and the label spreadsheets with onset and impact frames.
(The recordings themselves are read by the harness's reader inside
tools/dump_windows; see recording_cache.) Also the errors the training
reports about its input."""

import os
import re

FIRST_FALL_TASK = 20
LAST_FALL_TASK = 34

_TASK_CODE = re.compile(r"\((\d+)\)")


class DataError(Exception):
    pass


def is_fall_task(task):
    return FIRST_FALL_TASK <= task <= LAST_FALL_TASK


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
