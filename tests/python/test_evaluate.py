"""evaluate and sweep_thresholds as a researcher runs them: run folders over a
generated data set (and one real KFall subject when ../shared is there),
what they record, what they refuse, and a sweep that must reproduce its run."""

import csv
import glob
import hashlib
import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest
from collections import Counter

import support

OTHER_MODEL = os.path.join(support.HERE, "..", "fuzz", "corpus", "model_loader", "mlp.tflite")
SHARED_KFALL = os.path.join(support.HERE, "..", "..", "..", "shared", "kfall")
# The harness's result line, read with a pattern of this test's own.
RESULT = re.compile(r"^result (\S+) : (\d+), +(-?\d+), +(-?\d+), +(-?\d+) -> (\w+)", re.M)
PROCESSED = re.compile(r"^(\d+) data, processed\.$", re.M)


def tool_env():
    env = dict(os.environ)
    env["TUMBLEBENCH_BIN"] = support.harness()
    env.pop("TUMBLIX_MODEL", None)
    dump = os.environ.get("TUMBLEBENCH_DUMP") or os.path.join(os.path.dirname(support.harness()), "..", "tools",
                                                               "dump_windows")
    if not os.access(dump, os.X_OK):
        raise unittest.SkipTest("dump_windows is not built (TUMBLEBENCH_DUMP)")
    env["TUMBLEBENCH_DUMP"] = dump
    return env


def run(name, *args):
    return subprocess.run([support.PYTHON, os.path.join(support.TOOLS, name)] + [str(a) for a in args],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=tool_env())


def read_csv(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def snapshot(root):
    """Every file under root with its size, modification time and content hash."""
    state = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                state[os.path.relpath(path, root)] = (os.stat(path).st_mtime_ns, hashlib.sha256(f.read()).hexdigest())
    return state


class GeneratedRuns(unittest.TestCase):
    """Two runs over one generated data set: the built-in model and another
    model file, with an age-group table beside the subjects."""

    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory(prefix="tumblebench_evaluate_")
        cls.dir = cls._tmp.name
        cls.data = os.path.join(cls.dir, "data set")
        support.generate_data_set(cls.data, "--subjects", "2", "--trials", "1", "--seed", "5")
        with open(os.path.join(cls.data, "subjects.csv"), "w") as f:
            f.write("Folder;Age Group;sex\nSA01;young;f\nSA02;elderly;m\n")
        with open(os.path.join(cls.data, "recordings.csv"), "w") as f:
            f.write("\ufeffRecording,Activity\nS02T06R01,walking on a treadmill\n")
        cls.before = snapshot(cls.data)
        cls.builtin = os.path.join(cls.dir, "runs", "builtin")
        cls.first = run("evaluate", cls.data, "-o", cls.builtin, "--dump-features")
        cls.other = os.path.join(cls.dir, "runs", "other")
        cls.second = run("evaluate", cls.data, "-o", cls.other, "--model", OTHER_MODEL, "--name", "other model")

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def log(self, folder):
        with open(os.path.join(folder, "run.log"), "rb") as f:
            return f.read().decode()

    def manifest(self, folder):
        with open(os.path.join(folder, "manifest.json")) as f:
            return json.load(f)

    def test_run_folders_hold_what_tumblebench_prints_in_place(self):
        self.assertEqual(self.first.returncode, 0, self.first.stderr)
        self.assertEqual(self.second.returncode, 0, self.second.stderr)
        # The data set is untouched: no trace, no label file written, nothing changed.
        self.assertEqual(snapshot(self.data), self.before)
        # The mirror changes nothing: the log is what a run in a copy of the data set prints.
        for folder, model in ((self.builtin, None), (self.other, OTHER_MODEL)):
            copy = os.path.join(self.dir, "copy")
            shutil.copytree(self.data, copy)
            env = dict(os.environ)
            env.pop("TUMBLIX_MODEL", None)
            if model:
                env["TUMBLIX_MODEL"] = model
            direct = subprocess.run([support.harness(), "-r"], cwd=copy, env=env, stdout=subprocess.PIPE)
            shutil.rmtree(copy)
            with open(os.path.join(folder, "run.log"), "rb") as f:
                self.assertEqual(f.read(), direct.stdout, folder)
            # Every scored recording's trace is in the run folder.
            for path, *_ in RESULT.findall(self.log(folder)):
                trace = glob.glob(os.path.join(folder, "data", "sensor_data", "SA0?", path[:-4] + "_DSV.csv"))
                self.assertEqual(len(trace), 1, path)
        self.assertIn("SA01 done", self.first.stderr)
        self.assertIn("SA02 done", self.first.stderr)

    def test_manifest_says_what_produced_the_run(self):
        version = subprocess.run([support.harness(), "--version"], cwd=self.dir, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.PIPE, text=True).stderr
        commit = re.search(r"commit ([0-9a-f]+|unknown)", version).group(1)
        with open(OTHER_MODEL, "rb") as f:
            model = f.read()
        first, second = self.manifest(self.builtin), self.manifest(self.other)
        for manifest, folder in ((first, self.builtin), (second, self.other)):
            self.assertEqual(manifest["status"], "finished")
            self.assertEqual(manifest["tumblebench"]["commit"], commit)
            self.assertEqual(manifest["data_set"]["subjects"], ["SA01", "SA02"])
            self.assertEqual(manifest["recordings"]["scored"], len(RESULT.findall(self.log(folder))))
            self.assertEqual(manifest["recordings"]["listed"], 72)
        self.assertEqual(first["model"]["source"], "built-in")
        self.assertEqual((second["model"]["sha256"], second["model"]["size_bytes"]),
                         (hashlib.sha256(model).hexdigest(), len(model)))
        self.assertEqual(second["name"], "other model")

    def test_a_used_folder_is_refused(self):
        before = snapshot(self.builtin)
        again = run("evaluate", self.data, "-o", self.builtin)
        self.assertEqual(again.returncode, 2)
        self.assertIn("not empty", again.stderr)
        self.assertEqual(snapshot(self.builtin), before)

    def test_hard_links_and_copies_give_the_same_run_and_leave_the_data_alone(self):
        # A hard-linked recording is the original file: anything the run
        # wrote into it would change the data set.
        before = snapshot(self.data)
        for way in ("hardlink", "copy"):
            folder = os.path.join(self.dir, "runs", way)
            done = run("evaluate", self.data, "-o", folder, "--link", way)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual(self.log(folder), self.log(self.builtin), way)
            self.assertEqual(self.manifest(folder)["data_set"]["placed"], {way: 72})
            self.assertEqual(snapshot(self.data), before, way)

    def test_a_model_the_harness_refuses_fails_the_run(self):
        broken = os.path.join(self.dir, "broken.tflite")
        with open(OTHER_MODEL, "rb") as f, open(broken, "wb") as out:
            out.write(f.read()[:200])
        folder = os.path.join(self.dir, "runs", "broken")
        done = run("evaluate", self.data, "-o", folder, "--subjects", "SA01", "--model", broken)
        self.assertEqual(done.returncode, 3)   # the harness's own status for a refused model
        self.assertIn("the model cannot be used", done.stderr)
        self.assertTrue(self.manifest(folder)["status"].startswith("failed"))
        self.assertEqual(os.path.getsize(os.path.join(folder, "run.log")), 0)

    def test_subject_group_and_activity_tables_and_false_alarms_per_hour(self):
        text = self.log(self.builtin)
        # Each result line comes right after its recording's sample count.
        samples = [int(n) for n in PROCESSED.findall(text)]
        results = RESULT.findall(text)
        self.assertEqual(len(samples), len(results))
        expected = {}
        adl_samples, fp = 0, 0
        for (path, task, *_ , outcome), n in zip(results, samples):
            subject = "SA" + path[1:3]
            expected.setdefault(subject, Counter())[outcome] += 1
            if not 20 <= int(task) <= 34:
                adl_samples += n
                fp += outcome == "fp"
        rows = {r["subject"]: r for r in read_csv(os.path.join(self.builtin, "per_subject.csv"))}
        self.assertEqual(sorted(rows), ["SA01", "SA02"])
        for subject, counts in expected.items():
            row = rows[subject]
            self.assertEqual((int(row["fn"]), int(row["fp"])), (counts["fn"], counts["fp"]))
            self.assertEqual(int(row["falls"]), sum(counts[o] for o in ("good", "soso", "early", "late", "fn")))
        results = {r["path"]: r for r in read_csv(os.path.join(self.builtin, "results.csv"))}
        self.assertEqual((results["S02T06R01.csv"]["activity"], results["S01T06R01.csv"]["activity"]),
                         ("walking on a treadmill", "Walk normally with turn (4m)"))
        self.assertEqual((results["S02T06R01.csv"]["age_group"], results["S01T06R01.csv"]["age_group"]),
                         ("elderly", "young"))
        groups = {r["age_group"]: r for r in read_csv(os.path.join(self.builtin, "per_group.csv"))}
        self.assertEqual(groups["young"]["adl"], rows["SA01"]["adl"])
        self.assertEqual(groups["elderly"]["falls"], rows["SA02"]["falls"])
        # Activities the data set names itself get a table of their own.
        activities = {r["activity"]: r for r in read_csv(os.path.join(self.builtin, "per_activity.csv"))}
        treadmill = [r for r in results.values() if r["activity"] == "walking on a treadmill"]
        self.assertEqual(int(activities["walking on a treadmill"]["adl"]), len(treadmill))
        self.assertEqual(int(activities["walking on a treadmill"]["fp"]), sum(r["outcome"] == "fp" for r in treadmill))
        with open(os.path.join(self.builtin, "summary.txt")) as f:
            summary = f.read()
        self.assertIn("per hour", summary)
        self.assertIn(": %.2f per hour" % (fp / (adl_samples / 50 / 3600)), summary)

    def test_runs_of_separate_subjects_pool_into_the_run_of_them_all(self):
        # Cross-validation folds are reported pooled: two runs of one subject
        # each, pooled, must give the figures of one run over both.
        folders = []
        for subject in ("SA01", "SA02"):
            folder = os.path.join(self.dir, "runs", "only_" + subject)
            done = run("evaluate", self.data, "-o", folder, "--subjects", subject)
            self.assertEqual(done.returncode, 0, done.stderr)
            folders.append(folder)
        pooled = os.path.join(self.dir, "pooled")
        done = support.run_tool("run_summary", "--pool", *folders, "-o", pooled)
        self.assertEqual(done.returncode, 0, done.stderr)
        for table in ("per_subject.csv", "per_group.csv", "per_activity.csv", "timing.csv"):
            self.assertEqual(read_csv(os.path.join(pooled, table)), read_csv(os.path.join(self.builtin, table)), table)
        self.assertIn("each run checked on its own: 2 of 2 reports agree", done.stdout)
        # The same recordings twice would count them twice.
        done = support.run_tool("run_summary", "--pool", self.builtin, self.other, "-o", pooled + "_twice")
        self.assertEqual(done.returncode, 2)
        self.assertIn("cannot be pooled", done.stderr)

    def test_compare_names_runs_by_their_manifests_and_pairs_them(self):
        out = os.path.join(self.dir, "compare")
        done = support.run_tool("run_summary", "--compare", self.builtin, self.other,
                                os.path.join(self.builtin, "run.log"), "-o", out)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("#2: other model", done.stdout)
        right = []
        for folder in (self.builtin, self.other):
            outcomes = dict((path, outcome) for path, *_, outcome in RESULT.findall(self.log(folder)))
            right.append({p: o in ("good", "soso", "early", "late", "tn") for p, o in outcomes.items()})
        only_first = sum(right[0][p] and not right[1][p] for p in right[0])
        only_second = sum(right[1][p] and not right[0][p] for p in right[0])
        self.assertGreater(only_first + only_second, 0, "the two models should differ somewhere")
        pairs = read_csv(os.path.join(out, "pairs.csv"))
        self.assertEqual(len(pairs), 3)
        self.assertEqual((pairs[0]["run_b"], int(pairs[0]["right_only_in_a"]), int(pairs[0]["right_only_in_b"])),
                         ("other model", only_first, only_second))
        # A run against itself: no disagreement, p = 1.
        self.assertEqual((int(pairs[1]["right_only_in_a"]) + int(pairs[1]["right_only_in_b"]),
                          float(pairs[1]["mcnemar_exact_p"])), (0, 1.0))

    def test_sweep_reproduces_the_run_and_refuses_a_run_it_does_not(self):
        done = run("sweep_thresholds", self.builtin, "--shifts=-0.1,0,0.1", "--scales", "1,1.2")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("all 72 recordings agree", done.stderr)
        rows = read_csv(os.path.join(self.builtin, "sweep", "sweep.csv"))
        self.assertEqual(len(rows), 6)
        own = next(r for r in rows if float(r["shift"]) == 0 and float(r["scale"]) == 1)
        outcomes = Counter(o for *_, o in RESULT.findall(self.log(self.builtin)))
        self.assertEqual((int(own["false_alarms"]), int(own["good"]), int(own["falls"]) - int(own["detected"])),
                         (outcomes["fp"], outcomes["good"], outcomes["fn"]))
        support.assert_png(self, os.path.join(self.builtin, "sweep", "sweep.png"))

        # A dump whose scores are not the detector's: the first detection of
        # a recording found by a score-tested mode must move.
        tampered = os.path.join(self.dir, "tampered")
        shutil.copytree(self.builtin, tampered, symlinks=True)
        line = re.search(r"^result (S\d+T\d+R\d+\.csv) : .* -> good \(\d+\)\[[1-578]\]$", self.log(tampered), re.M)
        dump = glob.glob(os.path.join(tampered, "features", "SA0?", line.group(1)))[0]
        with open(dump) as f:
            header, *body = f.read().splitlines()
        with open(dump, "w") as f:
            f.write("\n".join([header] + [row.rsplit(",", 1)[0] + ",0" for row in body]) + "\n")
        done = run("sweep_thresholds", tampered)
        self.assertEqual(done.returncode, 1)
        self.assertIn("does NOT reproduce the run", done.stderr)
        self.assertIn(line.group(1), done.stderr)


class RealKFallSubject(unittest.TestCase):

    def test_evaluate_and_sweep_one_subject(self):
        if not os.access(os.path.join(SHARED_KFALL, "unpack.sh"), os.X_OK):
            self.skipTest("no KFall recordings at %s" % SHARED_KFALL)
        with tempfile.TemporaryDirectory(prefix="tumblebench_evaluate_kfall_") as work:
            folder = os.path.join(work, "run")
            done = run("evaluate", SHARED_KFALL, "--subjects", "SA06", "-o", folder, "--dump-features")
            self.assertEqual(done.returncode, 0, done.stderr)
            with open(os.path.join(folder, "manifest.json")) as f:
                manifest = json.load(f)
            recordings = manifest["recordings"]
            # Known by name from its label spreadsheets: runs of it can say when a model saw its subjects.
            self.assertEqual(manifest["data_set"]["name"], "kfall")
            self.assertGreater(recordings["scored"], 100)
            self.assertEqual(recordings["scored"], recordings["listed"])
            done = run("sweep_thresholds", folder, "--shifts", "0", "--scales", "1")
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertIn("all %d recordings agree" % recordings["scored"], done.stderr)


if __name__ == "__main__":
    unittest.main()
