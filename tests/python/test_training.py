"""Checks of the PyTorch training pipeline that need no recordings: the
rule-shaped loss against the rule replay, the fold plan, the export into the
model file, and determinism. Skipped without PyTorch (python3-torch)."""

import os
import tempfile
import unittest

import numpy as np

from tumblebench.training import fall_frames, folds, recording_cache, rule_windows, tflite_writer

try:
    import torch
except ImportError:  # the loss and fit checks need it; the plan checks do not
    torch = None

needs_torch = unittest.skipIf(torch is None, "needs PyTorch (tools/bootstrap.sh installs python3-torch)")


def synthetic_subject(name, seed, recordings=6, samples=160, vv_top=25.0):
    """A subject of made-up recordings in the cache's form: alternately
    daily activities and falls (onset 80, impact 110), rule features drawn
    so that every mode's conditions hold somewhere."""
    r = np.random.default_rng(seed)
    n = recordings * samples
    tasks = np.array([6 if i % 2 == 0 else 20 for i in range(recordings)])
    is_fall = tasks == 20
    return recording_cache.Subject(
        "kfall", name, names=np.array(["S99T%02dR%02d.csv" % (t, i + 1) for i, t in enumerate(tasks)]),
        tasks=tasks, onset=np.where(is_fall, 80, -1), impact=np.where(is_fall, 110, -1),
        start=np.arange(recordings) * samples, length=np.full(recordings, samples),
        channels=r.normal(scale=200, size=(n, 6)).astype(np.float32),
        raw_acc=r.integers(60, 120, n).astype(np.int32), lpf_acc=r.integers(50, 110, n).astype(np.int32),
        lpf_gyro=r.integers(0, 150, n).astype(np.int32),
        vv=np.where(r.random(n) < 0.3, r.uniform(-2, vv_top, n), r.uniform(-2, 2.5, n)).astype(np.float32),
        roll=r.integers(-50, 50, n).astype(np.int32), pitch=r.integers(-70, 50, n).astype(np.int32),
        open=(np.arange(n) % samples >= 24) & (r.random(n) < 0.8))


class FoldPlanTest(unittest.TestCase):
    def test_project_plan_holds_every_subject_once_with_both_age_groups_in_every_fold(self):
        plan = folds.load_plan(folds.PROJECT_PLAN)
        self.assertEqual(len(plan), 4)
        everything = folds.subjects_of(plan)
        self.assertEqual(sorted(everything["kfall"]), ["SA%02d" % n for n in range(6, 30)])
        self.assertEqual(sorted(everything["sisfall"]),
                         ["SA%02d" % n for n in range(1, 13)] + ["SE%02d" % n for n in range(1, 9)])
        self.assertEqual(sorted(everything["fallalld"]), ["S01", "S02", "S03", "S04", "S07", "S08", "S10", "S11",
                                                          "S12", "S15"])
        # FallAllD's wearers whose boxes sit most differently, and those
        # without falls, are held out in different folds; every fold has falls.
        without_falls = {"S04", "S10"}
        fold_of = {s: k for k, fold in enumerate(plan) for s in fold["fallalld"]}
        self.assertEqual(len({fold_of[s] for s in ("S07", "S08", "S12")}), 3)
        self.assertEqual(len({fold_of[s] for s in without_falls}), 2)
        for k, fold in enumerate(plan):
            self.assertEqual(len(fold["kfall"]), 6)
            self.assertTrue(any(s.startswith("SE") for s in fold["sisfall"]), k)
            self.assertTrue(any(s.startswith("SA") for s in fold["sisfall"]), k)
            self.assertTrue(set(fold["fallalld"]) - without_falls, k)
            train, test = folds.split(plan, k)
            for dataset in everything:
                roles = [set(test[dataset]), set(train[dataset])]
                self.assertEqual(set.union(*roles), set(everything[dataset]))
                self.assertEqual(sum(len(s) for s in roles), len(everything[dataset]))  # no subject twice

    def test_refuses_a_subject_in_two_folds_and_malformed_plans(self):
        with self.assertRaisesRegex(folds.PlanError, "SA07 stands in folds 1 and 2"):
            folds.check_plan([{"kfall": ["SA06", "SA07"]}, {"kfall": ["SA07"]}])
        # The same name in two data sets is two subjects.
        folds.check_plan([{"kfall": ["SA06"]}, {"sisfall": ["SA06"]}])
        for bad in (None, [{"kfall": ["SA06"]}], [{"kfall": "SA06"}, {"kfall": ["SA07"]}], [{}, {}]):
            with self.assertRaises(folds.PlanError):
                folds.check_plan(bad)
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "plan.json")
            with open(path, "w") as f:
                f.write("{\"folds\": [")
            with self.assertRaises(folds.PlanError):
                folds.load_plan(path)


    def test_a_fold_models_record_names_the_folders_its_training_wearers_are_found_in(self):
        plan = folds.load_plan(folds.PROJECT_PLAN)
        train, test = folds.split(plan, 1)
        record = folds.training_record(train)
        # Converted data sets are walked by folder: SisFall's elderly and
        # FallAllD's wearers have folders of their own numbering.
        self.assertIn("SA51", record["sisfall"])                 # SE01, fold 1
        self.assertIn("SA71", record["fallalld"])                # S01, fold 1
        held_out = folds.training_record(test)
        for dataset in record:
            self.assertFalse(set(record[dataset]) & set(held_out[dataset]), dataset)
        with self.assertRaises(folds.PlanError):
            folds.training_record({"mobifall": ["S01"]})


class HarnessCheckTest(unittest.TestCase):
    def test_a_run_agrees_only_where_frame_mode_and_outcome_are_the_cross_validations(self):
        from tumblebench.training import harness_check
        expected = {"fallalld/S71T30R01.csv": [410, 7, "detected"], "fallalld/S71T30R02.csv": [-1, 0, "fn"],
                    "fallalld/S71T04R01.csv": [-1, 0, "tn"], "kfall/S06T20R01.csv": [240, 2, "good"]}

        def row(path, frame, mode, outcome):
            return dict(path=path, first_frame=str(frame) if frame else "", first_mode=str(mode) if mode else "",
                        outcome=outcome)
        agreeing = [row("S71T30R01.csv", 410, 7, "late"), row("S71T30R02.csv", None, None, "fn"),
                    row("S71T04R01.csv", None, None, "tn")]
        self.assertEqual(harness_check.disagreements(expected, agreeing, "fallalld"), [])
        cases = [  # (the harness's row, what is reported)
            (row("S71T30R01.csv", 411, 7, "late"), "harness (411, 7, 'late'), cross-validation (410, 7, 'late')"),
            (row("S71T30R01.csv", 410, 3, "late"), "harness (410, 3, 'late')"),
            (row("S71T04R01.csv", 90, 6, "fp"), "harness (90, 6, 'fp'), cross-validation (-1, 0, 'tn')"),
            (row("S71T05R01.csv", None, None, "tn"), "not in the cross-validation"),
        ]
        for found, said in cases:
            with self.subTest(said):
                problems = harness_check.disagreements(expected, [found], "fallalld")
                self.assertEqual(len(problems), 1)
                self.assertIn(said, problems[0])
        self.assertIn("kfall/S06T20R01.csv", harness_check.disagreements(
            expected, [row("S06T20R01.csv", 240, 2, "soso")], "kfall")[0])


class FallFramesTest(unittest.TestCase):
    def test_impact_at_the_rise_of_the_largest_peak_onset_a_fall_length_before(self):
        n = 300
        channels = np.zeros((n, 6), dtype=np.float32)
        channels[:, 1] = -500.0                    # standing: 1 g on y
        channels[150:180, 1] = -150.0              # falling
        channels[180:184, 1] = -1500.0             # impact: 3 g from sample 180
        channels[40:42, 1] = -900.0                # a smaller bump earlier
        onset, impact = fall_frames.derive_frames(channels)
        self.assertEqual(impact, 180 + fall_frames.IMPACT_DELAY)
        self.assertEqual(onset, impact - fall_frames.IMPACT_TO_ONSET)
        self.assertEqual(fall_frames.derive_frames(np.zeros((0, 6))), (-1, -1))

    def test_the_derivation_is_measured_against_labels_and_the_middle_of_the_recording(self):
        def fall(impact_at, n=1000):
            channels = np.zeros((n, 6), dtype=np.float32)
            channels[:, 1] = -500.0
            channels[impact_at:impact_at + 4, 1] = -1500.0
            return channels
        derived_impact = 500 + fall_frames.IMPACT_DELAY
        # Labels 0, 1, 2 and 3 samples after the derived impact, onsets 10 before them.
        labelled = [(fall(500), derived_impact - 10 + e, derived_impact + e) for e in range(4)]
        measured = fall_frames.label_errors(labelled)
        self.assertEqual(measured["impact"]["quartiles"], [-2.25, -1.5, -0.75])
        self.assertEqual(measured["impact"]["share_within"], 0.75)
        self.assertEqual(measured["onset"]["quartiles"],
                         [-2.25 + 10 - fall_frames.IMPACT_TO_ONSET, -1.5 + 10 - fall_frames.IMPACT_TO_ONSET,
                          -0.75 + 10 - fall_frames.IMPACT_TO_ONSET])
        # An impact 50 samples (1 s at 50 per second) after the middle.
        middle = fall_frames.middle_offsets([(fall(550), 550 + fall_frames.IMPACT_DELAY)], 50)
        self.assertEqual((middle["count"], middle["quartiles"][1]), (1, (50 + fall_frames.IMPACT_DELAY) / 50))
        self.assertEqual(fall_frames.middle_offsets([], 50), None)


@needs_torch
class OracleTest(unittest.TestCase):
    def test_score_zero_fires_mode_6_only_and_score_one_every_fall_a_mode_can_reach(self):
        from tumblebench.training import oracle
        ws = rule_windows.WindowSet([synthetic_subject("SA99", 11, recordings=16, vv_top=25.0)])
        ws.dataset[:] = "kfall"
        scores = oracle.oracle_scores(ws)
        in_time = scores["in_time"] > 0
        r = ws.recording[in_time]
        self.assertTrue(in_time.any())
        self.assertTrue(np.all(ws.is_fall[r] & (ws.frame[in_time] >= ws.onset[r]) &
                               (ws.frame[in_time] <= ws.impact[r] - rule_windows.GOOD_LEAD_SAMPLES)))
        fired = oracle.replay(ws, scores)
        frames, modes = fired["zero"]
        with_mode6 = np.array([ws.mode6[ws.first[k]:ws.end[k]].any() for k in range(ws.count)])
        self.assertTrue(with_mode6.any() and not with_mode6.all())
        np.testing.assert_array_equal(frames > 0, with_mode6)
        self.assertTrue(np.all(modes[with_mode6] == 6))
        reachable = np.array([(ws.single_threshold[ws.first[k]:ws.end[k]] < 1).any() or with_mode6[k] or
                              ws.mode2_pair[ws.first[k]:ws.end[k]].any() or ws.mode7_run[ws.first[k]:ws.end[k]].any()
                              for k in range(ws.count)])
        np.testing.assert_array_equal(fired["one"][0] > 0, reachable)
        report = oracle.dataset_report(ws, {}, fired, "kfall", [{"kfall": ["SA99"]}, {}])
        self.assertEqual(report["adl_fired_at_zero"], int(np.sum(with_mode6 & ~ws.is_fall)))
        self.assertEqual(report["per_fold_adl_fired_at_zero"], [report["adl_fired_at_zero"], 0])
        self.assertEqual(report["falls_fired_one"], int(np.sum(reachable & ws.is_fall)))
        self.assertEqual(sum(e["recordings"] for e in report["per_activity"].values()), ws.count)


@needs_torch
class PlacementTest(unittest.TestCase):
    def test_a_box_turned_about_the_vertical_keeps_gravity_where_a_tilted_one_moves_it(self):
        from tumblebench.training import fit
        upright = np.zeros(3)
        upright[fit.VERTICAL_AXIS] = -1.0
        forward = np.array([0.0, 0.0, 1.0])
        rng = np.random.default_rng(7)
        turned = fit.placement_rotations(rng, 2000, 180.0, 0.0)
        np.testing.assert_allclose(turned @ upright, np.tile(upright, (2000, 1)), atol=1e-12)
        headings = np.degrees(np.arctan2((turned @ forward)[:, 0], (turned @ forward)[:, 2]))
        # Uniform over the whole turn: every quarter about as often.
        self.assertTrue(np.all(np.abs(np.histogram(headings, bins=4, range=(-180, 180))[0] - 500) < 80))
        tilted = fit.placement_rotations(rng, 2000, 0.0, 20.0)
        lean = np.degrees(np.arccos(np.clip(-(tilted @ upright)[:, fit.VERTICAL_AXIS], -1, 1)))
        self.assertAlmostEqual(float(np.median(lean)), 20.0 * 0.674, delta=1.5)   # |normal| median
        for r in (turned, tilted):
            np.testing.assert_allclose(r @ r.transpose(0, 2, 1), np.tile(np.eye(3), (2000, 1, 1)), atol=1e-12)
            np.testing.assert_allclose(np.linalg.det(r), 1.0, atol=1e-12)

    def test_placement_turns_acceleration_and_rate_alike_per_recording(self):
        from tumblebench.training import fit
        settings = fit.Settings(rotation_degrees=0.0, yaw_degrees=180.0)
        x = torch.zeros((4, 25 * 6))
        x.view(4, 25, 2, 3)[:, :, 0, 1] = -500.0       # gravity on the vertical
        x.view(4, 25, 2, 3)[:, :, 1, 2] = 90.0         # turning about z
        turned = fit.augment(x, np.array([0, 0, 1, 1]), np.random.default_rng(3), settings, 2).view(4, 25, 2, 3)
        np.testing.assert_allclose(turned[:, :, 0, 1].numpy(), -500.0, atol=1e-3)
        self.assertTrue(torch.equal(turned[0], turned[1]) and torch.equal(turned[2], turned[3]))
        self.assertFalse(torch.allclose(turned[0], turned[2]))
        np.testing.assert_allclose(turned[:, :, 1, :].norm(dim=-1).numpy(), 90.0, rtol=1e-5)


@needs_torch
class RuleLossTest(unittest.TestCase):
    def window_set(self, seed=3):
        # vv up to 21 keeps mode 6, which ignores the score, quiet.
        return rule_windows.WindowSet([synthetic_subject("SA99", seed, recordings=12, vv_top=21.0)])

    def test_the_first_positive_margin_is_the_first_detection(self):
        # For random scores, the first window of a recording with a positive
        # margin is the rule replay's first detection, and a recording
        # without one is not detected (mode 6, which ignores the score, is
        # kept quiet here).
        from tumblebench.training import fit, rule_loss
        ws = self.window_set()
        self.assertFalse(ws.mode6.any())
        maker = fit.BatchMaker(ws)
        recs = np.arange(ws.count)
        index, segment, batch = maker.batch(ws.first[recs], ws.end[recs])
        r = np.random.default_rng(5)
        detected, fired_modes = 0, set()
        near = np.array([0.53, 0.57, 0.67, 0.7, 0.8, 0.9])
        for density in np.linspace(0.0, 0.03, 40):
            # Mostly low scores, some high ones, some close to a threshold
            # on either side, and runs (modes 2 and 7 need consecutive ones).
            n = len(index)
            p = np.where(r.random(n) < density, r.uniform(0.5, 1.0, n), r.uniform(0.0, 0.5, n))
            p = np.where(r.random(n) < density, r.choice(near, n) + r.uniform(-0.01, 0.01, n), p)
            run = np.repeat(r.random(n // 12 + 1) < density, 12)[:n]
            p = np.where(run, r.choice([0.79, 0.805, 0.89, 0.95], n, p=[0.03, 0.03, 0.04, 0.9]), p).astype(np.float32)
            z = torch.from_numpy(np.log(p / (1 - p)).astype(np.float64))
            margin = rule_loss.window_margins(z, batch["single_threshold_logit"].double(),
                                              batch["mode2_pair"], batch["mode7_run"], batch["mode7_length"])
            first = np.full(ws.count, -1)
            positive = np.nonzero(margin.numpy() > 0)[0]
            firsts, at = np.unique(segment[positive], return_index=True)
            first[firsts] = ws.frame[index[positive[at]]]
            frames, modes = ws.rules.first_detections(p)
            np.testing.assert_array_equal(first, np.where(frames > 0, frames, -1))
            detected += int((frames > 0).sum())
            fired_modes.update(modes[frames > 0].tolist())
        self.assertTrue(50 < detected < 40 * ws.count - 50)  # both kinds, many times
        self.assertEqual(fired_modes, {1, 2, 3, 4, 5, 7, 8})

    def test_daily_activity_penalty_follows_its_worst_window(self):
        from tumblebench.training import rule_loss
        # One daily-activity recording of four windows where mode 4 (0.57)
        # could fire on each: the penalty's gradient sits on the top window.
        z = torch.tensor([-6.0, -5.0, 1.0, -4.0], requires_grad=True)
        batch = dict(recordings=1, segment=torch.zeros(4, dtype=torch.long), role=torch.ones(4, dtype=torch.long),
                     after_onset=torch.zeros(4, dtype=torch.long), before_impact=torch.full((4,), 30),
                     single_threshold_logit=torch.full((4,), rule_loss.logit(0.57)),
                     mode2_pair=torch.zeros(4, dtype=torch.bool), mode7_run=torch.zeros(4, dtype=torch.bool),
                     mode7_length=8, target=torch.full((4,), -1, dtype=torch.long))

        class S:
            temperature, margin_bad, margin_good, lead_slope = 0.5, 1.0, 1.0, 0.1
            bad_weight, good_weight, bce_weight, fall_window_weight = 1.0, 1.0, 0.0, 1.0
            early_weight, lead_target = 0.0, 18
        loss, _ = rule_loss.rule_loss(z, batch, S)
        loss.backward()
        self.assertGreater(z.grad[2], 0.5)
        self.assertLess(float(z.grad[[0, 1, 3]].abs().max()), 1e-3)

        # A fall: the same windows in time reward the earliest confident one
        # most, and a window before onset is penalised.
        z = torch.tensor([0.5, 0.5, 0.5, 0.5], requires_grad=True)
        batch["role"] = torch.tensor([1, 2, 2, 2])
        batch["after_onset"] = torch.tensor([0, 0, 10, 20])
        loss, _ = rule_loss.rule_loss(z, batch, S)
        loss.backward()
        self.assertGreater(z.grad[0], 0)                      # pushed down
        self.assertTrue(z.grad[1] < z.grad[2] < z.grad[3] <= 0)  # pushed up, earliest most


@needs_torch
class DistillationTest(unittest.TestCase):
    def test_loss_vanishes_only_where_the_network_agrees_with_its_teacher(self):
        from tumblebench.training import rule_loss
        teacher = torch.tensor([-6.0, -1.0, 0.0, 2.5, 9.0], dtype=torch.float64)
        for temperature in (1.0, 2.0, 4.0):
            same = rule_loss.distillation_loss(teacher.clone(), teacher, temperature)
            self.assertAlmostEqual(float(same), 0.0, places=12)
            # Moved either way from the teacher's logit, every window costs
            # more, and the gradient points back towards the teacher.
            for shift in (-1.5, -0.1, 0.1, 1.5):
                z = (teacher + shift).requires_grad_(True)
                loss = rule_loss.distillation_loss(z, teacher, temperature)
                loss.backward()
                self.assertGreater(float(loss), 0.0)
                self.assertTrue(bool((torch.sign(z.grad) == np.sign(shift)).all()), (temperature, shift))

    def test_wider_windows_end_where_the_classifiers_do_and_stay_in_their_recording(self):
        ws = rule_windows.WindowSet([synthetic_subject("SA98", 7), synthetic_subject("SA99", 8)])
        index = np.arange(len(ws.frame))
        short, wide = ws.windows(index), ws.windows(index, length=50)
        np.testing.assert_array_equal(wide[:, 25 * 6:], short)
        # Windows near a recording's start repeat its first sample instead
        # of reading the recording before.
        early = index[ws.frame < 49]
        self.assertGreater(len(early), 0)
        for i in early[:40]:
            rows = wide[i].reshape(50, 6)
            first = ws.channels[ws.position[i] - ws.frame[i]]
            missing = 49 - ws.frame[i]
            np.testing.assert_array_equal(rows[:missing + 1], np.repeat(first[None], missing + 1, axis=0))
        with self.assertRaises(ValueError):
            ws.windows(index[:3], stretch=np.ones(3), length=50)

    def test_taught_and_averaged_fit_is_deterministic_and_exports_the_classifiers_network(self):
        from tumblebench.training import fit
        ws = rule_windows.WindowSet([synthetic_subject("SA98", 7), synthetic_subject("SA99", 8)])
        plain = fit.Settings(epochs=2, warmup_epochs=1, batch_recordings=4)
        taught = fit.Settings(epochs=2, warmup_epochs=1, batch_recordings=4, teacher_hidden=16, teacher_window=40,
                              swa_epochs=1, acc_offset_g=0.03, gyro_offset_dps=2.0, input_noise=0.05)
        files = []
        for settings in (taught, taught, plain):
            fit._teachers.clear()  # the second fit trains its teacher again
            files.append(tflite_writer.pack_model(tflite_writer.fall_model_description(
                *fit.fit(ws, np.arange(ws.count), settings))))
        self.assertEqual(files[0], files[1])
        self.assertEqual(len(files[0]), 26116)
        self.assertNotEqual(files[0], files[2])


@needs_torch
class StoredFitTest(unittest.TestCase):
    def test_a_stored_fit_is_read_back_only_for_the_same_recordings_and_training(self):
        from tumblebench.training import fit, train_fall_model
        settings = fit.Settings(epochs=1, warmup_epochs=1, batch_recordings=4)
        calls = []
        real_fit = fit.fit

        def counted(*args, **kwargs):
            calls.append(1)
            return real_fit(*args, **kwargs)

        fit.fit = counted
        try:
            with tempfile.TemporaryDirectory() as tmp:
                def run(ws, in_train):
                    return train_fall_model.fold_fit(ws, train_fall_model.data_digest(ws), in_train, settings, 0, 2,
                                                     "t", tmp)
                ws = rule_windows.WindowSet([synthetic_subject("SA98", 7), synthetic_subject("SA99", 8)])
                in_train = np.arange(ws.count) < 6
                first = run(ws, in_train)
                again = run(ws, in_train)
                self.assertEqual(len(calls), 1)
                for a, b in zip(first, again):
                    np.testing.assert_array_equal(a, b)
                run(ws, np.arange(ws.count) >= 6)  # other training recordings
                ws.channels[0, 0] += 1.0           # the same recordings, another sample value
                run(ws, in_train)
                self.assertEqual(len(calls), 3)
        finally:
            fit.fit = real_fit


@needs_torch
class ExportTest(unittest.TestCase):
    def test_written_file_computes_the_trained_network_on_raw_inputs(self):
        from tumblebench.training import fit
        torch.manual_seed(1)
        net = fit.Net()
        r = np.random.default_rng(2)
        mean, std = r.normal(size=150) * 50, r.uniform(5, 300, 150)
        weights = fit.with_offset(fit.export_weights(net, mean, std), 0.25)
        data = tflite_writer.pack_model(tflite_writer.fall_model_description(*weights))
        self.assertEqual(len(data), 26116)
        x = (r.normal(size=(200, 150)) * 300).astype(np.float32)
        y = tflite_writer.forward(tflite_writer.fall_model_weights(tflite_writer.read_model(data)), x)
        with torch.no_grad():
            scaled = ((x - mean) / std).astype(np.float32)
            down = torch.sigmoid(net(torch.from_numpy(scaled)) + 0.25).numpy()
        np.testing.assert_allclose(y[:, 1], down, atol=2e-5)
        np.testing.assert_allclose(y[:, 0], 1 - down, atol=2e-5)

    def test_same_windows_and_settings_give_the_same_file(self):
        from tumblebench.training import fit
        ws = rule_windows.WindowSet([synthetic_subject("SA98", 7), synthetic_subject("SA99", 8)])
        settings = fit.Settings(epochs=2, warmup_epochs=1, batch_recordings=4)
        files = [tflite_writer.pack_model(tflite_writer.fall_model_description(
            *fit.fit(ws, np.arange(ws.count), settings))) for _ in range(2)]
        self.assertEqual(files[0], files[1])
        other = tflite_writer.pack_model(tflite_writer.fall_model_description(
            *fit.fit(ws, np.arange(ws.count), fit.Settings(epochs=2, warmup_epochs=1, batch_recordings=4,
                                                           seed=1))))
        self.assertNotEqual(files[0], other)


if __name__ == "__main__":
    unittest.main()
