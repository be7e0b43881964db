"""The tools run under Debian's Python, whose packages (python3-numpy,
python3-matplotlib, python3-torch, ...) they use, or a virtual environment
made over it (make venv). Another interpreter usually lacks them; then a
tool says so in one line and which interpreter to use, instead of a
traceback from deep inside an import."""

import importlib.util
import sys

from . import exit_status

DEBIAN_PYTHON = "/usr/bin/python3"
# What each module is in Debian, for the message.
DEBIAN_PACKAGES = {"numpy": "python3-numpy", "matplotlib": "python3-matplotlib", "torch": "python3-torch",
                   "flatbuffers": "python3-flatbuffers", "openpyxl": "python3-openpyxl",
                   "scipy": "python3-scipy"}
# Status of a tool that cannot start: nothing was done.
MISSING_MODULES_STATUS = exit_status.REFUSED


def missing(modules):
    """The modules of `modules` this interpreter cannot import."""
    return [m for m in modules if importlib.util.find_spec(m) is None]


def message(absent):
    executable = sys.executable or "this python"
    packages = " ".join(DEBIAN_PACKAGES.get(m, m) for m in absent)
    # Debian's own interpreter (not a virtual environment made from it, which
    # may not see Debian's packages) only lacks the packages.
    if sys.prefix == sys.base_prefix == "/usr":
        fix = "install them with: apt-get install %s" % packages
    else:
        fix = "run the tools with %s or the virtual environment of make venv (Debian packages: %s)" % (
            DEBIAN_PYTHON, packages)
    return "tumblebench: %s lacks the Python module(s) %s; %s" % (executable, ", ".join(absent), fix)


def require(*modules):
    """Stops the program with one line on standard error and status 2 when
    any of the modules cannot be imported."""
    absent = missing(modules)
    if absent:
        sys.stderr.write(message(absent) + "\n")
        sys.stderr.flush()
        raise SystemExit(MISSING_MODULES_STATUS)
