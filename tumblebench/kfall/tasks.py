"""KFall's activity types: their names and which of them are falls.

The table is tasks.tsv beside this file, the same file the harness's report
table is built from, so the two cannot disagree."""

import os

TABLE_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tasks.tsv")


def _read_table(path):
    """({task: description}, the fall tasks as a range) from the table."""
    names, falls = {}, []
    with open(path, encoding="utf-8") as table:
        for line in table:
            line = line.rstrip("\n")
            if not line or line.startswith("#") or line.startswith("task\t"):
                continue
            number, kind, description = line.split("\t")
            task = int(number)
            if task != len(names) + 1 or kind not in ("fall", "adl"):
                raise ValueError("%s: %r is not the next task line" % (path, line))
            names[task] = description
            if kind == "fall":
                falls.append(task)
    if not falls or falls != list(range(falls[0], falls[-1] + 1)):
        raise ValueError("%s: the falls are not one run of task numbers" % path)
    return names, range(falls[0], falls[-1] + 1)


TASK_NAMES, FALL_TASKS = _read_table(TABLE_PATH)
FIRST_TASK, LAST_TASK = 1, len(TASK_NAMES)
FIRST_FALL_TASK, LAST_FALL_TASK = FALL_TASKS[0], FALL_TASKS[-1]


def is_fall(task):
    """Falls are one run of task numbers; every other number, inside the
    table or not, is a daily activity (as the harness scores it)."""
    return FIRST_FALL_TASK <= task <= LAST_FALL_TASK


def task_class(task):
    return "fall" if is_fall(task) else "ADL"


def task_name(task):
    return TASK_NAMES.get(task, "")


def type_label(task):
    name = task_name(task)
    return "Type-%02d (%s)" % (task, name) if name else "Type-%02d" % task
