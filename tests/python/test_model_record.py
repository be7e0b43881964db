"""The record a model file carries of its training subjects: written by the
training's writer, read back by the research tools, damaged records refused,
and a model that carries one still run by the harness exactly as without."""

import os
import subprocess
import tempfile
import unittest

import numpy as np

import support
from tumblebench import model_record
from tumblebench.training import tflite_writer

BUILT_IN = os.path.join(support.CHECKOUT, "tumblix", "ml", "models", "fall_model.tflite")
RECORD = {"kfall": ["SA07", "SA06"], "SisFall": ["SA51"], "fallalld": []}


def built_in_bytes():
    with open(BUILT_IN, "rb") as f:
        return f.read()


class Record(unittest.TestCase):

    def test_written_with_the_weights_and_read_back(self):
        rng = np.random.default_rng(2)
        shapes = ((32, 150), (32,), (32, 32), (32,), (2, 32), (2,))
        weights = [rng.normal(size=s).astype(np.float32) for s in shapes]
        with tempfile.TemporaryDirectory() as work:
            path = os.path.join(work, "m.tflite")
            data = tflite_writer.write_fall_model(path, *weights, training_subjects=RECORD)
            # Names of data sets in lower case, folders sorted: one spelling per fact.
            self.assertEqual(model_record.read(data), {"kfall": ["SA06", "SA07"], "sisfall": ["SA51"],
                                                       "fallalld": []})
            for got, want in zip(tflite_writer.fall_model_weights(tflite_writer.read_model(data)), weights):
                np.testing.assert_array_equal(got, want)
            self.assertIsNone(model_record.read(tflite_writer.write_fall_model(path, *weights)))

    def test_a_second_record_replaces_the_first(self):
        model = tflite_writer.read_model(built_in_bytes())
        once = tflite_writer.with_training_subjects(model, RECORD)
        twice = tflite_writer.with_training_subjects(once, {"kfall": ["SA10"]})
        names = [m["name"] for m in twice["metadata"]]
        self.assertEqual(names.count(model_record.METADATA_NAME), 1)
        self.assertEqual(model_record.read(tflite_writer.pack_model(twice)), {"kfall": ["SA10"]})

    def test_what_is_not_a_record_is_refused(self):
        cases = [b"not json", b"[1, 2]", b'{"kfall": "SA06"}', b'{"kfall": [6]}', b'{"": ["SA06"]}', b"\xff\xfe"]
        for raw in cases:
            with self.subTest(raw=raw):
                with self.assertRaises(model_record.RecordError):
                    model_record.decode(raw)
        for data in (b"", b"1234TFL2" + bytes(40), built_in_bytes()[:64]):
            with self.subTest(length=len(data)):
                with self.assertRaises(model_record.RecordError):
                    model_record.read(data)

    def test_overlap_with_a_run(self):
        record = model_record.check(RECORD)
        self.assertEqual(model_record.trained_on(record, {"kfall": ["SA06", "SA22"], "sisfall": ["SA01"]}),
                         {"kfall": ["SA06"]})
        self.assertEqual(model_record.trained_on(record, {"fallalld": ["SA71"]}), {})


class HarnessRunsARecordedModel(unittest.TestCase):

    def test_the_harness_runs_it_as_the_built_in_model(self):
        with tempfile.TemporaryDirectory() as work:
            model = os.path.join(work, "recorded.tflite")
            with open(model, "wb") as f:
                f.write(tflite_writer.pack_model(tflite_writer.with_training_subjects(
                    tflite_writer.read_model(built_in_bytes()), RECORD)))
            data = os.path.join(work, "data")
            support.generate_data_set(data, "--subjects", "1", "--trials", "1", "--seed", "4")
            env = dict(os.environ)
            env.pop("TUMBLIX_MODEL", None)
            plain = subprocess.run([support.harness(), "-r"], cwd=data, env=env, stdout=subprocess.PIPE)
            env["TUMBLIX_MODEL"] = model
            recorded = subprocess.run([support.harness(), "-r"], cwd=data, env=env, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE)
            self.assertEqual(recorded.returncode, 0, recorded.stderr)
            self.assertEqual(recorded.stdout, plain.stdout)


if __name__ == "__main__":
    unittest.main()
