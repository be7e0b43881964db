"""Checks of the fall model writer and the training data plumbing. Checks
that need ../shared skip without it."""

import os
import struct
import tempfile
import unittest

import numpy as np

from tumblebench.kfall import spreadsheets
from tumblebench.research import estimates
from tumblebench.training import outcomes, recording_cache, rule_windows, tflite_writer

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))

SHARED = os.path.join(os.path.dirname(REPO), "shared")
REFERENCE_MLP = os.path.join(SHARED, "tflm-vectors", "mlp.tflite")
COMMITTED_MODEL = os.path.join(REPO, "tumblix", "ml", "models", "fall_model.tflite")


def random_weights(seed=1):
    r = np.random.default_rng(seed)
    return (r.normal(size=(32, 150)), r.normal(size=32), r.normal(size=(32, 32)),
            r.normal(size=32), r.normal(size=(2, 32)), r.normal(size=2))


class WriterTest(unittest.TestCase):
    @unittest.skipUnless(os.path.isfile(REFERENCE_MLP), "needs ../shared/tflm-vectors/mlp.tflite")
    def test_repacks_a_converter_file_byte_for_byte(self):
        # A file laid out by the converter's packing, with the same operators
        # and options: reading and writing it again must change nothing.
        with open(REFERENCE_MLP, "rb") as f:
            original = f.read()
        self.assertEqual(tflite_writer.pack_model(tflite_writer.read_model(original)), original)

    def test_fall_model_structure(self):
        data = tflite_writer.pack_model(tflite_writer.fall_model_description(*random_weights()))
        self.assertEqual(len(data), 26116)
        self.assertEqual(struct.unpack_from("<I", data, 0)[0], 28)
        m = tflite_writer.read_model(data)
        self.assertEqual(m["version"], 3)
        self.assertEqual([len(b) if b else 0 for b in m["buffers"]],
                         [0, 0, 128, 8, 128, 8, 19200, 4096, 256, 0, 0, 0, 0, 0, 16, 92])
        tensors = m["subgraphs"][0]["tensors"]
        self.assertTrue(all(t["has_rank"] and t["quantization"] == {} for t in tensors))
        self.assertEqual(len(tflite_writer.conversion_metadata()), 92)

    def test_weights_are_stored_units_by_inputs(self):
        w = [np.zeros_like(a) for a in random_weights()]
        w[0][3, 7] = 2.5     # first layer: unit 3, input 7
        w[3][5] = -1.25      # second layer's bias, unit 5
        m = tflite_writer.read_model(tflite_writer.pack_model(
            tflite_writer.fall_model_description(*w)))
        first = np.frombuffer(m["buffers"][6], dtype="<f4")
        self.assertEqual(np.nonzero(first)[0].tolist(), [3 * 150 + 7])
        self.assertEqual(first[3 * 150 + 7], 2.5)
        bias2 = np.frombuffer(m["buffers"][4], dtype="<f4")
        self.assertEqual(np.nonzero(bias2)[0].tolist(), [5])
        back = tflite_writer.fall_model_weights(m)
        for a, b in zip(back, w):
            np.testing.assert_array_equal(a, np.asarray(b, dtype=np.float32))

    def test_refuses_wrong_shapes_and_non_finite_weights(self):
        w = list(random_weights())
        bad = list(w)
        bad[0] = w[0].T
        with self.assertRaises(ValueError):
            tflite_writer.fall_model_description(*bad)
        bad = list(w)
        bad[5] = np.array([0.0, np.nan])
        with self.assertRaises(ValueError):
            tflite_writer.fall_model_description(*bad)
        with self.assertRaises(ValueError):
            tflite_writer.read_model(b"\x1c\x00\x00\x00TFL2" + bytes(40))

    @unittest.skipUnless(os.path.isfile(COMMITTED_MODEL), "no committed model")
    def test_committed_model_is_what_the_writer_writes(self):
        with open(COMMITTED_MODEL, "rb") as f:
            committed = f.read()
        weights = tflite_writer.fall_model_weights(tflite_writer.read_model(committed))
        rewritten = tflite_writer.pack_model(tflite_writer.fall_model_description(*weights))
        self.assertEqual(rewritten, committed)


class DataTest(unittest.TestCase):
    def test_label_spreadsheet_carries_task_codes_down(self):
        import openpyxl
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "SA99_label.xlsx")
            book = openpyxl.Workbook()
            sheet = book.active
            sheet.append(["Task Code (Task ID)", "Description", "Trial ID", "Fall_onset_frame",
                          "Fall_impact_frame"])
            sheet.append(["F01 (20)", "Forward fall", 1, 130, 208])
            sheet.append([None, None, 2, 184, 272])
            sheet.append(["F02 (21)", "Backward fall", 3, 122, 161])
            book.save(path)
            labels = spreadsheets.read_stream_frames(path)
            # Frames at 100 per second, halved for the replayed stream.
            self.assertEqual(labels, {(20, 1): (65, 104), (20, 2): (92, 136), (21, 3): (61, 80)})

            sheet.append([None, None, "two", 1, 2])
            book.save(path)
            with self.assertRaises(spreadsheets.SpreadsheetError):
                spreadsheets.read_stream_frames(path)
        with self.assertRaises(spreadsheets.SpreadsheetError):
            spreadsheets.read_stream_frames(os.path.join(tmp, "missing.xlsx"))

    def test_windows_are_oldest_first_in_flat_order(self):
        n = 30
        channels = np.array([[i * 10 + k for k in range(6)] for i in range(n)], dtype=np.float32)
        is_open = np.zeros(n, dtype=bool)
        is_open[[24, 29]] = True
        zeros = np.zeros(n, dtype=np.int32)
        subject = recording_cache.Subject(
            "kfall", "SA99", names=np.array(["S99T01R01.csv"]), tasks=np.array([1]), onset=np.array([-1]),
            impact=np.array([-1]), start=np.array([0]), length=np.array([n]), channels=channels, raw_acc=zeros,
            lpf_acc=zeros, lpf_gyro=zeros, vv=zeros.astype(np.float32), roll=zeros, pitch=zeros, open=is_open)
        ws = rule_windows.WindowSet([subject])
        w = ws.windows(np.arange(2))
        self.assertEqual(w.shape, (2, 150))
        # Element t * 6 + k: time step t from the oldest, channel k.
        self.assertEqual(w[0, 0], 0.0)
        self.assertEqual(w[0, 149], 245.0)
        self.assertEqual(w[1, 0 * 6 + 2], 52.0)
        self.assertEqual(w[1, 24 * 6 + 3], 293.0)
        # Stretched: twice as many samples, read between rows where needed,
        # never before the recording's first sample.
        np.testing.assert_array_equal(ws.windows(np.arange(2), np.ones(2)), w)
        s = ws.windows(np.arange(2), np.array([2.0, 1.5])).reshape(2, 25, 6)
        self.assertEqual(s[1, 24, 0], 290.0)
        self.assertEqual(s[1, 23, 0], 275.0)   # sample 27.5
        self.assertEqual(s[1, 22, 0], 260.0)
        self.assertEqual(s[1, 21, 0], 245.0)   # sample 24.5, 3 steps of 1.5 back
        self.assertEqual(s[0, 0, 0], 0.0)      # clamped at the first sample


class CacheTest(unittest.TestCase):
    def test_a_cache_is_used_only_with_the_same_dump_tool_and_newer_than_the_trials(self):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "SA99.npz")
            n = 30
            zeros = np.zeros(n, dtype=np.int32)
            subject = recording_cache.Subject(
                "kfall", "SA99", names=np.array(["S99T01R01.csv"]), tasks=np.array([1]), onset=np.array([-1]),
                impact=np.array([-1]), start=np.array([0]), length=np.array([n]),
                channels=np.zeros((n, 6), np.float32), raw_acc=zeros, lpf_acc=zeros, lpf_gyro=zeros,
                vv=zeros.astype(np.float32), roll=zeros, pitch=zeros, open=zeros > 0)
            self.assertFalse(recording_cache.cache_is_current(path, "tool-a", 0.0))
            subject.save(path, "tool-a")
            made = os.path.getmtime(path)
            self.assertTrue(recording_cache.cache_is_current(path, "tool-a", made - 1))
            self.assertFalse(recording_cache.cache_is_current(path, "tool-b", made - 1))  # another detector
            self.assertFalse(recording_cache.cache_is_current(path, "tool-a", made + 1))  # a newer trial file
            loaded = recording_cache.Subject.load("kfall", "SA99", path)
            np.testing.assert_array_equal(loaded.channels, subject.channels)


class OutcomesTest(unittest.TestCase):
    """Held-out figures are counted by the run summary's tallies: a fall whose
    frames were derived from the signal counts as detected or missed, a
    share over no recordings does not exist."""

    def window_set(self):
        from types import SimpleNamespace
        # ADL tn, ADL fp, a fall detected in good time, a fall with derived
        # frames detected, a labelled fall missed.
        return SimpleNamespace(
            task=np.array([6, 6, 20, 21, 22]), is_fall=np.array([False, False, True, True, True]),
            onset=np.array([-1, -1, 100, 60, 100]), impact=np.array([-1, -1, 140, 93, 140]),
            derived=np.array([False, False, False, True, False]), samples=np.array([3000, 1800, 500, 500, 500]),
            name=np.array(["a", "b", "c", "d", "e"]), group=np.array(["young", "elderly", "young", "young", "young"]))

    def test_figures_of_timed_and_untimed_sets(self):
        ws = self.window_set()
        frames = np.array([-1, 400, 120, 70, -1])
        modes = np.array([0, 6, 1, 3, 0])
        outcome = np.array(["tn", "fp", "good", "detected", "fn"])
        everything = np.ones(5, dtype=bool)
        timed = outcomes.timed_figures(ws, frames, modes, outcome, everything)
        self.assertEqual((timed["falls"], timed["detected"], timed["fn"], timed["good"]), (3, 2, 1, 1))
        self.assertEqual((timed["sensitivity"], timed["specificity"], timed["good_share"]), (2 / 3, 0.5, 0.5))
        self.assertEqual(timed["sensitivity_wilson95"], estimates.wilson_interval(2, 3))
        self.assertEqual((timed["median_lead"], timed["false_alarms_by_task"]), (20.0, {6: 1}))
        untimed = outcomes.untimed_figures(ws, frames, modes, outcome, everything)
        self.assertAlmostEqual(untimed["adl_hours"], 4800 / 50 / 3600)
        self.assertAlmostEqual(untimed["false_alarms_per_hour"], 1 / (4800 / 50 / 3600))
        self.assertEqual((untimed["adl_clean_young"], untimed["adl_clean_elderly"]), (1.0, 0.0))
        nothing = outcomes.untimed_figures(ws, frames, modes, outcome, np.zeros(5, dtype=bool))
        self.assertEqual((nothing["falls_detected"], nothing["adl_clean"], nothing["false_alarms_per_hour"]),
                         (None, None, None))


if __name__ == "__main__":
    unittest.main()
