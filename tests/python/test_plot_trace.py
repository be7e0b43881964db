"""The trace reader against the harness's own console lines, and
plot_trace on real and damaged trace files."""

import os
import re
import unittest

import support
from support import assert_png
from tumblebench.research import trace


class RealTrace(support.Workdir):

    def setUp(self):
        super().setUp()
        support.write_kfall(self.path("S06T20R01.csv"), "fall")
        _, self.log = support.run_harness(["-f", "S06T20R01.csv", "240", "280"], self.dir)
        self.trace_path = self.path("S06T20R01_DSV.csv")

    def test_columns_match_the_detector_lines(self):
        # The diagnostic line of sample n and the trace row with seqno n
        # show the same features after the same step.
        tr = trace.read_trace(self.trace_path)
        rows = {n: i for i, n in enumerate(tr["seqno"])}
        lines = re.findall(r"DETECT-1\[(\d+)\] : Acc +(-?\d+), Gyro +(-?\d+), Vel_V +(\S+), Roll +(-?\d+), "
                           r"Pitch +(-?\d+)", self.log)
        self.assertTrue(lines)
        for n, acc, gyro, vv, roll, pitch in lines:
            i = rows[int(n)]
            self.assertEqual((tr["lpf_acc"][i], tr["lpf_gyro"][i], tr["roll"][i], tr["pitch"][i]),
                             (int(acc), int(gyro), int(roll), int(pitch)), "sample %s" % n)
            self.assertAlmostEqual(tr["vv"][i], float(vv), delta=0.0051)
        self.assertEqual(tr["seqno"], list(range(1, len(tr) + 1)))

    def test_labelled_rows(self):
        # "D" marks 1-based seqno from onset up to, not including, impact.
        tr = trace.read_trace(self.trace_path)
        self.assertEqual(tr.labelled_frames, list(range(239, 279)))

    def test_plots(self):
        for args, out in (([], "S06T20R01_DSV.png"), (["--zoom", "-o", "zoom.png"], "zoom.png"),
                          (["--samples", "--start", "200", "--end", "320", "-o", "s.png"], "s.png")):
            with self.subTest(args=args):
                proc = support.run_tool("plot_trace", self.trace_path, *args, cwd=self.dir)
                self.assertEqual(proc.returncode, 0, proc.stderr)
                self.assertEqual(proc.stderr, "")
                assert_png(self, self.path(out))

    def test_several_traces(self):
        support.write_kfall(self.path("S06T01R01.csv"), "stand")
        support.run_harness(["-f", "S06T01R01.csv"], self.dir)
        proc = support.run_tool("plot_trace", self.trace_path, self.path("S06T01R01_DSV.csv"))
        self.assertEqual(proc.returncode, 0, proc.stderr)
        assert_png(self, self.path("S06T20R01_DSV.png"))
        assert_png(self, self.path("S06T01R01_DSV.png"))

    def damaged(self, name, transform):
        with open(self.trace_path) as f:
            text = f.read()
        path = self.path(name)
        with open(path, "w") as f:
            f.write(transform(text))
        return path

    def test_cut_last_row_is_dropped_with_a_warning(self):
        path = self.damaged("cut_DSV.csv", lambda t: t[:len(t) - 9])
        proc = support.run_tool("plot_trace", path, "-o", self.path("cut.png"))
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("last row is cut short", proc.stderr)
        self.assertEqual(len(trace.read_trace(path)), len(trace.read_trace(self.trace_path)) - 1)
        assert_png(self, self.path("cut.png"))

    def test_bad_traces_are_refused(self):
        cases = {
            "header": (lambda t: "seqno,a,b\n" + t.split("\n", 1)[1], "not the trace header"),
            "row": (lambda t: t.replace("\n100,", "\n100,1,", 1), "line 101 has 21 columns"),
            "value": (lambda t: t.replace("\n50,", "\n50x,", 1), "line 51: column seqno holds '50x'"),
            "empty": (lambda t: t.split("\n", 1)[0] + "\n", "holds no samples"),
        }
        for name, (transform, message) in cases.items():
            with self.subTest(name):
                path = self.damaged(name + "_DSV.csv", transform)
                proc = support.run_tool("plot_trace", path)
                self.assertEqual(proc.returncode, 1)
                self.assertIn(message, proc.stderr)
                self.assertFalse(os.path.exists(path[:-4] + ".png"))
        proc = support.run_tool("plot_trace", self.path("absent_DSV.csv"))
        self.assertEqual(proc.returncode, 1)
        self.assertIn("absent_DSV.csv", proc.stderr)


if __name__ == "__main__":
    unittest.main()
