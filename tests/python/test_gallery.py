"""The gallery of what went wrong: which recordings it shows and how many,
the rule and thresholds each figure names, and the page as a real browser
renders it (Debian's chromium, headless), images loaded."""

import csv
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import numpy as np

import support
from test_evaluate import OTHER_MODEL, run
from tumblebench.research import gallery, rule_thresholds
from tumblebench.research.console_log import Recording

CHROMIUM = shutil.which("chromium")
# matplotlib's tab:blue, the colour of every feature line of a gallery figure.
TAB_BLUE = np.array([31, 119, 180]) / 255.0


def rec(task, outcome, onset=0, impact=0, frame=0):
    return Recording(path="S01T%02dR01.csv" % task, status="scored", task=task, outcome=outcome, onset=onset,
                     impact=impact, first_frame=frame, first_mode=2 if frame else 0)


class Selection(unittest.TestCase):

    def test_kinds(self):
        cases = [
            (rec(6, "fp", frame=40), "fp"),
            (rec(6, "tn"), None),
            (rec(20, "fn", 100, 150), "fn"),
            (rec(20, "late", 100, 150, 160), "late"),
            (rec(20, "early", 100, 150, 90), "early"),
            (rec(20, "good", 100, 150, 120), None),
            (rec(20, "soso", 100, 150, 148), None),
            (rec(20, "late", 0, 0, 160), None),    # unlabelled and detected: untimed, not late
            (rec(20, "fn", 0, 0), "fn"),            # unlabelled and missed: a miss all the same
        ]
        for recording, kind in cases:
            with self.subTest(outcome=recording.outcome, onset=recording.onset):
                self.assertEqual(gallery.kind_of(recording), kind)

    def test_the_cap_is_shared_so_no_kind_is_crowded_out(self):
        cases = [
            ([14, 3, 0, 0], 40, [14, 3, 0, 0]),
            ([100, 3, 2, 0], 40, [35, 3, 2, 0]),
            ([100, 100, 0, 1], 10, [5, 4, 0, 1]),
            ([5, 5, 5, 5], 0, [0, 0, 0, 0]),
            ([0, 0, 0, 0], 40, [0, 0, 0, 0]),
        ]
        for counts, cap, shown in cases:
            with self.subTest(counts=counts, cap=cap):
                self.assertEqual(gallery.share(counts, cap), shown)

    def test_thresholds_come_from_the_run_rule_set(self):
        manifest = {"rules": {"sha256": "0" * 64, "values": {"mode2": {"vv_above": 5.5}, "mode4": {"p_at_least": 0.6},
                                                             "nope": {"vv_above": 1}, "mode3": {"nope": 2}}}}
        values = rule_thresholds.rule_values(manifest)
        built_in = rule_thresholds.rule_values()
        self.assertEqual((values["mode2"]["vv_above"], built_in["mode2"]["vv_above"]), (5.5, 2.91))
        text, lines = rule_thresholds.mode_rule(values, 4)
        self.assertEqual(text, "lpf_acc < 0.75 g, vv > 10, P >= 0.6")
        self.assertIn(("down", 60.0), lines)
        self.assertIn("vv > 5.5", rule_thresholds.mode_rule(values, 2)[0])
        self.assertNotIn("nope", values)
        self.assertEqual(values["mode3"], built_in["mode3"])


class RunGallery(support.GeneratedData):
    """A run of a network that was never trained on falls: false alarms and
    misses of every kind to show."""

    GENERATE = ("--subjects", "1", "--trials", "1", "--seed", "5")

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.run_folder = os.path.join(cls.dir, "run")
        cls.done = run("evaluate", cls.data, "-o", cls.run_folder, "--model", OTHER_MODEL)
        with open(os.path.join(cls.run_folder, "results.csv"), newline="") as f:
            cls.rows = list(csv.DictReader(f))

    def page(self, count, name):
        out = os.path.join(self.dir, name)
        done = support.run_tool("run_summary", self.run_folder, "-o", out, "-q", "--gallery", count)
        self.assertEqual(done.returncode, 0, done.stderr)
        return os.path.join(out, "summary.html")

    def test_every_kind_counted_and_the_figures_capped(self):
        self.assertEqual(self.done.returncode, 0, self.done.stderr)
        wrong = {k: sum(r["outcome"] == k and (k != "late" or r["finding"] == "late") for r in self.rows)
                 for k in ("fp", "fn", "late", "early")}
        self.assertGreater(sum(wrong.values()), 6)
        with open(self.page(6, "six")) as f:
            html = f.read()
        figures = re.findall(r"<figure><img alt=\"trace of ([^\"]+)\"", html)
        self.assertEqual(len(figures), 6)
        for kind, title in (("fp", "False alarms"), ("fn", "Missed falls")):
            if wrong[kind]:
                self.assertIn("<h3>%s (%d;" % (title, wrong[kind]), html)
        self.assertIn("and %d more not shown" % (wrong["fp"] - gallery.share(
            [wrong[k] for k, _, _ in gallery.KINDS], 6)[0]), html)
        # Each figure of a detection names the mode and its rule; the trace is the one in the run folder.
        detected = [r for r in self.rows if r["path"] in figures and r["detected"] == "1"]
        self.assertTrue(detected)
        for row in detected:
            self.assertRegex(html, r"%s</b> %s, [^<]*<br>mode %s at sample %s: " % (
                re.escape(row["path"]), row["outcome"], row["first_mode"], row["first_frame"]))

    @unittest.skipIf(CHROMIUM is None, "chromium is not installed (tools/bootstrap.sh test installs it)")
    def test_a_browser_shows_the_gallery_images(self):
        with_gallery, without = self.page(6, "shown"), self.page(0, "none")
        pictures = [self.screenshot(page) for page in (with_gallery, without)]
        for picture in pictures:
            self.assertGreater(float(picture[..., :3].std()), 0.05, "a blank page")
        # Six loaded figures add their plotted lines; six broken images would add none.
        blue = [int((np.abs(p[..., :3] - TAB_BLUE).max(axis=-1) < 0.08).sum()) for p in pictures]
        self.assertGreater(blue[0] - blue[1], 6 * 400, blue)

    def screenshot(self, page):
        import matplotlib.image
        png = page + ".png"
        with tempfile.TemporaryDirectory(prefix="tumblebench_chromium_") as profile:
            done = subprocess.run(
                [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--user-data-dir=" + profile, "--window-size=1300,12000", "--virtual-time-budget=5000",
                 "--screenshot=" + png, "file://" + page],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=180)
        self.assertTrue(os.path.isfile(png), done.stderr[-2000:])
        return matplotlib.image.imread(png)


if __name__ == "__main__":
    unittest.main()
