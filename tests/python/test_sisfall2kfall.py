"""sisfall2kfall: generated SisFall downloads converted and replayed, bad input,
the output's protection, the decimation, the mapping against its docs, and a
real subject when ../shared/sisfall is there."""

import csv
import os
import re
import subprocess
import sys
import unittest

import numpy as np

import support

from tumblebench import kfall
from tumblebench.datasets import resample, sisfall

SHARED_SISFALL = os.path.join(support.HERE, "..", "..", "..", "shared", "sisfall")
DOCS = os.path.join(support.HERE, "..", "..", "docs", "sisfall.md")
RESULT = re.compile(r"^result (\S+) : (\d+), +(-?\d+), +(-?\d+), +(-?\d+) -> (\w+)", re.M)


def sisfall_line(counts):
    # As the download writes them: right-aligned counts, ";" and CR LF.
    return ",".join("%4d" % c for c in counts) + ";\r\n"


def ramp(lines):
    """ADXL345 x rising from 10, y at -256 (-1 g), z falling from 128; ITG3200
    x 1000, y rising from -2000, z at full scale; MMA8451Q anything."""
    return [(10 + i, -256, 128 - i, 1000, -2000 + i, 32767, 1, 2, 3) for i in range(lines)]


def write_download(root, files):
    """files: {"SA01/D07_SA01_R01.txt": rows or raw text}."""
    for name, content in files.items():
        path = os.path.join(root, "SisFall_dataset", name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        text = content if isinstance(content, str) else \
            "".join(row if isinstance(row, str) else sisfall_line(row) for row in content)
        with open(path, "w", newline="") as stream:
            stream.write(text)


def convert(*args):
    return support.run_tool("sisfall2kfall", *args)


def read(path):
    with open(path) as stream:
        return stream.read()


def task_by_fixed_position(name):
    return int(name[-9:-7])


def task_by_pattern(name):
    return int(re.search(r"T(\d\d)R\d+\.csv$", name).group(1))


class GeneratedDownload(support.Workdir):

    def test_units_axes_names_labels_and_tables_as_the_harness_reads_them(self):
        write_download(self.path("in"), {
            "SA01/D07_SA01_R01.txt": ramp(5),
            "SA01/D09_SA01_R02.txt": ramp(4),     # shares KFall task 13 with D07
            "SA01/F01_SA01_R01.txt": ramp(4) + ["  \r\n"],
            "SA01/desktop.ini": "[.ShellClassInfo]\r\n",
            "SE03/D01_SE03_R01.txt": ramp(4),
        })
        run = convert(self.path("in"), self.path("out"), "--decimation", "pick")
        self.assertEqual(run.returncode, 0, run.stderr)
        data = self.path("out", "sensor_data")
        self.assertEqual(sorted(os.listdir(data)), ["SA01", "SA53"])

        # 1/256 g and 4000/65536 deg/s per count, axes in their order, every
        # second of 5 lines: 3 samples.
        self.assertEqual(read(os.path.join(data, "SA01", "S01T13R01.csv")),
                         "TimeStamp(s),FrameCounter,AccX,AccY,AccZ,GyrX,GyrY,GyrZ\n"
                         "0.01,1,0.0390625,-1.0,0.5,61.03515625,-122.0703125,1999.93896484375\n"
                         "0.02,2,0.046875,-1.0,0.4921875,61.03515625,-121.9482421875,1999.93896484375\n"
                         "0.03,3,0.0546875,-1.0,0.484375,61.03515625,-121.826171875,1999.93896484375\n")

        header = "Task Code (Task ID),Description,Trial ID,Fall_onset_frame,Fall_impact_frame\n"
        d07 = 'S01T13,"SisFall D07: Slowly sit in a half height chair, wait a moment, and up slowly",1,0,0\n'
        d09 = 'S01T13,"SisFall D09: Slowly sit in a low height chair, wait a moment, and up slowly",12,0,0\n'
        f01 = "S01T32,SisFall F01: Fall forward while walking caused by a slip,1,0,0\n"
        self.assertEqual(read(os.path.join(data, "SA01", "SA01_all.csv")), header + d07 + d09 + f01)
        self.assertEqual(read(os.path.join(data, "SA01", "SA01_adl.csv")), header + d07 + d09)
        self.assertEqual(read(os.path.join(data, "SA01", "SA01_down.csv")), header + f01)
        self.assertEqual(read(os.path.join(data, "SA53", "SA53_down.csv")), header)
        self.assertEqual(read(self.path("out", "subjects.csv")),
                         "folder,dataset,original_id,age_group,age,sex,height_cm,weight_kg\n"
                         "SA01,SisFall,SA01,young,26,F,165,53\n"
                         "SA53,SisFall,SE03,elderly,62,F,150,51\n")
        with open(self.path("out", "recordings.csv"), newline="") as stream:
            sources = {r["recording"]: (r["source"], r["samples"]) for r in csv.DictReader(stream)}
        self.assertEqual(sources, {"S01T13R01.csv": ("SA01/D07_SA01_R01.txt", "3"),
                                   "S01T13R12.csv": ("SA01/D09_SA01_R02.txt", "2"),
                                   "S01T32R01.csv": ("SA01/F01_SA01_R01.txt", "2"),
                                   "S53T06R01.csv": ("SE03/D01_SE03_R01.txt", "2")})

        # The harness walks it: one result per recording, the task from the
        # name under the fixed-position rule (what it prints) and the pattern.
        _, log = support.run_harness(["-r"], data)
        results = {m.group(1): int(m.group(2)) for m in RESULT.finditer(log)}
        self.assertEqual(results, {"S01T13R01.csv": 13, "S01T13R12.csv": 13, "S01T32R01.csv": 32,
                                   "S53T06R01.csv": 6})
        for name, task in results.items():
            self.assertEqual((task_by_fixed_position(name), task_by_pattern(name)), (task, task))
        self.assertNotIn("invalid string", log)

    def test_bad_input_stops_with_file_and_line_and_writes_nothing(self):
        good = sisfall_line(ramp(1)[0])
        cases = [  # (the bad file's text, what the message says)
            (good + "  1,  2,  3,  4,  5,  6,  7,  8;\r\n", "R01.txt, line 2: 8 fields"),
            (good * 2 + "  1,  2, 3a,  4,  5,  6,  7,  8,  9;\r\n", "R01.txt, line 3: field 3, '3a'"),
            (good + "  1,  2,  3,  4,  5,  6,  7,  8,  9\r\n", "R01.txt, line 2: the line does not end"),
            (" 4096,  0,  0,  0,  0,  0,  0,  0,  0;\r\n", "R01.txt, line 1: field 1, 4096, is outside"),
            ("\r\n  \r\n", "R01.txt: no data lines"),
        ]
        for number, (text, what) in enumerate(cases):
            with self.subTest(what=what):
                source = self.path("bad%d" % number)
                write_download(source, {"SA02/D01_SA02_R01.txt": text, "SA02/D02_SA02_R01.txt": ramp(4)})
                run = convert(source, self.path("out%d" % number))
                self.assertEqual(run.returncode, 1, run.stderr)
                self.assertIn("D01_SA02_" + what, run.stderr)
                self.assertFalse(os.path.exists(self.path("out%d" % number)), "written in spite of it")
                if number == 0:
                    # Asked to, it leaves the file out and converts the rest.
                    run = convert(source, self.path("skipped"), "--skip-malformed")
                    self.assertEqual(run.returncode, 0, run.stderr)
                    self.assertIn("left out", run.stderr)
                    self.assertEqual(sorted(os.listdir(self.path("skipped", "sensor_data", "SA02"))),
                                     ["S02T07R01.csv", "SA02_adl.csv", "SA02_all.csv", "SA02_down.csv"])

        run = convert(self.path("bad0"), self.path("out"), "SA99")
        self.assertEqual(run.returncode, 2)   # refused before any work
        self.assertIn("SA99 is not a SisFall subject", run.stderr)
        # A KFall subject folder is named like a young SisFall subject.
        write_download(self.path("kfall"), {"SA06/S06T01R01.csv": ramp(2)})
        run = convert(self.path("kfall"), self.path("out"))
        self.assertEqual(run.returncode, 1)
        self.assertIn("SA06 in %s holds no SisFall trial files" % self.path("kfall"), run.stderr)
        self.assertFalse(os.path.exists(self.path("out")))

    def test_output_is_kept_unless_forced_and_then_only_the_converted_subjects_change(self):
        write_download(self.path("in"), {"SA01/D01_SA01_R01.txt": ramp(4), "SE03/D01_SE03_R01.txt": ramp(4)})
        out = self.path("out")
        self.assertEqual(convert(self.path("in"), out).returncode, 0)
        stale = os.path.join(out, "sensor_data", "SA01", "S01T06R01_DSV.csv")
        with open(stale, "w") as stream:
            stream.write("a trace of the old recording\n")

        refused = convert(self.path("in"), out, "SA01")
        self.assertEqual(refused.returncode, 2)
        self.assertIn("not empty", refused.stderr)
        self.assertTrue(os.path.exists(stale))

        # A failing forced run changes nothing either.
        write_download(self.path("in"), {"SA01/D02_SA01_R01.txt": "garbage\r\n"})
        self.assertEqual(convert(self.path("in"), out, "SA01", "--force").returncode, 1)
        self.assertTrue(os.path.exists(stale))

        os.remove(os.path.join(self.path("in"), "SisFall_dataset", "SA01", "D02_SA01_R01.txt"))
        forced = convert(self.path("in"), out, "SA01", "--force")
        self.assertEqual(forced.returncode, 0, forced.stderr)
        self.assertFalse(os.path.exists(stale))
        self.assertEqual(sorted(os.listdir(os.path.join(out, "sensor_data"))), ["SA01", "SA53"])
        self.assertEqual([line.split(",")[0] for line in read(os.path.join(out, "subjects.csv")).split()],
                         ["folder", "SA01", "SA53"])
        self.assertEqual(sorted(n for n in os.listdir(out) if n.startswith(".")), [])


class Decimation(unittest.TestCase):

    def test_methods_on_a_signal_with_content_above_the_new_nyquist_frequency(self):
        rate, seconds = 200, 20
        t = np.arange(rate * seconds + 1) / rate                       # an odd count
        slow = 0.3 * np.sin(2 * np.pi * 10 * t)                        # kept at 100/s
        fast = 0.2 * np.sin(2 * np.pi * 70 * t)                        # folds onto 30 Hz
        samples = np.column_stack([np.full_like(t, -1.0), slow, fast, slow + fast, t, -t])

        def amplitude(signal, hz):
            middle = signal[200:1800]              # away from the ends; 16 s put 10 and 30 Hz on bins
            spectrum = np.abs(np.fft.rfft(middle * np.hanning(len(middle))))
            frequencies = np.fft.rfftfreq(len(middle), 1 / 100)
            return 2 * spectrum[np.argmin(abs(frequencies - hz))] / np.hanning(len(middle)).sum()

        picked = resample.decimate(samples, 2, "pick")
        filtered = resample.decimate(samples, 2, "lowpass")
        means = resample.decimate(samples, 2, "mean")
        for result in (picked, filtered, means):
            self.assertEqual(result.shape, (rate * seconds // 2 + 1, 6))
        np.testing.assert_array_equal(picked, samples[::2])
        np.testing.assert_allclose(means[:3, 4], [0.0025, 0.0125, 0.0225])
        self.assertEqual(means[-1, 4], t[-1])                          # the odd last sample alone
        # Gravity and a ramp pass unchanged, up to both ends: the filter does
        # not see zeros beyond the recording.
        np.testing.assert_allclose(filtered[:, 0], -1.0, rtol=0, atol=1e-12)
        np.testing.assert_allclose(filtered[40:-40, 4], t[::2][40:-40], rtol=0, atol=1e-9)
        self.assertAlmostEqual(filtered[0, 4], 0.0, delta=0.002)
        # 10 Hz passes, 70 Hz does not fold onto 30 Hz.
        self.assertAlmostEqual(amplitude(filtered[:, 1], 10), 0.3, delta=0.002)
        self.assertAlmostEqual(amplitude(picked[:, 2], 30), 0.2, delta=0.01)
        self.assertLess(amplitude(filtered[:, 2], 30), 0.0005)
        # A mean of two passes cos(pi f / 200) of it.
        self.assertAlmostEqual(amplitude(means[:, 2], 30), 0.2 * np.cos(np.pi * 70 / 200), delta=0.002)


class Streaming(support.Workdir):
    """Trial files are read, decimated and written block by block: the
    result is the whole-file computation's to the bit, and memory does not
    grow with the file."""

    def test_blocks_give_the_whole_file_result_bit_for_bit(self):
        rng = np.random.default_rng(11)
        for lines in (1, 2, 3, 36, 37, 74, 1001):
            samples = rng.normal(size=(lines, 6)) * 300
            for method in resample.METHODS:
                whole = resample.decimate(samples, 2, method)
                for block in (1, 7, 64, 1000):
                    with self.subTest(lines=lines, method=method, block=block):
                        decimator = resample.Decimator(2, method)
                        parts = [decimator.feed(samples[i:i + block]) for i in range(0, lines, block)]
                        streamed = np.concatenate(parts + [decimator.finish()])
                        self.assertEqual(streamed.shape, whole.shape)
                        self.assertEqual(streamed.tobytes(), whole.tobytes())

    def test_a_bad_line_blocks_into_a_file_stops_it_with_its_line_and_writes_nothing(self):
        bad_at = 2 * sisfall.BLOCK_LINES + 50
        good = sisfall_line((10, -256, 128, 1000, -2000, 300, 1, 2, 3))
        write_download(self.path("in"), {"SA02/D01_SA02_R01.txt": good * (bad_at - 1) + " 1, 2, 3;\r\n" + good * 9})
        run = convert(self.path("in"), self.path("out"))
        self.assertEqual(run.returncode, 1, run.stderr)
        self.assertIn("D01_SA02_R01.txt, line %d: 3 fields" % bad_at, run.stderr)
        self.assertFalse(os.path.exists(self.path("out")))

    def peak_rss_kb(self, lines):
        source = self.path("in%d" % lines)
        rows = [(10 + i % 50, -256, 128, 1000 + i % 7, -2000, 300, 1, 2, 3) for i in range(lines)]
        write_download(source, {"SA01/D01_SA01_R01.txt": rows})
        measure = ("import resource, subprocess, sys\n"
                   "done = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)\n"
                   "print(done.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
        command = [support.PYTHON, os.path.join(support.TOOLS, "sisfall2kfall"), source, self.path("out%d" % lines)]
        done = subprocess.run([support.PYTHON, "-c", measure] + command, stdout=subprocess.PIPE, text=True, check=True)
        status, peak_kb = (int(v) for v in done.stdout.split())
        self.assertEqual(status, 0)
        self.assertEqual(len(read(self.path("out%d" % lines, "sensor_data", "SA01", "S01T06R01.csv")).splitlines()),
                         1 + (lines + 1) // 2)
        return peak_kb

    def test_memory_stays_flat_in_the_file_size(self):
        small, large = self.peak_rss_kb(4000), self.peak_rss_kb(300000)
        # Reading the file whole took about 20 times its size (a 14 MB file,
        # 280 MB); block by block, a 75 times longer file needs no more.
        self.assertLess(large - small, 25 * 1024, "peak %d kB for 4000 lines, %d kB for 300000" % (small, large))


class Mapping(unittest.TestCase):

    def test_docs_table_is_the_codes_table_and_the_mapping_is_sound(self):
        rows = re.findall(r"^\| ([DF]\d\d) \| (.+?) \| (\d+) \| (.+?) \| ([\d, -]+) \| (.*?) \|$",
                          read(DOCS), re.M)
        documented = {code: (int(task), kfall, trials, note != "") for code, _, task, kfall, trials, note in rows}
        expected = {a.code: (a.task, kfall.task_name(a.task),
                             "%d-%d" % (sisfall.trial_offset(a.code) + 1, sisfall.trial_offset(a.code) + 5),
                             a.no_twin != "") for a in sisfall.ACTIVITIES}
        self.assertEqual(documented, expected)

        falls = [a.task for a in sisfall.ACTIVITIES if a.code.startswith("F")]
        self.assertEqual(sorted(falls), list(range(20, 35)), "each KFall fall once")
        self.assertFalse([a.code for a in sisfall.ACTIVITIES if a.code.startswith("D") and kfall.is_fall(a.task)])
        names = [(a.task, sisfall.trial_offset(a.code) + trial) for a in sisfall.ACTIVITIES
                 for trial in range(1, sisfall.MAX_SOURCE_TRIAL + 1)]
        self.assertEqual(len(names), len(set(names)), "two codes share a recording name")
        self.assertTrue(max(trial for _, trial in names) <= 99)
        folders = [sisfall.folder_name(s) for s in sisfall.SUBJECTS]
        self.assertEqual(len(folders), len(set(folders)))
        self.assertTrue(all(len(f) == 4 and f.startswith("SA") for f in folders))


@unittest.skipUnless(os.path.isdir(SHARED_SISFALL), "../shared/sisfall is absent: no real SisFall subject")
class RealSubject(support.Workdir):

    def test_a_young_and_an_elderly_subject_replay_one_result_per_trial(self):
        run = convert(SHARED_SISFALL, self.path("out"), "SA03", "SE02")
        self.assertEqual(run.returncode, 0, run.stderr)
        with open(self.path("out", "recordings.csv"), newline="") as stream:
            recordings = {r["recording"]: r for r in csv.DictReader(stream)}
        # SA03 did every activity and fall, SE02 twelve daily activities.
        self.assertEqual(len(recordings), 154 + 48)
        _, log = support.run_harness(["-r"], self.path("out", "sensor_data"))
        results = {m.group(1): (int(m.group(2)), m.group(6)) for m in RESULT.finditer(log)}
        self.assertEqual(set(results), set(recordings))
        for name, (task, outcome) in results.items():
            fall = recordings[name]["activity"].startswith("F")
            self.assertEqual((task, kfall.is_fall(task)), (int(recordings[name]["task"]), fall), name)
            self.assertIn(outcome, ("late", "fn") if fall else ("tn", "fp"), name)
        counters = support.report_counters(log)
        self.assertEqual((counters["tp"] + counters["fn"], counters["tn"] + counters["fp"]), (75, 127))
        # Units on real data: a recording's mean acceleration and angular
        # rate, from the counts by the data set's formulas, survive conversion.
        raw = subprocess.run(["tar", "-xJOf", os.path.join(SHARED_SISFALL, "data", "SE02.tar.xz"),
                              "SE02/D07_SE02_R01.txt"], stdout=subprocess.PIPE, check=True).stdout
        counts = np.array([[int(v) for v in line.split(",")[:6]]
                           for line in raw.decode().split(";")[:-1]])
        with open(self.path("out", "sensor_data", "SA52", "S52T13R01.csv")) as stream:
            written = np.array([[float(v) for v in line.split(",")[2:]]
                                for line in stream.read().splitlines()[1:]])
        self.assertEqual(len(written), (len(counts) + 1) // 2)
        np.testing.assert_allclose(written[:, :3].mean(axis=0), counts[:, :3].mean(axis=0) / 256, atol=0.005)
        np.testing.assert_allclose(written[:, 3:].mean(axis=0), counts[:, 3:].mean(axis=0) * 4000 / 65536,
                                   atol=0.5)
