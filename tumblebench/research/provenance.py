"""Where a run's results come from: the program's version and build commit,
the model's bytes, the machine and the time."""

import datetime
import hashlib
import os
import platform
import re
import socket
import subprocess
import sys
import tempfile

from .. import children

# tumblebench --version prints this on standard error.
_VERSION = re.compile(r"^tumblebench (?P<version>\S+) \((?P<detector>[^)]*)\), commit (?P<commit>\S+)$", re.M)

REPOSITORY = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
BUILT_IN_MODEL = os.path.join("tumblix", "ml", "models", "fall_model.tflite")


def now():
    return datetime.datetime.now().astimezone().isoformat(timespec="seconds")


def program_version(tumblebench):
    """{"version", "detector", "commit", "dirty"} as the program states them.
    `--version` alone goes on as a label-file run of that name after
    printing the version, so it runs in an empty folder of its own."""
    with tempfile.TemporaryDirectory(prefix="tumblebench_version_") as empty:
        done = children.run([tumblebench, "--version"], cwd=empty, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, errors="replace")
    m = _VERSION.search(done.stderr)
    if not m:
        return {"version": "unknown", "detector": "unknown", "commit": "unknown", "dirty": None,
                "note": "tumblebench --version gave no version line: %r" % done.stderr[:200]}
    commit = m.group("commit")
    dirty = commit.endswith("-dirty")
    return {"version": m.group("version"), "detector": m.group("detector"),
            "commit": commit[:-len("-dirty")] if dirty else commit, "dirty": dirty}


def file_digest(path):
    h = hashlib.sha256()
    size = 0
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
            size += len(block)
    return h.hexdigest(), size


def built_in_model(program):
    """(entry, bytes): the embedded model's SHA-256 and size, of the model
    file at the build's commit when this checkout has it and the build was
    made from a clean tree, otherwise of the file in this checkout, which is
    said; and the bytes hashed (None when there are none)."""
    commit = program.get("commit")
    if commit and commit != "unknown" and program.get("dirty") is False:
        done = children.run(["git", "-C", REPOSITORY, "show", "%s:%s" % (commit, BUILT_IN_MODEL)],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        if done.returncode == 0 and done.stdout:
            return {"source": "built-in", "sha256": hashlib.sha256(done.stdout).hexdigest(),
                    "size_bytes": len(done.stdout), "hashed": "%s at commit %s" % (BUILT_IN_MODEL, commit)}, \
                done.stdout
    path = os.path.join(REPOSITORY, BUILT_IN_MODEL)
    entry = {"source": "built-in"}
    if not os.path.isfile(path):
        entry["hashed"] = "not hashed: %s is not there" % path
        return entry, None
    with open(path, "rb") as f:
        data = f.read()
    entry["sha256"], entry["size_bytes"] = hashlib.sha256(data).hexdigest(), len(data)
    entry["hashed"] = ("%s in the working tree; the program embeds the file as it was at build time, "
                       "which this hash cannot prove (the build commit is not in this checkout, or the "
                       "build was made from a modified tree)" % path)
    return entry, data


def host():
    return {"name": socket.gethostname(), "platform": platform.platform(), "processors": os.cpu_count(),
            "python": sys.version.split()[0]}
