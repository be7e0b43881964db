"""A run folder, as `evaluate` writes it, and what the summary learns from
it about a run beyond its console log: the manifest (model, program, data
set, arguments), each recording's subject folder and activity, each
subject's age group.

    manifest.json         provenance of the run
    run.log               tumblebench's standard output, byte for byte
    tumblebench.stderr    tumblebench's standard error
    recordings.csv        recording -> subject folder, activity
    subjects.csv          subject folder -> age group (copied from the data set, when it has one)
    model.tflite          the model file the run used (none for the built-in model)
    data/sensor_data/SAxx the mirror the run walked: links to the recordings, label files, traces
    features/SAxx/*.csv   per-sample features (with --dump-features), for the threshold sweep
    results.csv, summary.txt, summary.png, summary.html
"""

import json
import os
import re
import tempfile
from dataclasses import dataclass, field

from .. import kfall
from ..kfall import tables

MANIFEST = "manifest.json"
LOG = "run.log"
HARNESS_STDERR = "tumblebench.stderr"
MODEL = "model.tflite"
DATA = "data"
WALK_ROOT = os.path.join(DATA, kfall.SENSOR_DATA)
FEATURES = "features"


class RunFolderError(Exception):
    """A path that is neither a console log nor a run folder with one."""


def locate(path):
    """(log path, run folder or None) for a log file or a run folder."""
    if os.path.isdir(path):
        log = os.path.join(path, LOG)
        if not os.path.isfile(log):
            raise RunFolderError("%s is a folder without a %s: not a run folder" % (path, LOG))
        return log, path
    folder = os.path.dirname(os.path.abspath(path))
    return path, folder if os.path.isfile(os.path.join(folder, MANIFEST)) else None


# The manifest's fields the tools read, with the type each must have (a dict
# for a record whose own fields are listed). A hand-edited manifest that
# breaks one is refused with the field named; fields not listed are free.
_TEXT, _NUMBER, _LIST_OF_TEXT = str, (int, float), ("list", str)
MANIFEST_FIELDS = {
    "name": _TEXT, "status": _TEXT, "started": _TEXT, "finished": _TEXT, "tool": _TEXT,
    "signal": _TEXT, "summary": _TEXT, "arguments": _LIST_OF_TEXT, "exit_status": (int, type(None)),
    "tumblebench": {"path": _TEXT, "version": _TEXT, "detector": _TEXT, "commit": _TEXT,
                    "dirty": (bool, type(None))},
    "model": {"source": _TEXT, "path": _TEXT, "stored_as": _TEXT, "sha256": _TEXT, "size_bytes": int,
              "hashed": _TEXT, "training_subjects": (dict, type(None))},
    "rules": (dict, type(None)),
    "data_set": {"root": _TEXT, "name": (str, type(None)), "layout": _TEXT, "subjects": _LIST_OF_TEXT},
    "walk": {"argument": _TEXT, "root": _TEXT},
    "recordings": {key: int for key in ("listed", "scored", "not_found", "not_scored", "falls", "adl",
                                        "samples")},
    "features": {"folder": _TEXT, "dump_windows": _TEXT, "recordings": int},
    "host": {"name": _TEXT, "platform": _TEXT, "python": _TEXT, "processors": (int, type(None))},
}
_TYPE_NAMES = {str: "text", int: "a whole number", float: "a number", bool: "true or false", dict: "an object",
               list: "a list", type(None): "null"}


def _kind(value):
    return "a number" if isinstance(value, (int, float)) and not isinstance(value, bool) else \
        _TYPE_NAMES.get(type(value), type(value).__name__)


def manifest_problem(manifest, fields=MANIFEST_FIELDS, where=""):
    """The first field of a manifest that has the wrong type, as a phrase;
    None when every field the tools read is as they expect."""
    if not isinstance(manifest, dict):
        return "%s is %s, not an object" % (where or "the manifest", _kind(manifest))
    for key, expected in fields.items():
        if key not in manifest:
            continue
        value, name = manifest[key], "%s%s" % (where + "." if where else "", key)
        if isinstance(expected, dict):
            problem = manifest_problem(value, expected, name)
            if problem:
                return problem
            continue
        if isinstance(expected, tuple) and expected and expected[0] == "list":
            if not isinstance(value, list) or not all(isinstance(v, expected[1]) for v in value):
                return "%s is %s, not a list of %s" % (name, _shown(value), _TYPE_NAMES[expected[1]])
            continue
        accepted = expected if isinstance(expected, tuple) else (expected,)
        # true and false are no numbers here, though Python counts them as such.
        if not isinstance(value, accepted) or (isinstance(value, bool) and bool not in accepted):
            return "%s is %s, not %s" % (name, _shown(value), " or ".join(_TYPE_NAMES[t] for t in accepted))
    return None


def _shown(value):
    text = json.dumps(value, ensure_ascii=False) if not isinstance(value, (dict, list)) else None
    return "%s (%s)" % (text, _kind(value)) if text is not None and len(text) <= 40 else _kind(value)


def read_manifest(folder):
    """The manifest as a dict, None when the folder has none; RunFolderError
    for one that cannot be read or whose fields are not what a manifest
    holds."""
    path = os.path.join(folder, MANIFEST)
    if not os.path.isfile(path):
        return None
    try:
        with open(path, encoding="utf-8") as f:
            manifest = json.load(f)
    except (OSError, ValueError) as e:
        raise RunFolderError("%s cannot be read: %s" % (path, e))
    except RecursionError:
        raise RunFolderError("%s cannot be read: its JSON is nested too deeply to be a run manifest" % path)
    problem = manifest_problem(manifest)
    if problem:
        raise RunFolderError("%s is not a run manifest as evaluate writes it: %s" % (path, problem))
    return manifest


# Surrogate escapes stand for the bytes of a path that is not UTF-8; JSON
# has no such bytes, so they are written as \udcXX escapes, which Python's
# json reads back to the same text (os.fsencode then gives the bytes back).
_SURROGATE = re.compile("[\ud800-\udfff]")


def json_text(value):
    """JSON text of a manifest, metrics or any record a run folder keeps,
    paths that are not UTF-8 included."""
    text = json.dumps(value, indent=2, ensure_ascii=False)
    return _SURROGATE.sub(lambda m: "\\u%04x" % ord(m.group()), text) + "\n"


def write_atomically(path, text):
    """Writes the file whole or not at all: into a temporary file beside it,
    renamed into place; on any failure the old file stays as it was. Text
    that holds a path's bytes that are not UTF-8 (surrogate escapes) gets
    those bytes back."""
    data = text.encode("utf-8", errors="surrogateescape")
    handle, temporary = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", dir=os.path.dirname(path)
                                         or ".")
    try:
        with os.fdopen(handle, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def write_manifest(folder, manifest):
    write_atomically(os.path.join(folder, MANIFEST), json_text(manifest))


def claim(folder, manifest):
    """Writes the first manifest into folder, failing with FileExistsError
    when the folder has one: the manifest appears whole, with its content,
    or not at all, so two runs started at once cannot share the folder."""
    text = json_text(manifest).encode("utf-8")
    handle, temporary = tempfile.mkstemp(prefix=".manifest-claim.", dir=folder)
    try:
        with os.fdopen(handle, "wb") as f:
            f.write(text)
        os.chmod(temporary, 0o644)
        try:
            os.link(temporary, os.path.join(folder, MANIFEST))
        except FileExistsError:
            raise
        except OSError:
            # A file system without hard links: an exclusive create, written
            # at once (a reader may then see it empty for a moment).
            fd = os.open(os.path.join(folder, MANIFEST), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
            with os.fdopen(fd, "wb") as f:
                f.write(text)
    finally:
        os.unlink(temporary)


@dataclass
class RunContext:
    """What is known about a run's recordings besides its log."""
    name: str
    folder: str = None
    manifest: dict = None
    recordings: dict = field(default_factory=dict)  # recording key -> {"subject": ..., "activity": ...}
    subject_groups: dict = field(default_factory=dict)  # subject folder -> age group
    notes: list = field(default_factory=list)
    pooled: list = field(default_factory=list)      # the RunContext of every run a pooled summary holds

    def subject_of(self, rec):
        """The subject folder from the recordings table, else the subject of
        a KFall-style name (S06), else None."""
        entry = self.recordings.get(kfall.recording_key(rec.path))
        if entry and entry.get("subject"):
            return entry["subject"]
        number, _ = kfall.name_parts(rec.path)
        return None if number is None else "S%02d" % number

    def group_of(self, rec):
        subject = self.subject_of(rec)
        if subject is None or not self.subject_groups:
            return None
        if subject in self.subject_groups:
            return self.subject_groups[subject]
        # A name like S06 finds the folder SA06 by its number, unless two
        # folders with that number are in different groups.
        number = kfall.subject_number(subject)
        groups = {g for folder, g in self.subject_groups.items()
                  if kfall.subject_number(folder) == number}
        return groups.pop() if len(groups) == 1 else None

    def activity_of(self, rec):
        """The data set's own activity of the recording (its code, as SisFall's
        D14, or a name), None when its tables do not say."""
        entry = self.recordings.get(kfall.recording_key(rec.path))
        return entry.get("activity") if entry else None

    def activity_name_of(self, rec):
        """The data set's name for the recording's activity: from its label
        file or recordings table, else KFall's name for the task."""
        entry = self.recordings.get(kfall.recording_key(rec.path)) or {}
        return entry.get("activity_name") or (None if entry.get("activity") else kfall.task_name(rec.task))

    def activity_label(self, rec):
        """What the summaries call the recording's activity: the data set's
        code and name when it names its activities, else KFall's type."""
        code, name = self.activity_of(rec), self.activity_name_of(rec)
        if code:
            return "%s %s" % (code, name) if name and name != code else code
        return kfall.type_label(rec.task)


def load_context(log_path, folder=None, subjects_table=None, recordings_table=None):
    """The context of a run: from its folder when it has one, and from
    tables named explicitly, which take precedence."""
    manifest = read_manifest(folder) if folder else None
    name = (manifest or {}).get("name") or (os.path.basename(os.path.abspath(folder)) if folder else log_path)
    context = RunContext(name=name, folder=folder, manifest=manifest)
    subjects = subjects_table or _beside(folder, tables.SUBJECTS_TABLE)
    recordings = recordings_table or _beside(folder, tables.RECORDINGS_TABLE)
    try:
        if subjects:
            rows, notes = tables.read_subjects(subjects)
            context.subject_groups = tables.age_groups(rows)
            context.notes += notes
        if recordings:
            context.recordings, notes = tables.read_recordings(recordings)
            context.notes += notes
    except OSError as e:
        raise RunFolderError("%s: %s" % (e.filename, e.strerror or e))
    except tables.TableError as e:
        raise RunFolderError(str(e))
    return context


def _beside(folder, name):
    if folder is None:
        return None
    path = os.path.join(folder, name)
    return path if os.path.isfile(path) else None
