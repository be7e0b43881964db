"""fallalld2kfall: generated FallAllD downloads converted and replayed (units,
rate, axes, names, tables), malformed input, the resampler, the mapping
against its docs, and the real wearers when ../shared/fallalld is there."""

import collections
import csv
import math
import os
import re
import subprocess
import unittest

import numpy as np

import support

from tumblebench import kfall
from tumblebench.datasets import fallalld, fallalld_axes, resample, sisfall

SHARED_FALLALLD = os.path.join(support.HERE, "..", "..", "..", "shared", "fallalld")
DOCS = os.path.join(support.HERE, "..", "..", "docs", "fallalld.md")
RESULT = re.compile(r"^result (\S+) : (\d+), +(-?\d+), +(-?\d+), +(-?\d+) -> (\w+)", re.M)

# The box as its data set describes it: 0.244 mg and 0.07 deg/s per count,
# 238 samples per second; upright gravity reads on +x, z points forward (so
# y = z cross x), and the gyroscope reports the negative of the right-handed
# rate about those axes.
G_PER_COUNT, DPS_PER_COUNT, RATE = 0.244e-3, 0.07, 238
BOX_GYRO_SIGN = -1


def forward_fall(seconds_before=2.0, fall_seconds=0.8, seconds_after=2.0):
    """(acc counts, gyro counts) of a wearer standing, pitching forward by
    90 degrees and lying face down, as the box records it."""
    before, during, after = (int(s * RATE) for s in (seconds_before, fall_seconds, seconds_after))
    rate_rad_s = (math.pi / 2) / (during / RATE)
    angles = np.concatenate([np.zeros(before), (np.arange(during) + 1) * rate_rad_s / RATE,
                             np.full(after, math.pi / 2)])
    # What gravity reads, seen from the body turning about its y axis by
    # -angle (right-handed): it turns by +angle about y, from +x to -z.
    up = np.column_stack([np.cos(angles), np.zeros_like(angles), -np.sin(angles)])
    rate = np.zeros((len(angles), 3))
    rate[before:before + during, 1] = -math.degrees(rate_rad_s)
    return (np.round(up / G_PER_COUNT).astype(int),
            np.round(BOX_GYRO_SIGN * rate / DPS_PER_COUNT).astype(int))


def counts_text(counts):
    return "".join("%d,%d,%d\n" % tuple(row) for row in counts)


def write_trial(folder, subject, code, trial, acc, gyro):
    """acc, gyro: counts (n, 3) or raw text; None leaves the file out."""
    os.makedirs(folder, exist_ok=True)
    for sensor, content in (("A", acc), ("G", gyro)):
        if content is None:
            continue
        with open(os.path.join(folder, "%s_D3_%s_T%02d_%s.dat" % (subject, code, trial, sensor)), "w",
                  newline="") as stream:
            stream.write(content if isinstance(content, str) else counts_text(content))


def standing(lines):
    return np.tile([4098, 0, 0], (lines, 1)), np.tile([10, -20, 30], (lines, 1))


def convert(*args):
    return support.run_tool("fallalld2kfall", *args)


def read(path):
    with open(path) as stream:
        return stream.read()


def read_trial_file(path):
    with open(path) as stream:
        lines = stream.read().splitlines()
    return lines[0], np.array([[float(v) for v in line.split(",")] for line in lines[1:]])


class GeneratedDownload(support.Workdir):

    def test_units_rate_axes_names_labels_and_tables_as_the_harness_reads_them(self):
        flat = self.path("in", "FallAllD")
        write_trial(flat, "S01", "A019", 1, *standing(4760))
        write_trial(flat, "S01", "A020", 1, *standing(500))      # shares KFall task 6 with A019
        write_trial(flat, "S01", "A101", 2, *forward_fall())
        write_trial(flat, "S07", "A042", 3, *standing(238))
        with open(os.path.join(flat, "S01_D3_A019_T01_M.dat"), "w") as stream:
            stream.write("magnetometer, not read\n")
        with open(os.path.join(flat, "S01_D1_A001_T01_A.dat"), "w") as stream:
            stream.write("the neck device, not read\n")
        run = convert(self.path("in"), self.path("out"))
        self.assertEqual(run.returncode, 0, run.stderr)
        data = self.path("out", "sensor_data")
        self.assertEqual(sorted(os.listdir(data)), ["SA71", "SA77"])

        # 4760 lines at 238 per second: 20 s, 2000 rows at 100 per second,
        # time stamps and frame counters as KFall's; 500 lines: 211 rows.
        # Upright gravity on KFall's -y, the gyroscope's counts negated and
        # turned with the axes: KFall's (x, y, z) = box (y, -x, z).
        header, rows = read_trial_file(os.path.join(data, "SA71", "S71T06R01.csv"))
        self.assertEqual(header, "TimeStamp(s),FrameCounter,AccX,AccY,AccZ,GyrX,GyrY,GyrZ")
        self.assertEqual(rows.shape, (2000, 8))
        np.testing.assert_allclose(rows[:, 0], np.arange(1, 2001) / 100, atol=1e-9)
        np.testing.assert_array_equal(rows[:, 1], np.arange(1, 2001))
        np.testing.assert_allclose(rows[:, 2:], np.tile([0, -4098 * G_PER_COUNT, 0, 20 * DPS_PER_COUNT,
                                                         10 * DPS_PER_COUNT, -30 * DPS_PER_COUNT],
                                                        (2000, 1)), rtol=0, atol=1e-12)
        self.assertEqual(len(read_trial_file(os.path.join(data, "SA71", "S71T06R16.csv"))[1]), 211)

        # The fall: face down after it, gravity on KFall's -z, and the written
        # angular rate, integrated as KFall's right-handed rate, carries the
        # posture before it onto the posture after it.
        _, fall = read_trial_file(os.path.join(data, "SA71", "S71T30R02.csv"))
        acc, rate = fall[:, 2:5], fall[:, 5:8]
        np.testing.assert_allclose(acc[0], [0, -1, 0], atol=0.001)
        np.testing.assert_allclose(acc[-1], [0, 0, -1], atol=0.001)
        turned = fallalld_axes.rotation_from_rate(rate, 100).T @ acc[0]
        self.assertLess(fallalld_axes.angle_deg(turned, acc[-1]), 1.0)

        header = "Task Code (Task ID),Description,Trial ID,Fall_onset_frame,Fall_impact_frame\n"
        a019 = "S71T06,FallAllD A019: Start walking,1,0,0\n"
        a020 = "S71T06,FallAllD A020: Walking slowly or at moderate speed,16,0,0\n"
        a101 = 'S71T30,"FallAllD A101: Forward fall while walking, caused by stumbling or tripping",2,0,0\n'
        self.assertEqual(read(os.path.join(data, "SA71", "SA71_all.csv")), header + a019 + a020 + a101)
        self.assertEqual(read(os.path.join(data, "SA71", "SA71_adl.csv")), header + a019 + a020)
        self.assertEqual(read(os.path.join(data, "SA71", "SA71_down.csv")), header + a101)
        self.assertEqual(read(self.path("out", "subjects.csv")),
                         "folder,dataset,original_id,age_group,age,sex,height_cm,weight_kg\n"
                         "SA71,FallAllD,S01,adult,,,,\n"
                         "SA77,FallAllD,S07,adult,,,,\n")
        with open(self.path("out", "recordings.csv"), newline="") as stream:
            table = {r["recording"]: (r["folder"], r["task"], r["activity"], r["activity_name"],
                                      r["fall_or_adl"], r["source"], r["seconds"])
                     for r in csv.DictReader(stream)}
        self.assertEqual(table, {
            "S71T06R01.csv": ("SA71", "6", "A019", "Start walking", "ADL",
                              "S01_D3_A019_T01_A.dat + S01_D3_A019_T01_G.dat", "20.00"),
            "S71T06R16.csv": ("SA71", "6", "A020", "Walking slowly or at moderate speed", "ADL",
                              "S01_D3_A020_T01_A.dat + S01_D3_A020_T01_G.dat", "2.11"),
            "S71T30R02.csv": ("SA71", "30", "A101", fallalld.ACTIVITY_BY_CODE["A101"].name, "fall",
                              "S01_D3_A101_T02_A.dat + S01_D3_A101_T02_G.dat", "4.80"),
            "S77T11R03.csv": ("SA77", "11", "A042", "Sitting in a moving bus or metro", "ADL",
                              "S07_D3_A042_T03_A.dat + S07_D3_A042_T03_G.dat", "1.00")})
        self.assertIn("S01 -> SA71 (1/2)", run.stderr)

        # The harness walks it: one result per recording, under its task.
        _, log = support.run_harness(["-r"], data)
        results = {m.group(1): int(m.group(2)) for m in RESULT.finditer(log)}
        self.assertEqual(results, {"S71T06R01.csv": 6, "S71T06R16.csv": 6, "S71T30R02.csv": 30,
                                   "S77T11R03.csv": 11})
        self.assertNotIn("invalid string", log)

    def test_malformed_files_are_named_and_stop_the_run_unless_skipped(self):
        acc, gyro = standing(10)
        good = counts_text(acc)
        cases = [  # (activity, acc file, gyro file, the file named, what the message says)
            ("A013", good + "1,2\n", good, "A013_T01_A.dat", "line 11: 2 fields where FallAllD lines have 3"),
            ("A014", good, good + "1,2,3a\n", "A014_T01_G.dat", "line 11: field 3, '3a', is not a whole"),
            ("A016", "40000,0,0\n" + good, good, "A016_T01_A.dat", "line 1: field 1, 40000, is outside"),
            ("A017", good, good + "1,2,3\n", "A017_T01_A.dat", "10 lines, its gyroscope file "
             "S02_D3_A017_T01_G.dat 11"),
            ("A018", good, None, "A018_T01_A.dat", "its partner S02_D3_A018_T01_G.dat is missing"),
            ("A020", "", good, "A020_T01_A.dat", "no data lines"),
            ("A021", good + "1,2,\xe93\n", good, "A021_T01_A.dat", "line 11: a byte that is not text"),
            ("A001", good, good, "A001_T01_A.dat", "A001 is not an activity of FallAllD's waist device"),
        ]
        source = self.path("in")
        for code, acc_text, gyro_text, _, _ in cases:
            write_trial(source, "S02", code, 1, acc_text, gyro_text)
        os.makedirs(os.path.join(source, "S02_D3_A022_T01_A.dat"))    # unreadable: a folder
        write_trial(source, "S02", "A022", 1, None, good)
        write_trial(source, "S02", "A019", 1, good, good)
        named = [(name, what) for _, _, _, name, what in cases] + [
            ("A022_T01_A.dat", "cannot be read"), ("A001_T01_G.dat", "A001 is not an activity")]

        # The first by name stops the run, named, with nothing written.
        run = convert(source, self.path("out"))
        self.assertEqual(run.returncode, 1, run.stderr)
        self.assertIn("S02_D3_A001_T01_A.dat: A001 is not", run.stderr)      # the first by name
        self.assertFalse(os.path.exists(self.path("out")), "written in spite of it")
        # Asked to, it leaves each out, says why and converts the rest.
        run = convert(source, self.path("out"), "--skip-malformed")
        self.assertEqual(run.returncode, 0, run.stderr)
        for name, what in named:
            with self.subTest(file=name):
                said = [line for line in run.stderr.splitlines() if "left out: " in line and
                        os.path.join(source, "S02_D3_" + name) in line]
                self.assertEqual(len(said), 1, run.stderr)
                self.assertIn(what, said[0])
        self.assertIn("%d malformed file(s) left out" % len(named), run.stderr)
        self.assertEqual(sorted(os.listdir(self.path("out", "sensor_data", "SA72"))),
                         ["S72T06R01.csv", "SA72_adl.csv", "SA72_all.csv", "SA72_down.csv"])

    def test_bad_names_and_an_output_that_is_not_empty(self):
        write_trial(self.path("in"), "S03", "A019", 1, *standing(5))
        cases = [  # (arguments after INPUT OUTPUT, what the message says)
            (["S16"], "S16 is not a FallAllD subject (S01-S15)"),
            (["S04"], "S04 is not in"),
        ]
        for extra, what in cases:
            with self.subTest(what=what):
                run = convert(self.path("in"), self.path("out"), *extra)
                self.assertEqual(run.returncode, 2)
                self.assertIn(what, run.stderr)
                self.assertFalse(os.path.exists(self.path("out")))
        run = convert(self.path("nothing"), self.path("out"))
        self.assertEqual((run.returncode, "no such folder" in run.stderr), (2, True))
        # A waist file of a subject FallAllD does not have is named, not passed over.
        write_trial(self.path("in"), "S16", "A019", 1, *standing(5))
        run = convert(self.path("in"), self.path("out"))
        self.assertEqual(run.returncode, 1)
        self.assertIn("S16_D3_A019_T01_A.dat: S16 is not a FallAllD subject", run.stderr)
        self.assertEqual(convert(self.path("in"), self.path("out"), "S03").returncode, 0)

        os.makedirs(self.path("used"))
        with open(self.path("used", "notes.txt"), "w") as stream:
            stream.write("mine\n")
        run = convert(self.path("in"), self.path("used"))
        self.assertEqual(run.returncode, 2)
        self.assertIn("not empty", run.stderr)
        self.assertEqual(os.listdir(self.path("used")), ["notes.txt"])


class EvaluatedDownload(support.Workdir):
    """A converted download evaluated as SisFall is: its falls carry no
    frames, so they are detected or missed without timing; its daily
    activities give false alarms per hour; each FallAllD activity is
    counted apart, even where two share a KFall task."""

    def test_falls_without_timing_false_alarms_per_hour_and_fallallds_own_activities(self):
        write_trial(self.path("in"), "S01", "A019", 1, *standing(4760))
        write_trial(self.path("in"), "S01", "A020", 1, *standing(4760))
        write_trial(self.path("in"), "S01", "A101", 1, *forward_fall(8.0, 0.8, 8.0))
        self.assertEqual(convert(self.path("in"), self.path("out")).returncode, 0)
        env = dict(os.environ, TUMBLEBENCH_BIN=support.harness())
        run = subprocess.run([support.PYTHON, os.path.join(support.TOOLS, "evaluate"), self.path("out"),
                              "-o", self.path("run")], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             env=env)
        self.assertEqual(run.returncode, 0, run.stderr)
        with open(self.path("run", "results.csv"), newline="") as stream:
            rows = {r["path"]: r for r in csv.DictReader(stream)}
        fall = rows["S71T30R01.csv"]
        self.assertEqual((fall["class"], fall["labelled"], fall["lead_samples"], fall["latency_samples"]),
                         ("fall", "0", "", ""))
        self.assertIn(fall["finding"], ("detected, timing unknown", "missed"))
        self.assertIn("A101", fall["activity"])
        self.assertEqual(fall["age_group"], "adult")
        with open(self.path("run", "per_activity.csv"), newline="") as stream:
            activities = [r["activity"] for r in csv.DictReader(stream)]
        for code in ("A019", "A020", "A101"):
            self.assertEqual(sum(code in a for a in activities), 1, activities)
        self.assertRegex(run.stdout, r"detected, timing unknown \d+, missed \d+")
        self.assertIn("per hour", run.stdout)


class Resampling(unittest.TestCase):

    def test_238_to_100_per_second_keeps_gravity_and_time_and_removes_what_would_fold(self):
        for lines, rows in ((1, 1), (2, 1), (3, 2), (238, 100), (500, 211), (4760, 2000)):
            with self.subTest(lines=lines):
                constant = np.tile([0.999912, -0.25, 7.0], (lines, 1))
                result = resample.resample_to(constant, 238, 100)
                self.assertEqual(result.shape, (rows, 3))
                np.testing.assert_allclose(result, constant[:rows], rtol=0, atol=1e-12)

        t = np.arange(4760) / 238
        result = resample.resample_to(np.column_stack([t, np.sin(2 * np.pi * 10 * t),
                                                       np.sin(2 * np.pi * 70 * t)]), 238, 100)
        out_t = np.arange(len(result)) / 100
        middle = slice(200, -200)
        # Output sample k lies at k / 100 s: a ramp (to a tenth of a
        # millisecond) and a 10 Hz wave pass on time.
        np.testing.assert_allclose(result[middle, 0], out_t[middle], atol=1e-4)
        np.testing.assert_allclose(result[middle, 1], np.sin(2 * np.pi * 10 * out_t[middle]), atol=0.003)
        # 70 Hz would fold onto 30 Hz at 100 per second; a thousandth is left.
        self.assertLess(abs(result[middle, 2]).max(), 0.001)


class Mapping(unittest.TestCase):

    def test_every_code_is_mapped_as_the_docs_say_and_no_two_recordings_share_a_name(self):
        codes = [a.code for a in fallalld.ACTIVITIES]
        self.assertEqual(codes, ["A%03d" % n for n in list(range(13, 45)) + list(range(101, 136))])
        for activity in fallalld.ACTIVITIES:
            fall = activity.code >= "A101"
            self.assertEqual((kfall.is_fall(activity.task), bool(activity.direction)), (fall, fall),
                             activity.code)

        rows = re.findall(r"^\| (A\d{3}) \| (.+?) \| (\d+) \| (.+?) \| ([\d-]+) \| (.*?) \|$", read(DOCS), re.M)
        documented = {code: (name, int(task), kfall, trials, note != "")
                      for code, name, task, kfall, trials, note in rows}
        expected = {a.code: (a.name, a.task, kfall.task_name(a.task),
                             "%d-%d" % (fallalld.trial_offset(a.code) + 1,
                                        fallalld.trial_offset(a.code) + fallalld.MAX_SOURCE_TRIAL),
                             a.no_twin != "") for a in fallalld.ACTIVITIES}
        self.assertEqual(documented, expected)

        names = [(a.task, fallalld.trial_offset(a.code) + trial) for a in fallalld.ACTIVITIES
                 for trial in range(1, fallalld.MAX_SOURCE_TRIAL + 1)]
        self.assertEqual(len(names), len(set(names)), "two codes share a recording name")
        self.assertLessEqual(max(trial for _, trial in names), 99)
        folders = [fallalld.folder_name(s) for s in fallalld.SUBJECT_IDS]
        kfall_folders = ["SA%02d" % n for n in range(6, 39)]
        others = set(kfall_folders) | {sisfall.folder_name(s) for s in sisfall.SUBJECTS}
        self.assertEqual(folders, ["SA%02d" % n for n in range(71, 86)])
        self.assertFalse(set(folders) & others, "a folder name of KFall or SisFall")


class RateIntegration(unittest.TestCase):

    def test_a_known_turn_integrates_to_its_rotation(self):
        cases = [  # (deg/s, seconds, a world-fixed vector at the start, where the body sees it at the end)
            ((0, 0, 90), 1.0, (1, 0, 0), (0, -1, 0)),
            ((90, 0, 0), 1.0, (0, 1, 0), (0, 0, -1)),
            ((0, -45, 0), 2.0, (1, 0, 0), (0, 0, -1)),
            ((30, 40, 0), 0.0, (0, 0, 1), (0, 0, 1)),
        ]
        for rate, seconds, start, end in cases:
            with self.subTest(rate=rate):
                steps = int(round(seconds * 100))
                turn = fallalld_axes.rotation_from_rate(np.tile(rate, (steps, 1)), 100)
                np.testing.assert_allclose(turn.T @ np.array(start, float), end, atol=1e-9)


class AxesEvidence(support.Workdir):

    def test_the_ranking_finds_the_rotation_between_the_frames_the_data_sets_describe(self):
        box = {"standing": (1, 0, 0), "forward": (0, 0, -1), "backward": (0, 0, 1), "lateral": (0, -1, 0)}
        kfall_gravity = {"standing": (0, -1, 0), "forward": (0, 0, -1), "backward": (0, 0, 1), "lateral": (-1, 0, 0)}
        box_postures, kfall_postures = fallalld_axes.Postures(), fallalld_axes.Postures()
        for postures, readings in ((box_postures, box), (kfall_postures, kfall_gravity)):
            for posture, gravity in readings.items():
                postures.readings[("W1", posture)] = [0.98 * np.array(gravity, dtype=float)]
        reference = fallalld_axes.reference_directions(kfall_postures)
        ranked = fallalld_axes.rank_mappings(box_postures, reference)
        self.assertEqual(len(ranked), 24)
        (best_error, best, _), (second_error, _, _) = ranked[:2]
        self.assertEqual(fallalld_axes.mapping_name(best), "(y, -x, z)")
        np.testing.assert_array_equal(best, fallalld.DEVICE_TO_KFALL)
        self.assertAlmostEqual(best_error, 0.0, places=6)
        self.assertGreater(second_error, 20)
        directions = {task: fallalld_axes.kfall_direction(task) for task in (20, 21, 22, 28, 29, 34)}
        self.assertEqual(directions, {20: "forward", 21: "backward", 22: "lateral", 28: "forward", 29: None,
                                      34: "backward"})

    def test_the_tables_from_a_generated_box_and_its_conversion(self):
        write_trial(self.path("in"), "S01", "A037", 1, *standing(476))
        write_trial(self.path("in"), "S01", "A101", 1, *forward_fall())
        self.assertEqual(convert(self.path("in"), self.path("out")).returncode, 0)
        run = subprocess.run([support.PYTHON, "-m", "tumblebench.datasets.fallalld_axes", self.path("in"),
                              self.path("out", "sensor_data")], cwd=support.CHECKOUT, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        lines = run.stdout.splitlines()
        # The box's rate fits negated, the converted one as written; the
        # converter's rotation ranks first, with nothing left over.
        self.assertIn("| S01 | 1 | 90° | 180.0° | 0.0° | 1 |", lines)
        self.assertIn("| SA71 | 1 | 90° | 0.0° | 180.0° | 0 |", lines)
        ranking = lines[lines.index("## The rotations ranked") + 4]
        self.assertTrue(ranking.startswith("| (y, -x, z) | 0° | 0° | – | – | 0° |"), ranking)
        self.assertIn("fallalld_axes: FallAllD S01", run.stderr)


def tar_members(archive, names=None):
    run = subprocess.run(["tar", "-xJOf" if names else "-tJf", archive] + (names or []),
                         stdout=subprocess.PIPE, check=True)
    return run.stdout.decode().split() if not names else run.stdout


@unittest.skipUnless(os.path.isdir(SHARED_FALLALLD), "../shared/fallalld is absent: no real FallAllD wearer")
class RealWearers(support.Workdir):
    """A sample of every wearer's trials: starting to walk (or the faints
    from standing) for standing, falls without recovery for lying."""

    STANDING = ("A019", "A132", "A133", "A134", "A135")
    LYING = {"forward": ("A101", "A103", "A111", "A115", "A121", "A123", "A129"),
             "backward": ("A107", "A112", "A117", "A130", "A133")}
    PER_KIND = 3

    @classmethod
    def setUpClass(cls):
        archives = sorted(os.path.join(SHARED_FALLALLD, "data", n)
                          for n in os.listdir(os.path.join(SHARED_FALLALLD, "data")))
        cls.listing = {os.path.basename(a)[:3]: tar_members(a) for a in archives}

    def sample(self):
        """Extracts the sample into a flat folder; {wearer: {kind: [(code, trial)]}}."""
        chosen = collections.defaultdict(lambda: collections.defaultdict(list))
        for wearer, names in self.listing.items():
            trials = sorted({(n.split("_")[2], n.split("_")[3]) for n in names})
            for kind, codes in [("standing", self.STANDING)] + list(self.LYING.items()):
                picked = [t for t in trials if t[0] in codes][:self.PER_KIND]
                chosen[wearer][kind] = picked
            members = ["%s_D3_%s_%s_%s.dat" % (wearer, code, trial, sensor)
                       for picks in chosen[wearer].values() for code, trial in picks for sensor in "AG"]
            subprocess.run(["tar", "-xJf", os.path.join(SHARED_FALLALLD, "data", wearer + ".tar.xz"),
                            "-C", self.path("in")] + sorted(set(members)), check=True)
        return chosen

    def test_every_activity_of_the_ten_wearers_is_mapped(self):
        self.assertEqual(len(self.listing), 10)
        codes = {n.split("_")[2] for names in self.listing.values() for n in names}
        self.assertEqual(codes - set(fallalld.ACTIVITY_BY_CODE), set())
        self.assertEqual(sum(len(names) for names in self.listing.values()), 2 * 1217)

    def test_units_rate_and_axes_as_kfall_has_them(self):
        os.makedirs(self.path("in"))
        chosen = self.sample()
        run = convert(self.path("in"), self.path("out"))
        self.assertEqual(run.returncode, 0, run.stderr)
        with open(self.path("out", "recordings.csv"), newline="") as stream:
            by_source = {(r["original_id"], r["activity"], r["source"].split("_")[3]): r
                         for r in csv.DictReader(stream)}

        def readings(wearer, kind, part):
            for code, trial in chosen[wearer][kind]:
                record = by_source[(wearer, code, trial)]
                _, rows = read_trial_file(self.path("out", "sensor_data", record["folder"],
                                                    record["recording"]))
                self.assertEqual(len(rows), 2000, record["recording"])     # 20 s at 100 per second
                yield rows[part, 2:5].mean(axis=0), rows[:, 2:5], rows[:, 5:8]

        lying = collections.defaultdict(list)
        for wearer in sorted(chosen):
            with self.subTest(wearer=wearer):
                # Standing, the first second: about 1 g, on KFall's -y.
                upright = np.array([mean for mean, _, _ in readings(wearer, "standing", slice(0, 100))])
                self.assertTrue(len(upright))
                self.assertLess(abs(np.median(np.linalg.norm(upright, axis=1)) - 1), 0.03)
                self.assertLess(np.median(upright[:, 1]), -0.8)
                # Lying, the last second: gravity off the body's vertical (S08's
                # box leans by some 40 degrees), and the written rate turns the
                # posture before a fall into the one after it as KFall's
                # right-handed rate does.
                down, checks = [], []
                for direction in self.LYING:
                    for mean, acc, rate in readings(wearer, direction, slice(-100, None)):
                        lying[direction].append(mean)
                        down.append(mean)
                        checks.append(fallalld_axes.fall_rotation_check(acc, rate, 100))
                if down:
                    self.assertLess(np.median(abs(np.array(down)[:, 1])), 0.5)
                    _, as_written, negated = np.median(checks, axis=0)
                    self.assertLess(as_written, 20)
                    self.assertGreater(negated, 60)
        # Over the wearers, gravity lying is off the vertical, a forward fall
        # ends on -z, a backward one on +z, as in KFall.
        everything = np.array(lying["forward"] + lying["backward"])
        self.assertLess(np.median(abs(everything[:, 1])), 0.2)
        self.assertLess(np.median(np.array(lying["forward"])[:, 2]), -0.5)
        self.assertGreater(np.median(np.array(lying["backward"])[:, 2]), 0.5)
