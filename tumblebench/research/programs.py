"""Where the commands find the programs they run, the same way for all of
them: tumblebench (evaluate), and dump_windows (evaluate --dump-features and
sweep_thresholds --dump). A program named on the command line comes first,
then its environment variable, then the program beside the run's
tumblebench, then the checkout's build, then PATH."""

import os
import shutil

from .provenance import REPOSITORY

BUILD_FOLDER = os.path.join(REPOSITORY, "build")


class ProgramNotFound(Exception):
    pass


def _usable(path):
    return bool(path) and os.path.isfile(path) and os.access(path, os.X_OK)


def _find(name, given, variable, candidates, option):
    if given:
        if not _usable(given):
            raise ProgramNotFound("%s %s is not an executable file" % (name, given))
        return os.path.abspath(given)
    for path in [os.environ.get(variable)] + candidates:
        if _usable(path):
            return os.path.abspath(path)
    raise ProgramNotFound("%s not found: build the project (make build) or name it with %s or %s"
                          % (name, option, variable))


def tumblebench(given=None):
    return _find("tumblebench", given, "TUMBLEBENCH_BIN",
                 [os.path.join(BUILD_FOLDER, "harness", "tumblebench"), shutil.which("tumblebench")],
                 "--tumblebench")


def beside_tumblebench(tumblebench_path):
    """dump_windows of the build that made tumblebench (build/harness/ and
    build/tools/ are siblings)."""
    return os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(tumblebench_path))), "tools",
                        "dump_windows")


def dump_windows(given=None, tumblebench_path=None, recorded=None):
    """recorded: the dump_windows a run used before, from its manifest."""
    candidates = [recorded]
    if tumblebench_path:
        candidates.append(beside_tumblebench(tumblebench_path))
    candidates += [os.path.join(BUILD_FOLDER, "tools", "dump_windows"), shutil.which("dump_windows")]
    return _find("dump_windows", given, "TUMBLEBENCH_DUMP", candidates, "--dump-windows")
