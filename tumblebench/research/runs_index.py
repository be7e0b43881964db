"""The runs folder of evaluate --runs-dir: runs.csv, one row per run folder
in it (finished, failed or interrupted) with the run's metrics.json, or what
its manifest says when it has no metrics; and runs looked up by name.

runs.csv is rebuilt from every run folder, under a lock, and renamed into
place, so that two runs finishing at once both end up in it and a reader
never sees half a file."""

import csv
import fcntl
import io
import json
import os
from collections import OrderedDict

from . import metrics, run_folder, tidy_tables

INDEX = "runs.csv"
LOCK = ".runs.csv.lock"


class RunsError(Exception):
    pass


def run_folders(runs):
    """The run folders in runs (those with a manifest), by folder name."""
    try:
        names = sorted(os.listdir(runs))
    except OSError as e:
        raise RunsError("%s cannot be listed: %s" % (runs, e.strerror or e))
    return [os.path.join(runs, n) for n in names
            if os.path.isfile(os.path.join(runs, n, run_folder.MANIFEST))]


def _row(folder):
    """The run's metrics, or the provenance its manifest gives; None when
    neither can be read."""
    path = os.path.join(folder, metrics.FILE)
    try:
        with open(path, encoding="utf-8") as f:
            found = json.load(f)
        if isinstance(found, dict):
            # The manifest's status is newer than the summary's (evaluate
            # marks a run after summarising it).
            manifest = run_folder.read_manifest(folder) or {}
            return OrderedDict(found, folder=os.path.basename(folder), status=manifest.get("status"))
    except (OSError, ValueError, RecursionError, run_folder.RunFolderError):
        pass
    try:
        manifest = run_folder.read_manifest(folder)
    except run_folder.RunFolderError:
        return None
    context = run_folder.RunContext(name=(manifest or {}).get("name") or os.path.basename(folder),
                                    folder=folder, manifest=manifest)
    return metrics.provenance_fields(context, os.path.basename(folder))


def index_text(runs):
    rows = [r for r in (_row(f) for f in run_folders(runs)) if r is not None]
    header = []
    for row in rows:
        header += [k for k in row if k not in header]
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(header)
    for row in rows:
        writer.writerow([tidy_tables.csv_cell(row.get(k)) for k in header])
    return out.getvalue()


def update(runs):
    """Rebuilds runs/runs.csv; returns its path."""
    if not os.path.isdir(runs):
        raise RunsError("%s is not a folder of runs" % runs)
    with open(os.path.join(runs, LOCK), "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        path = os.path.join(runs, INDEX)
        run_folder.write_atomically(path, index_text(runs))
    return path


def find(runs, name):
    """The one run folder in runs named `name` (by its manifest, or its folder
    name); RunsError when no run or several runs have that name."""
    found = []
    for folder in run_folders(runs):
        try:
            manifest = run_folder.read_manifest(folder) or {}
        except run_folder.RunFolderError:
            manifest = {}
        if name in (manifest.get("name"), os.path.basename(folder)):
            found.append(folder)
    if len(found) == 1:
        return found[0]
    if not found:
        raise RunsError("no run in %s is named %s" % (runs, name))
    raise RunsError("%d runs in %s are named %s (%s); name the folder instead"
                    % (len(found), runs, name, ", ".join(os.path.basename(f) for f in found)))
