"""run_summary as its users run it: on saved logs of real runs, cut-off and
damaged logs, and two runs compared."""

import base64
import csv
import os
import re
import subprocess
import tempfile
import unittest
from collections import Counter

import support
from support import assert_png


def read_csv(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


class DataSetRun(unittest.TestCase):
    """One label-file run over recordings of every outcome the data set can give."""

    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory(prefix="tumblebench_summary_")
        cls.dir = cls._tmp.name
        cls.log, cls.text = support.DataSet.make(cls.dir)
        cls.out = os.path.join(cls.dir, "summary")
        cls.proc = support.run_tool("run_summary", cls.log, "-o", cls.out)

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def test_succeeds_and_agrees_with_the_report(self):
        self.assertEqual(self.proc.returncode, 0, self.proc.stderr)
        self.assertIn("agrees with the result lines", self.proc.stdout)
        self.assertEqual(self.proc.stderr, "")

    def test_csv_has_one_row_per_scored_recording(self):
        rows = read_csv(os.path.join(self.out, "results.csv"))
        results = re.findall(r"^result (\S+) : (-?\d+), +(-?\d+), +(-?\d+), +(-?\d+) -> (\w+)", self.text, re.M)
        self.assertEqual([(r["path"], r["task"], r["onset"], r["impact"], r["outcome"]) for r in rows],
                         [(p, str(int(t)), o, i, out) for p, t, _, o, i, out in results])
        counters = support.report_counters(self.text)
        outcomes = Counter(r["outcome"] for r in rows)
        self.assertEqual(outcomes["tn"], counters["tn"])
        self.assertEqual(outcomes["fp"], counters["fp"])
        self.assertEqual(outcomes["fn"], counters["fn"])
        for o in ("good", "soso", "early", "late"):
            self.assertEqual(outcomes[o], counters[o], o)
        self.assertEqual(sum(r["detected"] == "1" and r["class"] == "fall" for r in rows), counters["tp"])

    def test_csv_fields(self):
        rows = {r["path"]: r for r in read_csv(os.path.join(self.out, "results.csv"))}
        for row in rows.values():
            detected = row["detected"] == "1"
            self.assertEqual(row["class"], "fall" if 20 <= int(row["task"]) <= 34 else "ADL")
            self.assertEqual(detected, row["first_frame"] != "", row)
            if detected and int(row["first_frame"]) < int(row["impact"]):
                lead = int(row["impact"]) - int(row["first_frame"])
                self.assertEqual((int(row["lead_samples"]), int(row["lead_ms"])), (lead, 20 * lead))
            else:
                self.assertEqual((row["lead_samples"], row["lead_ms"]), ("", ""), row)
            # The detection count comes from the detector's lines; the trace agrees.
            with open(os.path.join(self.dir, row["trace"])) as f:
                detect = [line.split(",")[18] for line in f.read().splitlines()[1:]]
            self.assertEqual(int(row["detections"]), sum(d != "0" for d in detect), row["path"])
            self.assertEqual(int(row["samples"]), len(detect))
        self.assertEqual((rows["S01T20R01.csv"]["subject"], rows["S01T20R01.csv"]["trial"]), ("S01", "1"))

    def test_figures(self):
        assert_png(self, os.path.join(self.out, "summary.png"))
        with open(os.path.join(self.out, "summary.html")) as f:
            page = f.read()
        images = re.findall(r'src="data:image/png;base64,([A-Za-z0-9+/=]+)"', page)
        # Eight panels, and a gallery figure for every false alarm and every
        # missed, late (labelled) or early fall.
        rows = read_csv(os.path.join(self.out, "results.csv"))
        wrong = [r for r in rows if r["outcome"] in ("fp", "fn", "early") or r["finding"] == "late"]
        self.assertTrue(wrong)
        self.assertEqual(len(images), 8 + len(wrong))
        for data in images:
            assert_png(self, base64.b64decode(data))
        self.assertIn("S01T25R01.csv", page)   # the missing trial is named

    def test_unlabelled_fall_is_detected_without_timing(self):
        # S01T33R01 has frames 0 0: the harness scores its detection late.
        rows = {r["path"]: r for r in read_csv(os.path.join(self.out, "results.csv"))}
        row = rows["S01T33R01.csv"]
        self.assertEqual((row["outcome"], row["finding"], row["labelled"]), ("late", "detected, timing unknown", "0"))
        self.assertEqual((row["lead_samples"], row["latency_samples"]), ("", ""))
        timing = read_csv(os.path.join(self.out, "timing.csv"))[0]
        falls = [r for r in rows.values() if r["class"] == "fall"]
        self.assertEqual((int(timing["labelled"]), int(timing["late"]), int(timing["unlabelled"])),
                         (len(falls) - 1, sum(r["outcome"] == "late" for r in falls) - 1, 1))
        self.assertIn("detected, timing unknown 1, missed 0", self.proc.stdout)

    def test_text_figures(self):
        counters = support.report_counters(self.text)
        with open(os.path.join(self.out, "summary.txt")) as f:
            text = f.read()
        self.assertEqual(text, self.proc.stdout)
        falls = counters["tp"] + counters["fn"]
        self.assertIn("recordings scored  %d  (falls %d, ADL %d)"
                      % (falls + counters["tn"] + counters["fp"], falls, counters["tn"] + counters["fp"]), text)
        down = re.search(r"^# DOWN STAT: tp \d+\(([\d.]+)%\)", self.text, re.M).group(1)
        adl = re.search(r"^# ADL STAT: tn \d+\(([\d.]+)%\)", self.text, re.M).group(1)
        self.assertIn("sensitivity    %s%%" % down, text)
        self.assertIn("specificity    %s%%" % adl, text)
        self.assertIn("not found          1  (S01T25R01.csv)", text)


class Estimates(unittest.TestCase):
    """Interval and test values checked against published or hand-worked figures."""

    def test_wilson_interval(self):
        from tumblebench.research.estimates import wilson_interval
        for (k, n), (low, high) in {(218, 218): (0.98268, 1.0), (5, 10): (0.23659, 0.76341),
                                    (0, 10): (0.0, 0.27753)}.items():
            got = wilson_interval(k, n)
            self.assertAlmostEqual(got[0], low, places=5, msg=(k, n))
            self.assertAlmostEqual(got[1], high, places=5, msg=(k, n))
        self.assertIsNone(wilson_interval(0, 0))

    def test_mcnemar_exact(self):
        from tumblebench.research.estimates import mcnemar_exact
        # n = 10 discordant pairs, 1 against 9: 2 * (1 + 10) / 2**10.
        self.assertEqual(mcnemar_exact(1, 9), 22 / 1024)
        self.assertEqual(mcnemar_exact(9, 1), 22 / 1024)
        self.assertEqual((mcnemar_exact(0, 0), mcnemar_exact(5, 5)), (1.0, 1.0))
        # 1100 discordant pairs: 2**1100 is beyond floats; the normal
        # approximation with continuity correction gives 0.567.
        self.assertAlmostEqual(mcnemar_exact(540, 560), 0.567, delta=0.005)

    def test_bootstrap_resamples_whole_subjects(self):
        from tumblebench.research.estimates import bootstrap_interval
        # Equal subjects give their common rate whatever is drawn; a
        # recording-level bootstrap would spread around it.
        self.assertEqual(bootstrap_interval([(9, 10)] * 3), (0.9, 0.9))
        self.assertEqual(bootstrap_interval([(10, 10), (0, 10)]), (0.0, 1.0))
        spread = [(10, 10), (9, 10), (7, 10), (10, 10), (4, 10)]
        self.assertEqual(bootstrap_interval(spread, seed=3), bootstrap_interval(spread, seed=3))


class GeneratedDataSetRun(unittest.TestCase):
    """A subject walk over a synthetic data set: every task, many outcomes."""

    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory(prefix="tumblebench_gen_")
        cls.dir = cls._tmp.name
        support.generate_data_set(cls.dir, "--subjects", "2", "--trials", "1", "--seed", "7")
        cls.log, cls.text = support.run_harness(["-r"], cls.dir)
        cls.out = os.path.join(cls.dir, "out")
        cls.proc = support.run_tool("run_summary", cls.log, "-o", cls.out)

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def test_totals_and_breakdowns_equal_the_report(self):
        self.assertEqual(self.proc.returncode, 0, self.proc.stderr)
        rows = read_csv(os.path.join(self.out, "results.csv"))
        self.assertEqual(len(rows), len(re.findall(r"^result ", self.text, re.M)))
        self.assertGreater(len(rows), 60)
        counters = support.report_counters(self.text)
        outcomes = Counter(r["outcome"] for r in rows)
        for name in ("tn", "fp", "fn", "good", "soso", "early", "late"):
            self.assertEqual(outcomes[name], counters[name], name)
        errors = Counter(int(r["task"]) for r in rows if r["outcome"] in ("fn", "fp"))
        self.assertEqual(dict(errors), support.report_errors(self.text))
        # The report's per-type totals count recordings by their first-detection mode.
        types = dict((int(t), int(n)) for t, n in re.findall(r"^  o Type-(\d+) : (\d+) ", self.text, re.M))
        detected = Counter(int(r["task"]) for r in rows if r["detected"] == "1")
        self.assertEqual(dict(detected), types)

    def test_figures_and_traces(self):
        assert_png(self, os.path.join(self.out, "summary.png"))
        rows = read_csv(os.path.join(self.out, "results.csv"))
        fall = next(r for r in rows if r["outcome"] in ("good", "soso", "late", "early"))
        trace = os.path.join(self.dir, "SA%s" % fall["subject"][1:], fall["trace"])
        proc = support.run_tool("plot_trace", trace, "--zoom", "-o", os.path.join(self.out, "fall.png"))
        self.assertEqual(proc.returncode, 0, proc.stderr)
        assert_png(self, os.path.join(self.out, "fall.png"))


class DamagedLogs(support.Workdir):

    def setUp(self):
        super().setUp()
        support.write_kfall(self.path("S04T20R01.csv"), "fall")
        self.log, self.text = support.run_harness(["-f", "S04T20R01.csv", "240", "280"], self.dir)

    def write(self, name, text):
        with open(self.path(name), "w") as f:
            f.write(text)
        return self.path(name)

    def test_cut_before_the_report(self):
        cut = self.write("cut.log", self.text[:self.text.index("# ADL STAT") - 1])
        proc = support.run_tool("run_summary", cut, "--csv", self.path("cut.csv"))
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("no statistics report", proc.stderr)
        self.assertEqual(len(read_csv(self.path("cut.csv"))), 1)

    def test_cut_mid_replay(self):
        cut = self.write("cut.log", self.text[:self.text.index("InTime") + 3])
        proc = support.run_tool("run_summary", cut, "--csv", self.path("cut.csv"), "--png", self.path("cut.png"))
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("stops during the replay of S04T20R01.csv", proc.stdout)
        self.assertEqual(read_csv(self.path("cut.csv")), [])
        assert_png(self, self.path("cut.png"))

    def test_disagreeing_report_fails(self):
        bad = self.write("bad.log", self.text.replace("good 1,", "good 0,"))
        proc = support.run_tool("run_summary", bad)
        self.assertEqual(proc.returncode, 1)
        self.assertIn("DISAGREES", proc.stderr)
        self.assertRegex(proc.stdout, r"report says: .*good 0.*\n.*result lines give: .*good 1")

    def test_not_a_run_log(self):
        cases = {
            "empty.log": "",
            "other.log": "hello\nworld\n",
            "usage.log": "Usage: tumblebench <file_name>\n          tumblebench -r\n",
            "twice.log": self.text + self.text,
        }
        for name, text in cases.items():
            with self.subTest(name):
                proc = support.run_tool("run_summary", self.write(name, text))
                self.assertEqual(proc.returncode, 2)
                self.assertTrue(proc.stderr.startswith("run_summary: "), proc.stderr)
        proc = support.run_tool("run_summary", self.path("absent.log"))
        self.assertEqual(proc.returncode, 2)
        self.assertIn("absent.log", proc.stderr)

    def test_unwritable_output(self):
        proc = support.run_tool("run_summary", self.log, "--csv", self.path("no", "such", "dir", "x.csv"))
        self.assertEqual(proc.returncode, 2)
        self.assertIn("cannot write", proc.stderr)


class Paths(support.Workdir):

    def test_path_bytes_survive(self):
        # Recordings named in another encoding than UTF-8 (Latin-1 here).
        name = b"caf\xe9 S07T20R01.csv"
        support.write_kfall(os.path.join(self.dir.encode(), name), "fall")
        proc = subprocess.run([support.harness(), "-f", name, "240", "280"], cwd=self.dir, stdout=subprocess.PIPE)
        with open(self.path("run.log"), "wb") as f:
            f.write(proc.stdout)
        out = support.run_tool("run_summary", self.path("run.log"), "--csv", self.path("r.csv"),
                               "--html", self.path("r.html"))
        self.assertEqual(out.returncode, 0, out.stderr)
        with open(self.path("r.csv"), "rb") as f:
            row = f.read().splitlines()[1]
        self.assertTrue(row.startswith(name + b","), row)


class Comparison(support.Workdir):
    """The same recordings under two labellings: the detector's decisions
    are the same, only the scoring changes, so every flip is known."""

    def setUp(self):
        super().setUp()
        names = ("S05T20R01.csv", "S05T21R01.csv", "S05T06R01.csv", "S05T10R01.csv")
        for name, kind in zip(names, ("fall", "fall", "walk", "fall")):
            support.write_kfall(self.path(name), kind)
        support.write_label_file(self.path("base.csv"), [
            ("S05T20", "a", 1, 481, 561), ("S05T21", "b", 1, 481, 561), ("S05T06", "c", 1, 0, 0)])
        support.write_label_file(self.path("new.csv"), [
            ("S05T20", "a", 1, 481, 561), ("S05T21", "b", 1, 700, 800), ("S05T06", "c", 1, 0, 0),
            ("S05T10", "d", 1, 0, 0)])
        self.base, self.base_text = support.run_harness(["base.csv"], self.dir, "base.log")
        self.new, self.new_text = support.run_harness(["new.csv"], self.dir, "new.log")

    def results(self, text):
        return dict(re.findall(r"^result (\S+) : .* -> (\w+)", text, re.M))

    def test_flips_and_deltas(self):
        out = self.path("cmp")
        proc = support.run_tool("run_summary", "--compare", self.base, self.new, "-o", out)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        before, after = self.results(self.base_text), self.results(self.new_text)
        flipped = sorted(p for p in before if p in after and before[p] != after[p])
        self.assertTrue(flipped, "the relabelled fall should change its outcome")
        rows = read_csv(os.path.join(out, "flips.csv"))
        self.assertEqual(sorted(r["path"] for r in rows), flipped)
        for r in rows:
            self.assertEqual((r["before"], r["after"]), (before[r["path"]], after[r["path"]]))
        self.assertIn("only in new: 1 recording(s): S05T10R01.csv", proc.stdout)
        cb, cn = support.report_counters(self.base_text), support.report_counters(self.new_text)
        for name in ("tp", "fn", "tn", "fp", "good", "early", "late"):
            m = re.search(r"^  %s +(\d+) +(\d+) +([+-]\d+)$" % name, proc.stdout, re.M)
            self.assertIsNotNone(m, name)
            self.assertEqual([int(g) for g in m.groups()], [cb[name], cn[name], cn[name] - cb[name]], name)
        assert_png(self, os.path.join(out, "comparison.png"))
        with open(os.path.join(out, "comparison.html")) as f:
            self.assertIn("data:image/png;base64,", f.read())

    def test_a_run_against_itself(self):
        proc = support.run_tool("run_summary", "--compare", self.base, self.base)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("outcome changed: 0 ", proc.stdout)
        deltas = re.findall(r"^  \S.*?([+-][\d.]+)(?: pp)?$", proc.stdout, re.M)
        self.assertTrue(deltas)
        self.assertTrue(all(float(d) == 0 for d in deltas), deltas)

    def test_needs_two_logs(self):
        proc = support.run_tool("run_summary", "--compare", self.base)
        self.assertEqual(proc.returncode, 2)


if __name__ == "__main__":
    unittest.main()
