"""Writes a KFall subject's label files from the data set's label spreadsheet.

tumblebench runs it as "kfall_label SAxx_down.csv" with the subject folder
(sensor_data/SAxx) as the current directory when a label file is missing.
It reads the subject's SAxx_label.xlsx and the trial files in the folder and
writes, into the folder:

  SAxx_down.csv  the fall trials the spreadsheet lists, with their frames
  SAxx_adl.csv   the daily-activity trials found in the folder, frames 0 0
  SAxx_all.csv   both, ordered by task and trial

each with the header the harness reads and task codes like S06T20, so that
"<code>R<trial, two digits>.csv" names the recording.

The spreadsheet is looked for, in this order: --labels PATH; the environment
variable KFALL_LABEL_DATA; then SAxx_label.xlsx in the folder itself, next to
the folder, in ../label_data/ and in ../../label_data/ (the download's
layout). PATH and KFALL_LABEL_DATA may name the file or a folder holding it.

Label files that already exist are kept unless --force is given, so a list
edited by hand is never overwritten behind its owner's back.

Exit status (tumblebench.exit_status): 0 on success; 2 for bad arguments (a
name that is not a label file's) and for a missing or malformed
spreadsheet, nothing written; 1 when a label file cannot be written.
"""

import argparse
import os
import sys

from .. import exit_status
from . import label_files, names, spreadsheets, tasks

PROG = "kfall_label"


def warn(message):
    print("%s: %s" % (PROG, message), file=sys.stderr)


def recordings_in_folder(prefix):
    """The (task, trial) pairs of the folder's trial files named <prefix>TyyRzz.csv."""
    found = set()
    for name in os.listdir("."):
        parts = names.trial_file_parts(name, prefix)
        if parts is None:
            continue
        task, trial = parts
        if names.recording_name(prefix, task, trial) != name:
            warn("%s: the harness names trial %d %s; file left out" % (name, trial,
                                                                        names.recording_name(prefix, task, trial)))
            continue
        found.add(parts)
    return found


def label_rows(subject, labels, recordings):
    """The down, ADL and all rows, each ordered by task and trial: the
    spreadsheet's trials, and the folder's trials it does not list with
    frames 0 0."""
    prefix = names.recording_prefix(subject)
    # Trials the sheet does not list go by the sheet's name for their task.
    task_names = dict(tasks.TASK_NAMES)
    task_names.update({task: labels[(task, trial)][0] for task, trial in sorted(labels, reverse=True)})
    trials = {}
    for (task, trial), (description, onset, impact) in labels.items():
        trials[(task, trial)] = (task, trial, description, onset, impact)
        if (task, trial) not in recordings:
            warn("%s is in the spreadsheet but not in this folder" % names.recording_name(prefix, task, trial))
        if not tasks.is_fall(task):
            warn("task %d, trial %d: the spreadsheet labels a daily activity" % (task, trial))
    for task, trial in recordings:
        if (task, trial) in trials:
            continue
        if tasks.is_fall(task):
            warn("%s is a fall without a label; listed with frames 0 0" % names.recording_name(prefix, task, trial))
        trials[(task, trial)] = (task, trial, task_names.get(task, ""), 0, 0)
    rows = label_files.label_rows(subject, trials.values())
    return rows["down"], rows["adl"], rows["all"]


def write_label_file(path, rows, force):
    if os.path.exists(path) and not force:
        warn("%s exists and is kept (--force rewrites it)" % path)
        return
    label_files.write_label_file(path, rows)


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog=PROG, description="Writes SAxx_down.csv, SAxx_adl.csv and SAxx_all.csv into the "
        "current (subject) folder from the subject's KFall label spreadsheet.")
    parser.add_argument("label_file", help="the label file asked for, like SA06_down.csv")
    parser.add_argument("--labels", metavar="PATH",
                        help="the spreadsheet, or the folder that holds SAxx_label.xlsx")
    parser.add_argument("--force", action="store_true", help="rewrite label files that exist")
    args = parser.parse_args(argv)

    subject = names.label_file_subject(args.label_file)
    if subject is None:
        warn("%s: expected a label file name like SA06_down.csv" % args.label_file)
        return exit_status.REFUSED
    try:
        spreadsheet = spreadsheets.find_spreadsheet(subject, args.labels)
        labels = spreadsheets.read_spreadsheet(spreadsheet, warn)
    except spreadsheets.SpreadsheetError as error:
        warn(str(error))
        return exit_status.REFUSED
    try:
        down, adl, every = label_rows(subject, labels, recordings_in_folder(names.recording_prefix(subject)))
        for kind, rows in (("down", down), ("adl", adl), ("all", every)):
            write_label_file(names.label_file_name(subject, kind), rows, args.force)
    except OSError as error:
        warn("cannot write the label files: %s" % error)
        return exit_status.FAILED
    return exit_status.OK


if __name__ == "__main__":
    sys.exit(main())
