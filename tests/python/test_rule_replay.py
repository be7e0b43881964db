"""The rule replay against the detector itself: for every recording, the
first detection (frame and mode) that the replay finds from the dumped
features and score must be the one tumblebench reports."""

import glob
import os
import re
import subprocess
import tempfile
import unittest

import numpy as np

import support
from tumblebench.research import feature_dump, rule_replay

_RESULT = re.compile(r"^result (\S+) : (\d+), +(-?\d+), +(-?\d+), +(-?\d+) -> (\w+)(?: \(-?\d+\))?"
                     r"(?:\[(\d+)\]| \[(\d+)\])?$", re.M)
SHARED_KFALL = os.path.join(support.HERE, "..", "..", "..", "shared", "kfall")


def dump_tool():
    path = os.environ.get("TUMBLEBENCH_DUMP") or os.path.join(
        os.path.dirname(support.harness()), "..", "tools", "dump_windows")
    if not os.access(path, os.X_OK):
        raise unittest.SkipTest("dump_windows is not built (TUMBLEBENCH_DUMP)")
    return path


def harness_results(log_text):
    """{recording name: (task, frame, onset, impact, outcome, mode)}."""
    results = {}
    for m in _RESULT.finditer(log_text):
        path, task, frame, onset, impact, outcome = m.group(1, 2, 3, 4, 5, 6)
        mode = m.group(7) or m.group(8) or "0"
        results[os.path.basename(path)] = (int(task), int(frame), int(onset), int(impact), outcome, int(mode))
    return results


class RuleReplayAgreesWithTheDetector(unittest.TestCase):
    def check_walk(self, root, model=None):
        env = dict(os.environ)
        env.pop("TUMBLIX_MODEL", None)
        if model:
            env["TUMBLIX_MODEL"] = model
        run = subprocess.run([support.harness(), "-r"], cwd=root, env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        results = harness_results(run.stdout)
        self.assertGreater(len(results), 0)
        names = sorted(results)
        recordings = {os.path.basename(p): p for p in glob.glob(os.path.join(root, "*", "S*T*R*.csv"))
                      if not p.endswith("_DSV.csv")}
        with tempfile.TemporaryDirectory() as dumps:
            pairs = [(recordings[n], os.path.join(dumps, n)) for n in names]
            feature_dump.dump_recordings(dump_tool(), pairs, model=model)
            inputs, p = feature_dump.rule_inputs([feature_dump.load_dump(out) for _, out in pairs])
        frames, modes = inputs.first_detections(p)
        detected = 0
        for i, name in enumerate(names):
            task, frame, onset, impact, outcome, mode = results[name]
            with self.subTest(recording=name):
                # The harness prints 0 for "no detection".
                self.assertEqual(max(frames[i], 0), frame)
                self.assertEqual(modes[i], mode)
                self.assertEqual(rule_replay.score_outcome(task, frames[i], onset, impact), outcome)
            detected += modes[i] > 0
        return len(names), detected, set(modes[modes > 0].tolist())

    def test_generated_data_set(self):
        # The built-in model, and a network with other weights whose scores
        # sit elsewhere, so that other modes fire first.
        other = os.path.join(support.HERE, "..", "fuzz", "corpus", "model_loader", "mlp.tflite")
        with tempfile.TemporaryDirectory() as root:
            support.generate_data_set(root, "--subjects", "2", "--trials", "2", "--seed", "11")
            count, detected, modes = self.check_walk(root)
            self.assertGreater(detected, count // 4)
            self.assertGreaterEqual(len(modes), 3, modes)
            self.check_walk(root, model=other)

    def test_real_kfall_subject(self):
        unpack = os.path.join(SHARED_KFALL, "unpack.sh")
        if not os.access(unpack, os.X_OK):
            self.skipTest("no KFall recordings at %s" % SHARED_KFALL)
        with tempfile.TemporaryDirectory() as work:
            subprocess.run([unpack, work, "SA06"], check=True, stdout=subprocess.DEVNULL)
            root = os.path.join(work, "sensor_data")
            env_path = os.path.dirname(support.harness()) + os.pathsep + os.environ.get("PATH", "")
            os.environ["PATH"] = env_path  # kfall_label beside the harness
            count, detected, modes = self.check_walk(root)
        self.assertGreater(count, 100)
        self.assertGreater(detected, 50)


class RunsAndWindows(unittest.TestCase):
    """What the generated recordings may not reach: counters that must not
    carry over from one recording to the next, runs that span closed
    windows, trigger windows of exactly nine samples."""

    def inputs(self, recording, seqno, lpf_acc=100, lpf_gyro=0, vv=0.0, roll=0, pitch=0):
        n = len(seqno)
        full = lambda v: np.full(n, v) if np.isscalar(v) else np.asarray(v)
        return rule_replay.RuleInputs(recording=np.asarray(recording), seqno=np.asarray(seqno),
                                      lpf_acc=full(lpf_acc), lpf_gyro=full(lpf_gyro), vv=full(vv).astype(np.float32),
                                      roll=full(roll), pitch=full(pitch), count=int(max(recording)) + 1)

    def test_mode7_run_restarts_with_each_recording(self):
        # Seven confident evaluations end recording 0, seven start recording 1:
        # neither reaches eight; an eighth in recording 1 fires on it.
        recording = [0] * 7 + [1] * 8
        seqno = list(range(30, 37)) + list(range(25, 33))
        inputs = self.inputs(recording, seqno, lpf_acc=90)
        frames, modes = inputs.first_detections(np.full(15, 0.95, np.float32))
        self.assertEqual(list(modes), [0, 7])
        self.assertEqual(frames[1], 32 - 1)

    def test_mode2_run_spans_closed_samples_and_breaks_on_a_weak_score(self):
        seqno = [30, 50, 51, 52, 53]  # 31 to 49 closed: not evaluated
        inputs = self.inputs([0] * 5, seqno, vv=3.0)
        frames, modes = inputs.first_detections(np.array([0.85, 0.85, 0.8, 0.85, 0.85], np.float32))
        self.assertEqual((frames[0], modes[0]), (50 - 1, 2))
        _, modes = inputs.first_detections(np.array([0.85, 0.8, 0.85, 0.8, 0.85], np.float32))
        self.assertEqual(modes[0], 0)

    def test_x1_window_is_nine_samples_from_its_trigger(self):
        # Trigger at 40; mode 6 needs vv > 21.3 inside the window.
        seqno = [40, 48, 49]
        lpf_gyro = [100, 0, 0]
        vv = [7.0, 0.0, 22.0]
        inputs = self.inputs([0, 0, 0], seqno, lpf_acc=70, lpf_gyro=lpf_gyro, vv=vv)
        _, modes = inputs.first_detections(np.zeros(3, np.float32))
        self.assertEqual(modes[0], 0)  # 49 - 40 = 9: closed
        inputs = self.inputs([0, 0, 0], [40, 47, 48], lpf_acc=70, lpf_gyro=lpf_gyro, vv=vv)
        frames, modes = inputs.first_detections(np.zeros(3, np.float32))
        self.assertEqual((frames[0], modes[0]), (47, 6))


if __name__ == "__main__":
    unittest.main()
