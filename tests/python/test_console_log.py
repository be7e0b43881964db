"""The console-log reader against real runs, against logs cut off anywhere,
and against the message shapes of label-file runs."""

import os
import re
import unittest

import support
from tumblebench.research import console_log, stats, trace

FULL_REPORT_OF_TWO = """
# ADL STAT: tn 1(100.00%), fp 0(0.00%)
# DOWN STAT: tp 1(100.00%){good 1, soso 0 (0, 0, 0, 0), early 0, late 0}, fn 0(0.00%)

# ALL STAT: ok 2(100.00%), soso 0(0.00%), troublemakers 0(0.00%)

# DETECTION STAT:

  o ALL : 1

    -  6 : 1 (100.00%)

  o ADL : 0


  o DOWN : 1

    -  6 : 1 (100.00%)

  o Type-20 : 1 (Forward fall when trying to sit down)

    -  6 : 1 (100.00%)

# DETECTION ERROR:

"""


class SingleRecordingRuns(support.Workdir):
    """What the log says about a replay must agree with the trace file the
    same replay wrote."""

    def replay(self, kind, *labels, name="S02T20R01.csv"):
        support.write_kfall(self.path(name), kind)
        path, text = support.run_harness(["-f", name] + [str(v) for v in labels], self.dir)
        return console_log.read_log(path), trace.read_trace(self.path(name[:-4] + "_DSV.csv")), text

    def assert_agrees_with_trace(self, rec, tr):
        self.assertEqual(rec.samples, len(tr))
        self.assertEqual([(d.frame, d.mode) for d in rec.detections], tr.detections)
        if tr.detections:
            self.assertTrue(rec.detected)
            self.assertEqual((rec.first_frame, rec.first_mode), tr.detections[0])
        else:
            self.assertFalse(rec.detected)
        self.assertEqual(rec.trace, os.path.basename(tr.path))

    def test_labelled_fall(self):
        log, tr, _ = self.replay("fall", 240, 280)
        self.assertEqual(len(log.scored), 1)
        rec = log.scored[0]
        self.assertEqual((rec.path, rec.task, rec.onset, rec.impact), ("S02T20R01.csv", 20, 240, 280))
        self.assert_agrees_with_trace(rec, tr)
        # Every detecting sample of a labelled replay prints a timing line.
        self.assertEqual(rec.timing_lines, len(tr.detections))
        self.assertEqual(stats.check_report(log).status, "match")
        self.assertEqual(log.notes, [])

    def test_unlabelled_runs_of_both_classes(self):
        for kind, name in (("fall", "S02T31R04.csv"), ("walk", "S02T07R01.csv"), ("stand", "S02T01R01.csv")):
            with self.subTest(kind=kind):
                log, tr, _ = self.replay(kind, name=name)
                rec = log.scored[0]
                self.assert_agrees_with_trace(rec, tr)
                self.assertEqual(rec.timing_lines, 0)
                self.assertEqual((rec.onset, rec.impact), (0, 0))
                self.assertEqual(stats.check_report(log).status, "match")

    def test_missing_recording(self):
        path, _ = support.run_harness(["-f", "S02T20R09.csv", "240", "280"], self.dir)
        log = console_log.read_log(path)
        self.assertEqual([r.path for r in log.not_found], ["S02T20R09.csv"])
        self.assertEqual(log.scored, [])
        self.assertEqual(stats.check_report(log).status, "match")


class LabelFileRun(support.Workdir):

    def test_every_listed_trial_is_accounted_for(self):
        path, text = support.DataSet.make(self.dir)
        log = console_log.read_log(path)
        results = re.findall(r"^result (\S+) :", text, re.M)
        self.assertEqual([r.path for r in log.scored], results)
        self.assertEqual([r.path for r in log.not_found], ["S01T25R01.csv"])
        self.assertEqual(log.unscored, [])
        self.assertEqual(len(log.invalid_label_lines), 1)
        # Label frames at 100 per second are halved for the replay.
        fall = next(r for r in log.scored if r.path == "S01T20R01.csv")
        self.assertEqual((fall.label_onset, fall.label_impact, fall.onset, fall.impact), (240, 280, 240, 280))
        # A trial listed twice is two recordings, told apart by their order.
        walks = [r for r in log.scored if r.path == "S01T06R01.csv"]
        self.assertEqual([r.occurrence for r in walks], [0, 1])
        self.assertIn("S01T01R02.csv", results)
        for rec in log.scored:
            tr = trace.read_trace(self.path(rec.trace))
            self.assertEqual(rec.samples, len(tr), rec.path)
            self.assertEqual([(d.frame, d.mode) for d in rec.detections], tr.detections, rec.path)
        check = stats.check_report(log)
        self.assertEqual(check.status, "match", check.describe())
        counters = support.report_counters(text)
        rebuilt = stats.accumulate(log.scored)
        self.assertEqual(counters, {k: getattr(rebuilt, k) if k != "soso" else rebuilt.soso[0] for k in counters})


class CutOffLogs(support.Workdir):
    """A run killed at any point leaves a prefix of its log. Every prefix
    must read without error, never count a result that is not wholly there,
    and never pass for a disagreement with the report."""

    @classmethod
    def setUpClass(cls):
        import tempfile
        cls._data = tempfile.TemporaryDirectory(prefix="tumblebench_cut_")
        _, cls.text = support.DataSet.make(cls._data.name)

    @classmethod
    def tearDownClass(cls):
        cls._data.cleanup()

    def cut_points(self):
        line_ends = [m.end() for m in re.finditer("\n", self.text)]
        mid_lines = range(1, len(self.text), 101)
        report_at = self.text.index("# ADL STAT")
        in_report = range(report_at - 3, len(self.text))
        return sorted(set(line_ends) | set(mid_lines) | set(in_report) | {0})

    def test_every_prefix(self):
        report_at = self.text.index("# ADL STAT")
        for cut in self.cut_points():
            prefix = self.text[:cut]
            log = console_log.parse_log(prefix, source="cut at %d" % cut)
            whole = re.findall(r"^result .*$\n", prefix, re.M)
            # A result line lacking only its line end is complete too.
            tail = prefix.rsplit("\n", 1)[-1]
            if tail.startswith("result ") and re.search(r"( -> (fn|tn)|\]| -> fp \[\d+\])$", tail):
                whole.append(tail)
            self.assertEqual(len(log.scored), len(whole), "cut at %d" % cut)
            check = stats.check_report(log)
            if cut <= report_at:
                self.assertEqual(check.status, "missing", "cut at %d" % cut)
            elif cut < len(self.text):
                self.assertIn(check.status, ("incomplete", "match"), "cut at %d: %s" % (cut, check.describe()))
            else:
                self.assertEqual(check.status, "match")
            if cut < len(self.text) and not prefix.endswith("\n") and cut > 0:
                self.assertTrue(log.notes, "cut at %d left no note" % cut)

    def test_cut_after_a_line_inside_the_error_section_is_incomplete(self):
        # The last report line that is not blank; without it the report is
        # shorter than the result lines say it must be.
        lines = self.text.rstrip("\n").split("\n")
        prefix = "\n".join(lines[:-1]) + "\n"
        self.assertTrue(lines[-1].startswith("  o "), lines[-1])
        self.assertEqual(stats.check_report(console_log.parse_log(prefix)).status, "incomplete")

    def test_tampered_logs_disagree(self):
        tampered = {
            "report count changed": re.sub(r"tn (\d+)\(", lambda m: "tn %d(" % (int(m.group(1)) + 1), self.text, 1),
            "result line lost": re.sub(r"^result .* -> tn\n", "", self.text, count=1, flags=re.M),
            "outcome changed": self.text.replace("-> tn\n", "-> fn\n", 1),
            "mode changed": re.sub(r"\)\[(\d)\]", lambda m: ")[%d]" % (int(m.group(1)) % 8 + 1), self.text, 1),
        }
        for what, text in tampered.items():
            with self.subTest(what):
                self.assertNotEqual(text, self.text)
                check = stats.check_report(console_log.parse_log(text))
                self.assertEqual(check.status, "differs")
                self.assertIn("DISAGREE", check.describe())


class MessageShapes(unittest.TestCase):
    """Lines of a label-file run written out by hand, including the ways a
    saved log can be damaged."""

    LOG = ("\n\nS03T20R01.csv :  240,  280\n\nLog File : S03T20R01_DSV.csv\n\n"
           "S03T20R01.csv  DETECT-1[0266] : Acc  22, Gyro  249, Vel_V 20.00, Roll -20, Pitch  57, TF  0.00 X1\n"
           "S03T20R01.csv  DETECT-1[0267] : Acc  22, Gyro  249, Vel_V 22.06, Roll -20, Pitch  57, TF  0.00 X1 -> Mode6(0)\n"
           "InTime Detect : 266, wDownMode : 6\n"
           "500 data, processed.\n"
           "result S03T20R01.csv : 20, 266, 240, 280 -> good (14)[6]\r\n"
           "tumblebench: invalid string, S03T06,walk,1,0,0,\r\n"
           "\n\nS03T06R01.csv :    0,    0\n\n"
           "Log File : S03T06R01_DSV.csv\n\n"
           "500 data, processed.\n"
           "result S03T06R01.csv : 06,   0,   0,   0 -> tn\n"
           "\n\nS03T25R01.csv :  240,  280\n\n"
           "tumblebench: S03T25R01.csv, not found.\n") + FULL_REPORT_OF_TWO

    def test_label_run(self):
        log = console_log.parse_log(self.LOG)
        self.assertEqual([(r.path, r.outcome) for r in log.scored],
                         [("S03T20R01.csv", "good"), ("S03T06R01.csv", "tn")])
        self.assertEqual(log.scored[0].detections, [console_log.Detection(267, 6)])
        self.assertEqual(log.scored[0].evaluated, 2)
        self.assertEqual(log.scored[0].lead_ms, 280)
        self.assertEqual([(r.path, r.label_onset) for r in log.not_found], [("S03T25R01.csv", 240)])
        self.assertEqual(log.invalid_label_lines, ["S03T06,walk,1,0,0,"])
        self.assertEqual(log.unknown_count, 0)
        self.assertEqual(stats.check_report(log).status, "match")

    def test_standard_error_inside_a_line(self):
        # Unbuffered standard error lands wherever standard output's buffer
        # happened to end.
        message = "tumblebench: S03T06R01.csv, trace not written completely.\n"
        at = self.LOG.index("06,   0,   0") + 3
        log = console_log.parse_log(self.LOG[:at] + message + self.LOG[at:])
        self.assertEqual([r.outcome for r in log.scored], ["good", "tn"])
        self.assertEqual(log.messages, [message.strip()])
        self.assertEqual(stats.check_report(log).status, "match")

    def test_path_with_separator_text(self):
        line = "result data : run 2/S03T20R01.csv : 20, 266, 240, 280 -> soso (3)[12]\n"
        rec = console_log.parse_log(line).scored[0]
        self.assertEqual((rec.path, rec.task, rec.distance, rec.first_mode), ("data : run 2/S03T20R01.csv", 20, 3, 12))

    def test_negative_values(self):
        # Short paths give task -1; frames from the command line may be negative.
        rec = console_log.parse_log("result a.csv : -1,  30,  -5, -10 -> fp [3]\n").scored[0]
        self.assertEqual((rec.task, rec.first_frame, rec.onset, rec.impact, rec.outcome), (-1, 30, -5, -10, "fp"))
        self.assertIsNone(rec.lead_samples)

    def test_two_runs_in_one_file(self):
        with self.assertRaises(console_log.LogFormatError):
            console_log.parse_log(self.LOG + self.LOG)

    def test_usage_text_and_unknown_lines(self):
        log = console_log.parse_log("Usage: tumblebench <file_name>\n          tumblebench -r\nhello\n")
        self.assertTrue(log.usage_text)
        self.assertEqual(log.unknown_lines, [(3, "hello")])
        self.assertEqual(log.recordings, [])


class ReportArithmetic(unittest.TestCase):

    def test_percentages_are_single_precision(self):
        import numpy as np
        for total in range(1, 260):
            for count in range(total + 1):
                want = "%.2f" % float(np.float32(count) * np.float32(100) / np.float32(total))
                got = "%.2f" % stats.percentage(count, total)
                if want != got:
                    self.fail("%d of %d: %s, single precision gives %s" % (count, total, got, want))
        self.assertEqual(stats.percentage(0, 0), 0.0)

    def test_empty_run(self):
        text = "\n".join(stats.render_report(stats.accumulate([])))
        self.assertIn("# ADL STAT: tn 0(0.00%), fp 0(0.00%)", text)
        self.assertNotIn("Type-", text)
        self.assertTrue(text.endswith("# DETECTION ERROR:\n"))


if __name__ == "__main__":
    unittest.main()
