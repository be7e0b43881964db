"""A run's results as data other tools read: metrics.json in every run
folder, runs.csv in the runs folder, tidy CSVs that load into numbers, the
comparison as CSV and JSON, runs chosen by exact name, and the warning for a
model measured on the subjects it was trained on."""

import csv
import glob
import json
import multiprocessing
import os
import re
import tempfile
import unittest

import pandas

import support
from test_evaluate import RESULT, run
from tumblebench.research import estimates, metrics, run_folder, runs_index
from tumblebench.training import tflite_writer

BUILT_IN = os.path.join(support.CHECKOUT, "tumblix", "ml", "models", "fall_model.tflite")
BROKEN_MODEL = b"TFL3 is not enough"
PROCESSED = re.compile(r"^(\d+) data, processed\.$", re.M)
# Columns that hold names, text or times of day; every other column of every
# CSV the tools write must load as numbers.
TEXT_COLUMNS = {"path", "recording", "subject", "class", "activity", "activity_name", "outcome", "trace",
                "subject_folder",
                "age_group", "finding", "fall_type", "name", "folder", "status", "started", "finished",
                "pooled_from", "tumblebench_version", "commit", "data_set", "data_set_root", "subjects", "walk",
                "model_source", "model_sha256", "rules_sha256", "model_trained_on_subjects", "check", "label",
                "run_a", "run_b", "run", "before", "after", "change"}


def numeric_problems(path):
    """Columns of a CSV that should hold numbers and do not, and cells with
    units or percent signs."""
    frame = pandas.read_csv(path)
    problems = []
    for column in frame.columns:
        if column in TEXT_COLUMNS or frame.empty:
            continue
        if frame[column].dtype.kind not in "iufb":
            problems.append("%s: column %s is %s: %r" % (os.path.basename(path), column, frame[column].dtype,
                                                         list(frame[column][:3])))
    with open(path, newline="") as f:
        for row in csv.reader(f):
            for cell in row:
                if re.search(r"\d\s*%|\d ms\b", cell):
                    problems.append("%s: a cell with a unit: %r" % (os.path.basename(path), cell))
    return problems


def recorded_model(path, subjects):
    with open(BUILT_IN, "rb") as f:
        model = tflite_writer.read_model(f.read())
    with open(path, "wb") as f:
        f.write(tflite_writer.pack_model(tflite_writer.with_training_subjects(model, subjects)))
    return path


class RunsFolder(support.GeneratedData):
    """Runs into one runs folder over a generated data set that names itself
    (dataset column of its subject table): the built-in model, a model whose
    record says it was trained on SA01, a run named so that a glob of the
    first's name would catch it too, and a run whose model is refused."""

    GENERATE = ("--subjects", "2", "--trials", "1", "--seed", "5")

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        with open(os.path.join(cls.data, "subjects.csv"), "w") as f:
            f.write("folder,dataset,age_group\nSA01,Synthetic,young\nSA02,Synthetic,elderly\n")
        cls.runs = os.path.join(cls.dir, "runs")
        model = recorded_model(os.path.join(cls.dir, "trained_on_SA01.tflite"), {"synthetic": ["SA01"]})
        broken = os.path.join(cls.dir, "broken.tflite")
        with open(broken, "wb") as f:
            f.write(BROKEN_MODEL)
        cls.done = {
            "base": run("evaluate", cls.data, "--runs-dir", cls.runs, "--name", "base"),
            "in-sample": run("evaluate", cls.data, "--runs-dir", cls.runs, "--name", "in-sample", "--model", model),
            "sisfall-base": run("evaluate", cls.data, "--runs-dir", cls.runs, "--name", "sisfall-base",
                                "--subjects", "SA02"),
            "broken": run("evaluate", cls.data, "--runs-dir", cls.runs, "--name", "broken", "--model", broken,
                          "--subjects", "SA02"),
        }
        cls.folder = {name: runs_index.find(cls.runs, name) for name in cls.done}

    def metrics(self, name):
        with open(os.path.join(self.folder[name], "metrics.json")) as f:
            return json.load(f)

    def test_the_runs_end_as_they_should(self):
        for name, status in (("base", 0), ("in-sample", 0), ("sisfall-base", 0), ("broken", 3)):
            self.assertEqual(self.done[name].returncode, status, "%s: %s" % (name, self.done[name].stderr))

    def test_metrics_hold_the_run_figures_as_numbers(self):
        m = self.metrics("base")
        with open(os.path.join(self.folder["base"], "run.log")) as f:
            log = f.read()
        counters = support.report_counters(log)
        falls, adl = counters["tp"] + counters["fn"], counters["tn"] + counters["fp"]
        self.assertEqual([m[k] for k in ("tp", "fn", "tn", "fp", "good", "falls", "adl")],
                         [counters[k] for k in ("tp", "fn", "tn", "fp", "good")] + [falls, adl])
        self.assertAlmostEqual(m["sensitivity_pct"], 100.0 * counters["tp"] / falls, places=12)
        low, high = estimates.wilson_interval(counters["tn"], adl)
        self.assertEqual((m["specificity_pct_lo"], m["specificity_pct_hi"]), (100 * low, 100 * high))
        adl_samples = sum(int(n) for n, (_, task, *_rest) in zip(PROCESSED.findall(log), RESULT.findall(log))
                          if not 20 <= int(task) <= 34)
        self.assertAlmostEqual(m["adl_hours"], adl_samples / 50 / 3600, places=12)
        self.assertAlmostEqual(m["false_alarms_per_hour"], counters["fp"] / m["adl_hours"], places=9)
        with open(os.path.join(self.folder["base"], "manifest.json")) as f:
            manifest = json.load(f)
        self.assertEqual((m["model_sha256"], m["commit"], m["data_set"], m["subjects"]),
                         (manifest["model"]["sha256"], manifest["tumblebench"]["commit"], "synthetic",
                          ["SA01", "SA02"]))
        self.assertIsNone(m["rules_sha256"])
        # Two subjects are too few for a bootstrap: no interval, and the reason.
        self.assertEqual((m["sensitivity_pct_bootstrap_lo"], m["bootstrap_subjects"]), (None, 2))
        with open(os.path.join(self.folder["base"], "summary.txt")) as f:
            self.assertIn("no bootstrap interval: 2 subject(s) are too few (it takes 8)", f.read())
        for key, value in m.items():
            if key not in TEXT_COLUMNS:
                self.assertIsInstance(value, (int, float, bool, type(None)), key)

    def test_a_model_trained_on_the_run_subjects_is_said_to_be(self):
        trained, base = self.metrics("in-sample"), self.metrics("base")
        self.assertEqual((trained["model_trained_on_run_subjects"], trained["model_trained_on_subjects"]),
                         (True, ["synthetic:SA01"]))
        # The built-in model carries no record: not known, not "no".
        self.assertIsNone(base["model_trained_on_run_subjects"])
        self.assertEqual(self.metrics("sisfall-base")["model_trained_on_run_subjects"], None)
        self.assertIn("WARNING: the model was trained on 1 of this run's subjects (synthetic:SA01)",
                      self.done["in-sample"].stdout)
        with open(os.path.join(self.folder["in-sample"], "summary.html")) as f:
            self.assertIn('<p class="warn">WARNING: the model was trained on 1', f.read())
        self.assertNotIn("WARNING", self.done["base"].stdout)
        compared = support.run_tool("run_summary", "--runs-dir", self.runs, "--compare", "base", "in-sample")
        warnings = [line for line in compared.stdout.splitlines() if "WARNING" in line]
        self.assertEqual(len(warnings), 1, compared.stdout)
        self.assertRegex(warnings[0], r"WARNING: the model was trained on 1 of this run's subjects \(synthetic:SA01\): "
                                      r".*\(new\)$")

    def test_runs_csv_has_a_row_per_run_failed_ones_too(self):
        index = pandas.read_csv(os.path.join(self.runs, "runs.csv"))
        self.assertEqual(sorted(index["name"]), ["base", "broken", "in-sample", "sisfall-base"])
        rows = index.set_index("name")
        self.assertTrue(rows.loc["broken", "status"].startswith("failed"))
        self.assertTrue(pandas.isna(rows.loc["broken", "tp"]))
        self.assertEqual(rows.loc["base", "tp"], self.metrics("base")["tp"])
        self.assertEqual(rows.loc["in-sample", "model_trained_on_run_subjects"], 1)
        self.assertEqual(numeric_problems(os.path.join(self.runs, "runs.csv")), [])

    def test_every_csv_loads_into_numbers(self):
        out = os.path.join(self.dir, "compare")
        done = support.run_tool("run_summary", "--runs-dir", self.runs, "--compare", "base", "in-sample",
                                "sisfall-base", "-o", out)
        self.assertEqual(done.returncode, 0, done.stderr)
        # Every CSV the tools write (subjects.csv is the data set's own, copied).
        files = [p for p in glob.glob(os.path.join(self.folder["base"], "*.csv")) +
                 glob.glob(os.path.join(out, "*.csv")) if os.path.basename(p) != "subjects.csv"]
        self.assertGreaterEqual(len(files), 8)
        for path in files:
            with self.subTest(os.path.basename(path)):
                self.assertEqual(numeric_problems(path), [])
        headline = pandas.read_csv(os.path.join(out, "headline.csv"))
        self.assertEqual(list(headline["name"]), ["base", "in-sample", "sisfall-base"])
        with open(os.path.join(out, "comparison.json")) as f:
            data = json.load(f)
        self.assertEqual([r["tp"] for r in data["runs"]], list(headline["tp"]))
        pairs = pandas.read_csv(os.path.join(out, "pairs.csv"))
        self.assertEqual(len(pairs), 3)
        self.assertEqual([p["mcnemar_exact_p"] for p in data["pairs"]], list(pairs["mcnemar_exact_p"]))

    def test_compare_console_counts_changes_and_lists_them_when_asked(self):
        quiet = support.run_tool("run_summary", "--runs-dir", self.runs, "--compare", "base", "sisfall-base")
        listed = support.run_tool("run_summary", "--runs-dir", self.runs, "--compare", "base", "sisfall-base",
                                  "--changes")
        self.assertEqual((quiet.returncode, listed.returncode), (0, 0), quiet.stderr + listed.stderr)
        # The second run scored SA02 only: SA01's recordings are only in the base.
        self.assertIn("only in base: 36 recording(s)", quiet.stdout)
        self.assertRegex(quiet.stdout, r"outcome changed: 0 \(better 0, worse 0, other 0\)")
        changed = support.run_tool("run_summary", "--runs-dir", self.runs, "--compare", "base", "in-sample")
        self.assertNotRegex(changed.stdout, r"^    (better|worse|changed) ")
        with_changes = support.run_tool("run_summary", "--runs-dir", self.runs, "--compare", "base", "in-sample",
                                        "--changes")
        count = int(re.search(r"outcome changed: (\d+)", with_changes.stdout).group(1))
        self.assertEqual(len(re.findall(r"^    (?:better|worse|changed) ", with_changes.stdout, re.M)), count)

    def test_runs_are_chosen_by_exact_name(self):
        # The glob the documentation once gave catches the wrong run too.
        self.assertEqual(len(glob.glob(os.path.join(self.runs, "*-base"))), 2)
        done = support.run_tool("run_summary", "--runs-dir", self.runs, "base", "-q", "--csv",
                                os.path.join(self.dir, "base.csv"))
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(len(pandas.read_csv(os.path.join(self.dir, "base.csv"))), 72)
        for name, message in (("bas", "no run in"), ("nothing", "no run in")):
            done = support.run_tool("run_summary", "--runs-dir", self.runs, name)
            self.assertEqual(done.returncode, 2)
            self.assertIn(message, done.stderr)
        # Two runs of one name are not told apart by guessing.
        twin = os.path.join(self.runs, "twin")
        os.mkdir(twin)
        with open(os.path.join(twin, "manifest.json"), "w") as f:
            json.dump({"name": "base"}, f)
        try:
            done = support.run_tool("run_summary", "--runs-dir", self.runs, "--pool", "base", "sisfall-base")
            self.assertEqual(done.returncode, 2)
            self.assertIn("2 runs in %s are named base" % self.runs, done.stderr)
        finally:
            os.remove(os.path.join(twin, "manifest.json"))
            os.rmdir(twin)


def _finish_runs(runs, worker, barrier):
    # Runs that finish while others are being indexed: an index rebuilt from
    # a listing made before another run finished must not be the last word.
    barrier.wait()
    for number in range(worker * 10, worker * 10 + 5):
        folder = os.path.join(runs, "run%02d" % number)
        os.mkdir(folder)
        with open(os.path.join(folder, "manifest.json"), "w") as f:
            json.dump({"name": "run %d" % number, "status": "finished"}, f)
        with open(os.path.join(folder, metrics.FILE), "w") as f:
            json.dump({"format": 1, "name": "run %d" % number, "tp": number}, f)
        runs_index.update(runs)


class RunsIndex(unittest.TestCase):

    def test_runs_finishing_at_once_all_reach_the_index(self):
        with tempfile.TemporaryDirectory() as runs:
            context = multiprocessing.get_context("fork")
            barrier = context.Barrier(4)
            workers = [context.Process(target=_finish_runs, args=(runs, n, barrier)) for n in range(4)]
            for w in workers:
                w.start()
            for w in workers:
                w.join()
            self.assertEqual([w.exitcode for w in workers], [0] * 4)
            numbers = [w * 10 + k for w in range(4) for k in range(5)]
            index = pandas.read_csv(os.path.join(runs, "runs.csv"))
            self.assertEqual(sorted(index["tp"]), numbers)
            self.assertEqual(sorted(os.listdir(runs)), sorted([".runs.csv.lock", "runs.csv"] +
                                                              ["run%02d" % n for n in numbers]))

    def test_index_command(self):
        with tempfile.TemporaryDirectory() as runs:
            done = support.run_tool("run_summary", "--index", os.path.join(runs, "absent"))
            self.assertEqual(done.returncode, 2)
            self.assertEqual(done.stderr.count("\n"), 1, done.stderr)


class InSample(unittest.TestCase):

    def test_whether_the_model_saw_the_run_subjects(self):
        def manifest(record, name="kfall", subjects=("SA06", "SA22")):
            return {"model": {"training_subjects": record}, "data_set": {"name": name, "subjects": list(subjects)}}
        cases = [
            (manifest({"kfall": ["SA06", "SA07"]}), (True, ["kfall:SA06"])),
            (manifest({"kfall": ["SA07"], "sisfall": ["SA22"]}), (False, [])),
            (manifest(None), (None, [])),                        # no record in the model
            (manifest({"kfall": ["SA06"]}, name=None), (None, [])),  # the data set is not known by name
            ({"model": {"training_subjects": {"sisfall": ["SA01"]}},
              "data_set": {"subjects_by_data_set": {"kfall": ["SA06"], "sisfall": ["SA01", "SA51"]}}},
             (True, ["sisfall:SA01"])),
        ]
        for given, expected in cases:
            with self.subTest(given=given):
                self.assertEqual(metrics.in_sample(given), expected)

    def test_pooled_runs(self):
        def context(name, record):
            return run_folder.RunContext(name=name, manifest={"model": {"training_subjects": record},
                                                              "data_set": {"name": "kfall", "subjects": ["SA06"]}})
        seen, unseen, unknown = context("a", {"kfall": ["SA06"]}), context("b", {"kfall": []}), context("c", None)
        self.assertEqual(metrics.pooled_in_sample([unseen, seen]), (True, ["a: kfall:SA06"]))
        self.assertEqual(metrics.pooled_in_sample([unseen, unseen]), (False, []))
        self.assertEqual(metrics.pooled_in_sample([unseen, unknown]), (None, []))


if __name__ == "__main__":
    unittest.main()
