"""Faults the commands had, each as it was met: paths that are not UTF-8,
hand-edited manifests, a stop signal in the middle of a run, a sweep that
could not find the program evaluate finds, a set without labelled falls,
the run table of the HTML page, SisFall's activities named as KFall's, and
exit statuses that meant different things in different commands."""

import csv
import json
import os
import re
import shutil
import signal
import subprocess
import time
import unittest

import matplotlib.image
import pandas

import support
from test_evaluate import run, tool_env
from test_sisfall2kfall import write_download

BUILT_IN = os.path.join(support.CHECKOUT, "tumblix", "ml", "models", "fall_model.tflite")


def one_line_refusal(test, done, prog):
    """A refusal as the commands give one: status 2, one line on standard
    error naming the command, no traceback."""
    test.assertEqual(done.returncode, 2, done.stderr)
    test.assertNotIn("Traceback", done.stderr)
    test.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
    test.assertTrue(done.stderr.startswith(prog + ": "), done.stderr)


class NotUtf8Paths(support.Workdir):

    def test_evaluate_keeps_paths_in_another_encoding_and_writes_its_manifest_whole(self):
        data = os.path.join(self.dir.encode(), b"caf\xe9 data")
        support.generate_data_set(self.path("gen"), "--subjects", "1", "--trials", "1", "--seed", "2")
        os.rename(self.path("gen"), data)
        model = os.path.join(self.dir.encode(), b"mod\xe8le.tflite")
        shutil.copyfile(BUILT_IN, model)
        done = subprocess.run([support.PYTHON, os.path.join(support.TOOLS, "evaluate").encode(), data, b"--runs-dir",
                               self.path("runs").encode(), b"--model", model, b"--name", b"na\xefve"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=tool_env())
        self.assertEqual(done.returncode, 0, done.stderr.decode(errors="replace"))
        self.assertNotIn(b"Traceback", done.stderr)
        folder = next(os.path.join(self.path("runs"), n) for n in os.listdir(self.path("runs")) if n.endswith("ve"))
        with open(self.path("runs", "runs.csv"), "rb") as f:
            self.assertIn(b",na\xefve,", f.read())
        # Whole or not at all: no half-written or temporary manifest is left.
        self.assertEqual(sorted(n for n in os.listdir(folder) if "manifest" in n), ["manifest.json"])
        with open(os.path.join(folder, "manifest.json"), encoding="utf-8") as f:
            manifest = json.load(f)
        self.assertEqual(manifest["status"], "finished")
        self.assertEqual(os.fsencode(manifest["data_set"]["root"]), data)
        self.assertEqual(os.fsencode(manifest["model"]["path"]), model)
        with open(os.path.join(folder, "metrics.json"), encoding="utf-8") as f:
            self.assertEqual(os.fsencode(json.load(f)["data_set_root"]), data)


class HandEditedManifests(support.Workdir):

    def setUp(self):
        super().setUp()
        support.write_kfall(self.path("S04T20R01.csv"), "fall")
        self.log, _ = support.run_harness(["-f", "S04T20R01.csv", "240", "280"], self.dir)

    def summary_with(self, text):
        with open(self.path("manifest.json"), "w") as f:
            f.write(text)
        return support.run_tool("run_summary", self.log)

    def test_a_manifest_that_is_not_one_is_refused_in_one_line(self):
        cases = [
            ('{"name": 123}', "name is 123 (a number), not text"),
            ("[" * 200000 + "]" * 200000, "nested too deeply"),
            ('{"model": []}', "model is a list, not an object"),
            ('{"data_set": {"subjects": "SA01"}}', "data_set.subjects is \"SA01\" (text), not a list of text"),
            ('{"arguments": ["-r", 2]}', "arguments is a list, not a list of text"),
            ('{"tumblebench": {"dirty": "yes"}}', "tumblebench.dirty is \"yes\" (text), not true or false or null"),
            ('{"recordings": {"scored": true}}', "recordings.scored is true (true or false), not a whole number"),
            ("[1, 2]", "the manifest is a list, not an object"),
            ('{"name": "x"', "cannot be read"),
        ]
        for text, reason in cases:
            with self.subTest(text=text[:40]):
                done = self.summary_with(text)
                one_line_refusal(self, done, "run_summary")
                self.assertIn("manifest.json", done.stderr)
                self.assertIn(reason, done.stderr)

    def test_fields_the_tools_do_not_read_are_free(self):
        done = self.summary_with('{"name": "mine", "notes": [1, {"x": null}], "model": {"source": "built-in", '
                                 '"comment": 5}}')
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("run summary: mine", done.stdout)


def fake_harness(workdir, walk):
    """A program that answers --version as tumblebench does and does `walk`
    (shell) for a walk, in a generated data set's workdir."""
    support.generate_data_set(workdir.path("data"), "--subjects", "1", "--trials", "1", "--seed", "2")
    path = workdir.path("bin", "tumblebench")
    os.makedirs(os.path.dirname(path))
    with open(path, "w") as f:
        f.write('#!/bin/sh\nif [ "$1" = "--version" ]; then\n'
                '  echo "tumblebench 0.0.1 (Tumblix-0.0.1), commit unknown" >&2\n  exit 0\nfi\n' + walk + "\n")
    os.chmod(path, 0o755)
    return path


def read_text(path):
    try:
        with open(path) as f:
            return f.read().strip()
    except FileNotFoundError:
        return ""


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


class StopSignals(support.Workdir):

    def test_sigterm_stops_the_harness_and_marks_the_run(self):
        # A walk that stands still long enough to be stopped.
        fake = fake_harness(self, 'echo $$ > "$FAKE_HARNESS_PID"\nexec sleep 120')
        env = dict(tool_env(), TUMBLEBENCH_BIN=fake, FAKE_HARNESS_PID=self.path("pid"))
        folder = self.path("run")
        evaluate = subprocess.Popen([support.PYTHON, os.path.join(support.TOOLS, "evaluate"), self.path("data"),
                                     "-o", folder], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, text=True)
        deadline = time.monotonic() + 60
        while not read_text(self.path("pid")):
            self.assertIsNone(evaluate.poll(), "evaluate ended before its walk began")
            self.assertLess(time.monotonic(), deadline, "the walk never started")
            time.sleep(0.1)
        harness = int(read_text(self.path("pid")))
        evaluate.send_signal(signal.SIGTERM)
        out, err = evaluate.communicate(timeout=60)
        self.assertEqual(evaluate.returncode, 128 + signal.SIGTERM, err)
        self.assertNotIn("Traceback", err)
        self.assertFalse(alive(harness), "tumblebench outlived the evaluate that started it")
        with open(os.path.join(folder, "manifest.json")) as f:
            manifest = json.load(f)
        self.assertEqual((manifest["status"], manifest["signal"]), ("interrupted", "SIGTERM"))


class HarnessStatuses(support.Workdir):

    def test_evaluate_passes_on_what_the_harness_says(self):
        fake = fake_harness(self, 'exit "$FAKE_STATUS"')
        cases = [("3", 3, "refused the model"), ("4", 4, "left subjects out"), ("2", 1, "exit status 2"),
                 ("0", 1, "no recording was scored")]
        for harness_status, status, why in cases:
            with self.subTest(harness=harness_status):
                folder = self.path("run" + harness_status)
                env = dict(tool_env(), TUMBLEBENCH_BIN=fake, FAKE_STATUS=harness_status)
                done = subprocess.run([support.PYTHON, os.path.join(support.TOOLS, "evaluate"), self.path("data"),
                                       "-o", folder], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                      env=env)
                self.assertEqual(done.returncode, status, done.stderr)
                with open(os.path.join(folder, "manifest.json")) as f:
                    manifest = json.load(f)
                self.assertTrue(manifest["status"].startswith("failed: "), manifest["status"])
                self.assertIn(why, manifest["status"])


class ExitStatuses(support.Workdir):
    """Every command says "nothing was done, the input or output cannot be
    used" with 2 and one line, whatever the command."""

    def test_refusals(self):
        os.makedirs(self.path("full"))
        with open(self.path("full", "x"), "w") as f:
            f.write("x")
        with open(self.path("not a log"), "w") as f:
            f.write("hello\n")
        cases = [
            ("evaluate", [self.path("absent"), "-o", self.path("o1")]),
            ("evaluate", [self.path("full"), "-o", self.path("o2")]),
            ("run_summary", [self.path("not a log")]),
            ("run_summary", [self.path("full")]),
            ("sweep_thresholds", [self.path("full")]),
            ("sisfall2kfall", [self.path("absent"), self.path("o3")]),
            ("sisfall2kfall", [self.path("full"), self.path("o4")]),
            ("fallalld2kfall", [self.path("absent"), self.path("o5")]),
            ("fallalld2kfall", [self.path("full"), self.path("o6")]),
        ]
        for tool, args in cases:
            with self.subTest(tool=tool, args=args):
                one_line_refusal(self, run(tool, *args), tool)
        label = subprocess.run([support.PYTHON, os.path.join(support.TOOLS, "kfall_label"), "SA06_nothing.csv"],
                               cwd=self.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        one_line_refusal(self, label, "kfall_label")
        # Bad arguments: argparse's usage and its status 2, in every command.
        for tool in ("evaluate", "run_summary", "sweep_thresholds", "sisfall2kfall", "fallalld2kfall", "plot_trace"):
            with self.subTest(tool=tool):
                self.assertEqual(run(tool, "--no-such-option").returncode, 2)


def unlabel(data):
    """Every label file of the data set with its frames set to 0 0, as a data
    set that only says which trials are falls."""
    for folder, _, names in os.walk(data):
        for name in names:
            if re.fullmatch(r"SA\d\d_(all|down|adl)\.csv", name):
                path = os.path.join(folder, name)
                with open(path, newline="") as f:
                    header, *rows = list(csv.reader(f))
                with open(path, "w", newline="") as f:
                    csv.writer(f, lineterminator="\n").writerows([header] + [row[:3] + ["0", "0"] for row in rows])


class Sweeps(support.GeneratedData):

    GENERATE = ("--subjects", "1", "--trials", "1", "--seed", "3")

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        unlabel(cls.data)
        cls.run_folder = os.path.join(cls.dir, "run")
        cls.evaluated = run("evaluate", cls.data, "-o", cls.run_folder)

    def test_sweep_dumps_with_the_dump_windows_evaluate_would_use(self):
        self.assertEqual(self.evaluated.returncode, 0, self.evaluated.stderr)
        shutil.rmtree(os.path.join(self.run_folder, "features"), ignore_errors=True)
        env = tool_env()
        del env["TUMBLEBENCH_DUMP"]   # found beside the run's tumblebench, as evaluate finds it
        done = subprocess.run([support.PYTHON, os.path.join(support.TOOLS, "sweep_thresholds"), self.run_folder,
                               "--dump", "--shifts", "0", "--scales", "1"], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, env=env)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("all 36 recordings agree", done.stderr)

    def test_a_set_without_labelled_falls_has_no_timing_panels(self):
        self.assertEqual(self.evaluated.returncode, 0, self.evaluated.stderr)
        out = os.path.join(self.dir, "sweep_unlabelled")
        done = run("sweep_thresholds", self.run_folder, "--dump", "-o", out, "--shifts=-0.1,0,0.1", "--scales", "1")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertNotIn("n/a", done.stdout)
        self.assertNotIn("good", done.stdout.splitlines()[1])
        self.assertIn("no labelled falls", done.stdout)
        self.assertNotIn("Warning", done.stderr)
        self.assertEqual(matplotlib.image.imread(os.path.join(out, "sweep.png")).shape[1], 600)   # one panel
        # The summary leaves its timing panels out too, and says why.
        with open(os.path.join(self.run_folder, "summary.html")) as f:
            page = f.read()
        self.assertIn("no labelled falls (onset and impact): the timing panels are left out", page)
        self.assertNotIn('alt="lead_time"', page)
        self.assertNotIn("Warning", self.evaluated.stderr)


class SisFallActivities(support.Workdir):

    def test_converted_activities_are_named_as_the_source_names_them(self):
        rows = [(10 + i % 40, -256, 128, 1000, -2000, 300, 1, 2, 3) for i in range(1200)]
        write_download(self.path("in"), {"SA01/D14_SA01_R01.txt": rows, "SA01/F01_SA01_R01.txt": rows})
        converted = support.run_tool("sisfall2kfall", self.path("in"), self.path("kf"))
        self.assertEqual(converted.returncode, 0, converted.stderr)
        folder = self.path("run")
        done = run("evaluate", self.path("kf"), "-o", folder)
        self.assertEqual(done.returncode, 0, done.stderr)
        results = pandas.read_csv(os.path.join(folder, "results.csv")).set_index("path")
        d14 = results.loc["S01T17R01.csv"]
        self.assertEqual((d14["activity"], d14["activity_name"]),
                         ("D14", "Being on one's back change to lateral position, wait a moment, and change to "
                                 "one's back"))
        with open(os.path.join(folder, "summary.txt")) as f:
            text = f.read()
        self.assertIn("D14 Being on one's back change to", text)
        self.assertNotIn("Lie on the bed", text)
        with open(os.path.join(folder, "manifest.json")) as f:
            self.assertEqual(json.load(f)["data_set"]["name"], "sisfall")
        # The run table of the page: what and its value, split where they meet.
        with open(os.path.join(folder, "summary.html")) as f:
            page = f.read()
        self.assertIn("<tr><td>data set</td><td>sisfall: %s" % self.path("kf"), page)
        self.assertNotIn("<td>data</td>", page)


if __name__ == "__main__":
    unittest.main()
