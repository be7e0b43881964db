"""Shared pieces of the package's tests: KFall-format recordings, real
harness runs over them, and the commands themselves as subprocesses, run
through the checkout's launchers in tools/ as a researcher runs them."""

import math
import os
import re
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKOUT = os.path.normpath(os.path.join(HERE, "..", ".."))
TOOLS = os.path.join(CHECKOUT, "tools")

PYTHON = "/usr/bin/python3"
KFALL_HEADER = "TimeStamp(s),FrameCounter,AccX,AccY,AccZ,GyrX,GyrY,GyrZ,EulerX,EulerY,EulerZ"
LABEL_HEADER = "Task Code (Task ID),Description,Trial ID,Fall_onset_frame,Fall_impact_frame"


def harness():
    path = os.environ.get("TUMBLEBENCH_BIN")
    if not path:
        raise unittest.SkipTest("TUMBLEBENCH_BIN is not set (ctest sets it to the tumblebench it built)")
    if not os.access(path, os.X_OK):
        raise AssertionError("TUMBLEBENCH_BIN=%s is not an executable" % path)
    return path


def generator():
    path = os.environ.get("TUMBLEBENCH_GEN")
    if not path:
        beside = os.path.join(os.path.dirname(harness()), "tumblebench_gen")
        if not os.access(beside, os.X_OK):
            raise unittest.SkipTest("no tumblebench_gen beside %s and TUMBLEBENCH_GEN is not set" % harness())
        path = beside
    return path


def generate_data_set(folder, *options):
    proc = subprocess.run([generator(), "--out", folder, "--quiet"] + list(options),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if proc.returncode != 0:
        raise AssertionError("tumblebench_gen failed: %s" % proc.stderr)


def write_kfall(path, kind, seconds=10.0, fall_at=5.0):
    """A KFall-format trial at 100 samples per second: quiet standing, or
    standing, a fall (free fall while turning, an impact) and lying, or a
    walk with a gentle sway."""
    rows = int(seconds * 100)
    start = int(fall_at * 100)
    with open(path, "w") as f:
        f.write(KFALL_HEADER + "\n")
        for i in range(rows):
            t = i / 100
            ax, ay, az, gx, gy, gz = 0.0, -1.0, 0.0, 0.0, 0.0, 0.0
            if kind == "fall":
                if start <= i < start + 60:
                    ax, ay, az, gx, gy = 0.1, -0.2, 0.05, 200.0, 150.0
                elif start + 60 <= i < start + 70:
                    ax, ay, az, gx = 2.5, -3.0, 1.0, -100.0
                elif i >= start + 70:
                    ax, ay, az = -1.0, 0.0, 0.0
            elif kind == "walk":
                ay = -1.0 + 0.25 * math.sin(2 * math.pi * 1.8 * t)
                ax = 0.1 * math.sin(2 * math.pi * 0.9 * t)
                gz = 25.0 * math.sin(2 * math.pi * 0.9 * t)
            elif kind != "stand":
                raise ValueError(kind)
            f.write("%.2f,%d,%.6f,%.6f,%.6f,%.4f,%.4f,%.4f,0,0,0\n" % (t, i, ax, ay, az, gx, gy, gz))


def write_label_file(path, rows):
    """rows: (task code, description, trial, onset, impact) at 100 per second,
    or a raw line as a str."""
    with open(path, "w") as f:
        f.write(LABEL_HEADER + "\n")
        for row in rows:
            if isinstance(row, str):
                f.write(row + "\n")
            else:
                f.write("%s,%s,%s,%s,%s\n" % row)


def run_harness(args, cwd, log_name="run.log"):
    """Runs tumblebench and saves its standard output as a log; returns the
    log's path and text."""
    proc = subprocess.run([harness()] + list(args), cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if proc.returncode != 0:
        raise AssertionError("tumblebench %s exited with %d: %s" % (args, proc.returncode, proc.stderr[-500:]))
    path = os.path.join(cwd, log_name)
    with open(path, "wb") as f:
        f.write(proc.stdout)
    return path, proc.stdout.decode()


def run_tool(name, *args, cwd=None):
    return subprocess.run([PYTHON, os.path.join(TOOLS, name)] + [str(a) for a in args], cwd=cwd,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def report_counters(log_text):
    """The counters of the harness's report, read here with patterns of our
    own so that the tools' parser is checked, not reused."""
    adl = re.search(r"^# ADL STAT: tn (\d+)\(.*?\), fp (\d+)\(", log_text, re.M)
    down = re.search(r"^# DOWN STAT: tp (\d+)\(.*?\)\{good (\d+), soso (\d+) \(.*?\), early (\d+), late (\d+)\}, "
                     r"fn (\d+)\(", log_text, re.M)
    if not adl or not down:
        raise AssertionError("no statistics report in the log")
    tp, good, soso, early, late, fn = (int(g) for g in down.groups())
    return {"tn": int(adl.group(1)), "fp": int(adl.group(2)), "tp": tp, "good": good, "soso": soso,
            "early": early, "late": late, "fn": fn}


def assert_png(test, path_or_bytes):
    """A PNG that matplotlib reads back, of a plausible size, not blank."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.image as mpimg
    import io
    if isinstance(path_or_bytes, bytes):
        data = path_or_bytes
    else:
        with open(path_or_bytes, "rb") as f:
            data = f.read()
    test.assertEqual(data[:8], b"\x89PNG\r\n\x1a\n")
    image = mpimg.imread(io.BytesIO(data), format="png")
    test.assertGreater(image.shape[0], 100)
    test.assertGreater(image.shape[1], 100)
    # Not a blank canvas: a figure has ink on it.
    test.assertGreater(float(image[..., :3].std()), 0.01)


def report_errors(log_text):
    """task -> count of the report's error section."""
    section = log_text.split("# DETECTION ERROR:", 1)[1]
    return {int(t): int(n) for t, n in re.findall(r"^  o (\d+): (\d+) \(", section, re.M)}


class Workdir(unittest.TestCase):
    """A test case with a scratch folder of its own."""

    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="tumblebench_report_")
        self.dir = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()

    def path(self, *parts):
        return os.path.join(self.dir, *parts)


class GeneratedData(unittest.TestCase):
    """Test cases that share a generated data set in a scratch folder of the
    class: cls.dir, cls.data; GENERATE are the generator's options."""

    GENERATE = ("--subjects", "1", "--trials", "1", "--seed", "1")

    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory(prefix="tumblebench_%s_" % cls.__name__)
        cls.dir = cls._tmp.name
        cls.data = os.path.join(cls.dir, "data")
        generate_data_set(cls.data, *cls.GENERATE)

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()


class DataSet:
    """A subject folder with recordings of several kinds and a label file
    that lists them, plus one trial that is missing and one line with an
    extra field, replayed once per test class."""

    LABELS = [
        ("S01T20", "Forward fall when trying to sit down", 1, 481, 561),   # 240, 280
        ("S01T21", "Backward fall", 1, 481, 531),
        ("S01T22", "Lateral fall", 2, 700, 800),                           # detected before onset
        ("S01T30", "trip", 1, 10, 100),                                    # after impact
        ("S01T33", "slip", 1, 0, 0),                                       # no label: late
        ("S01T23", "get up", 1, 481, 538),                                 # just before impact: soso
        ("S01T24", "quiet", 1, 481, 561),                                  # nothing happens: fn
        ("S01T06", "Walk normally", 1, 0, 0),
        ("S01T10", "\"Stumble, while walking\"", 1, 0, 0),                 # fall-like ADL
        ("S01T01", "Stand", 1, 0, 0),
        ("", "same task again", 2, 0, 0),                                  # S01T01R02
        ("S01T25", "fainting", 1, 481, 561),                               # recording missing
    ]
    KINDS = {"S01T20R01.csv": "fall", "S01T21R01.csv": "fall", "S01T22R02.csv": "fall",
             "S01T30R01.csv": "fall", "S01T33R01.csv": "fall",
             "S01T23R01.csv": "fall", "S01T24R01.csv": "stand", "S01T06R01.csv": "walk",
             "S01T10R01.csv": "fall", "S01T01R01.csv": "stand", "S01T01R02.csv": "stand"}

    @classmethod
    def make(cls, folder):
        for name, kind in cls.KINDS.items():
            write_kfall(os.path.join(folder, name), kind)
        rows = list(cls.LABELS) + ["S01T06,walk again,1,0,0,"]   # six fields: invalid, replayed anyway
        write_label_file(os.path.join(folder, "SA01_all.csv"), rows)
        return run_harness(["SA01_all.csv"], folder)
