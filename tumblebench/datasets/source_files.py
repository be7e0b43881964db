"""What every reader of a source data set does with its input: where the
subjects' files are (an unpacked download, or the packed copy kept for
development, unpacked one subject at a time), how a file is named in
messages, which subjects a run converts, and the errors that stop a run."""

import os
import shutil
import subprocess

from .. import children

ARCHIVE_SUFFIX = ".tar.xz"


class InputError(Exception):
    """The input is not a download this converter can read."""


class MalformedFile(InputError):
    def __init__(self, path, line, reason):
        super().__init__(path, line, reason)
        self.path, self.line, self.reason = path, line, reason

    def __str__(self):
        where = "%s, line %d" % (self.path, self.line) if self.line else self.path
        return "%s: %s" % (where, self.reason)


class Download:
    """An unpacked download (a folder holding dataset_folder/, or that folder
    itself: dataset_dir) or the packed copy (a folder with unpack.sh and
    data/<subject>.tar.xz: dataset_dir is None, archived lists the subjects),
    whose subjects are unpacked into a scratch folder and removed after use."""

    def __init__(self, path, dataset_folder):
        self.path = os.path.abspath(path)
        self.dataset_folder = dataset_folder
        self.unpack_script = os.path.join(self.path, "unpack.sh")
        if not os.path.isdir(self.path):
            raise InputError("%s: no such folder" % path)
        archives = os.path.join(self.path, "data")
        if os.path.isfile(self.unpack_script) and os.path.isdir(archives):
            self.dataset_dir = None
            self.archived = sorted(n[:-len(ARCHIVE_SUFFIX)] for n in os.listdir(archives)
                                   if n.endswith(ARCHIVE_SUFFIX))
        else:
            inside = os.path.join(self.path, dataset_folder)
            self.dataset_dir = inside if os.path.isdir(inside) else self.path
            self.archived = []

    def unpack(self, subject_id, scratch):
        """Unpacks the subject's archive into scratch; the folder it lands in."""
        run = children.run(["bash", self.unpack_script, scratch, subject_id],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, errors="replace")
        folder = os.path.join(scratch, self.dataset_folder)
        if run.returncode != 0 or not os.path.isdir(folder):
            raise InputError("%s %s %s failed: %s" % (self.unpack_script, scratch, subject_id,
                                                      run.stderr.strip() or "no folder unpacked"))
        return folder

    def shown_in_archive(self, path, subject_id, member):
        """How messages name a file: where it is, or for the packed copy, the
        archive and the member (the unpacked copy is gone by then)."""
        if self.dataset_dir:
            return path
        return "%s: %s" % (os.path.join(self.path, "data", subject_id + ARCHIVE_SUFFIX), member)

    def release(self, folder):
        """Removes a subject's unpacked copy; the download's own folders stay."""
        if not self.dataset_dir:
            shutil.rmtree(folder, ignore_errors=True)


def chosen_subjects(named, present, folder_name, shown_input):
    """The subjects a run converts: those named (each checked by folder_name,
    which raises InputError for a name the data set does not have, before
    any work), or all present."""
    chosen = list(named) or list(present)
    for subject_id in chosen:
        folder_name(subject_id)
        if subject_id not in present:
            raise InputError("%s is not in %s (there: %s)" % (subject_id, shown_input, " ".join(present)))
    if len(set(chosen)) != len(chosen):
        raise InputError("a subject is named twice")
    return chosen
