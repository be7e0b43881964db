#!/usr/bin/python3
"""Trains the Tumblix fall model on KFall recordings and writes it as TFLite.

    train_fall_model.py --kfall UNPACKED_KFALL --dump-tool BUILD/tools/dump_windows \
        --work WORK_DIR --out tumblix/ml/models/fall_model.tflite [--report REPORT.json]

UNPACKED_KFALL holds sensor_data/SAxx/*.csv and label_data/SAxx_label.xlsx
(the layout ../shared/kfall/unpack.sh writes). tools/train/retrain.sh wraps
the whole run, from unpacking to the model file.

Training and validation subjects are disjoint (TRAIN_SUBJECTS and
VALIDATION_SUBJECTS below); nothing of the validation subjects reaches the
fit or the input scaling. The settings below were compared on them
(docs/fall_model.md lists the candidates).
"""

import argparse
import json
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import kfall_data  # noqa: E402
import tflite_writer  # noqa: E402

TRAIN_SUBJECTS = ["SA%02d" % n for n in range(6, 22)]        # SA06 to SA21
VALIDATION_SUBJECTS = ["SA%02d" % n for n in range(22, 30)]  # SA22 to SA29

SEED = 20240607

# Labels, in samples of the 50-per-second stream (see docs/fall_model.md).
# A window is named by its newest sample i. Fall trial with onset O and
# impact I (label frames halved):
#   down target 1 for O + POSITIVE_DELAY <= i < I;
#   not trained on (don't care) for O <= i < O + POSITIVE_DELAY and for
#   I <= i < I + AFTER_IMPACT_IGNORED, where the window mixes the fall with
#   what comes before or after it;
#   down target 0 everywhere else.
# ADL trials: down target 0 on every window.
POSITIVE_DELAY = 0
AFTER_IMPACT_IGNORED = 12
# Only windows the detector can run the model on (its detection window is
# open) are trained on: the down probability is read nowhere else.
# Fall windows make up this share of every epoch (see epoch_indexes).
POSITIVE_SHARE = 0.1

# Hard negatives: after EPOCHS epochs, normal windows of the training
# subjects that still score a down probability above this join every
# further epoch with this many extra copies, for HARD_NEGATIVE_EPOCHS epochs. A daily-activity recording is lost to a single
# run of confident windows, so these peaks matter more than the average.
HARD_NEGATIVE_THRESHOLD = 0.3
HARD_NEGATIVE_COPIES = 4
HARD_NEGATIVE_EPOCHS = 10
# Each epoch trains on a fresh draw of this share of the normal windows
# (neighbouring windows overlap by 24 samples, so little is lost per epoch
# and nothing over all of them).
NEGATIVE_FRACTION = 0.5
# Spread of the random sensor-frame rotation per training window, degrees.
ROTATION_DEGREES = 20.0

HIDDEN = (32, 32)
EPOCHS = 20
BATCH = 512
LEARNING_RATE = 1e-3
L2 = 1e-4


def label_recording(rec):
    """(window end indexes, down targets) of one recording's trained windows."""
    idx = rec.open_indexes()
    if not rec.is_fall:
        return idx, np.zeros(len(idx), dtype=np.int8)
    onset, impact = rec.label
    target = np.zeros(len(idx), dtype=np.int8)
    target[(idx >= onset + POSITIVE_DELAY) & (idx < impact)] = 1
    ignored = ((idx >= onset) & (idx < onset + POSITIVE_DELAY)) | \
              ((idx >= impact) & (idx < impact + AFTER_IMPACT_IGNORED))
    keep = ~ignored
    return idx[keep], target[keep]


def build_set(recordings):
    xs, ys = [], []
    for rec in recordings:
        idx, target = label_recording(rec)
        if len(idx) == 0:
            continue
        xs.append(rec.windows(idx))
        ys.append(target)
    return np.concatenate(xs), np.concatenate(ys)


def epoch_indexes(y, hard, rng):
    """The windows of one epoch, shuffled: a fresh seeded draw of
    NEGATIVE_FRACTION of the normal windows, HARD_NEGATIVE_COPIES extra copies
    of each hard negative, and as many fall windows as make up POSITIVE_SHARE
    of the epoch (whole copies of all of them, then a draw without
    replacement for the rest, so a share below their natural one draws a
    different subset every epoch)."""
    pos = np.nonzero(y == 1)[0]
    neg = np.nonzero(y == 0)[0]
    if NEGATIVE_FRACTION < 1:
        neg = rng.choice(neg, size=int(round(NEGATIVE_FRACTION * len(neg))), replace=False)
    neg = np.concatenate([neg, np.tile(hard, HARD_NEGATIVE_COPIES)])
    wanted = int(round(POSITIVE_SHARE / (1 - POSITIVE_SHARE) * len(neg)))
    copies = wanted // max(1, len(pos))
    rest = wanted - copies * len(pos)
    extra = rng.choice(pos, size=rest, replace=False) if rest > 0 else pos[:0]
    order = np.concatenate([neg, np.tile(pos, copies), extra])
    rng.shuffle(order)
    return order


def rotate_windows(x, rng, degrees):
    """Turns each window by its own small rotation of the sensor frame: a
    random axis and an angle of normal spread `degrees`, applied alike to the
    acceleration and the angular rate of all 25 samples. The sensor sits a
    little differently on every wearer; the rotations stand for that."""
    n = len(x)
    axis = rng.normal(size=(n, 3))
    axis /= np.linalg.norm(axis, axis=1, keepdims=True)
    angle = np.radians(rng.normal(scale=degrees, size=n))
    k = np.zeros((n, 3, 3))
    k[:, 0, 1], k[:, 0, 2], k[:, 1, 2] = -axis[:, 2], axis[:, 1], -axis[:, 0]
    k[:, 1, 0], k[:, 2, 0], k[:, 2, 1] = axis[:, 2], -axis[:, 1], axis[:, 0]
    s, c = np.sin(angle)[:, None, None], np.cos(angle)[:, None, None]
    r = np.eye(3)[None] + s * k + (1 - c) * (k @ k)
    w = x.reshape(n, kfall_data.WINDOW, 2, 3).astype(np.float64)
    return np.einsum("nij,ntcj->ntci", r, w).reshape(n, -1).astype(np.float32)


def channel_scaling(x):
    """Mean and standard deviation per channel (shared by the 25 time steps),
    expanded to the 150 inputs."""
    per_channel = x.reshape(-1, kfall_data.WINDOW, kfall_data.CHANNELS)
    mean = per_channel.mean(axis=(0, 1), dtype=np.float64)
    std = per_channel.std(axis=(0, 1), dtype=np.float64)
    std[std == 0] = 1.0
    return np.tile(mean, kfall_data.WINDOW), np.tile(std, kfall_data.WINDOW)


def train(x, y, mean, std, rng, log):
    """Fits the network on the training windows x (raw inputs) with down
    targets y, one epoch at a time so that every epoch draws its own normal
    windows and rotations; after EPOCHS epochs the hard negatives join in."""
    from sklearn.neural_network import MLPClassifier

    clf = MLPClassifier(hidden_layer_sizes=HIDDEN, activation="relu", solver="adam",
                        alpha=L2, batch_size=BATCH, learning_rate_init=LEARNING_RATE,
                        shuffle=True, random_state=SEED)
    hard = np.empty(0, dtype=np.int64)
    t0 = time.time()
    for epoch in range(EPOCHS + HARD_NEGATIVE_EPOCHS):
        if epoch == EPOCHS and HARD_NEGATIVE_COPIES > 0:
            p = clf.predict_proba((x - mean) / std)[:, 1]
            hard = np.nonzero((y == 0) & (p > HARD_NEGATIVE_THRESHOLD))[0]
            log("hard negatives: %d of %d normal windows score above %g" %
                (len(hard), int(np.sum(y == 0)), HARD_NEGATIVE_THRESHOLD))
        idx = epoch_indexes(y, hard, rng)
        xe = x[idx]
        if ROTATION_DEGREES > 0:
            xe = rotate_windows(xe, rng, ROTATION_DEGREES)
        # Two target columns (normal, down) make sklearn's MLP a multi-label
        # model: one logistic output per column, trained with log-loss on
        # each, which is the model's output layer exactly.
        targets = np.stack([1 - y[idx], y[idx]], axis=1)
        clf.partial_fit((xe - mean) / std, targets, classes=[0, 1])
        log("epoch %d: %d windows, loss %.4f, %.0f s" % (epoch + 1, len(idx), clf.loss_,
                                                          time.time() - t0))
    return clf


def fold_weights(clf, mean, std):
    """The network on raw inputs: the scaling (x - mean) / std moves into the
    first layer, W1' = W1 / std and b1' = b1 - W1' . mean. Weights become
    [units, inputs], float32."""
    w1 = clf.coefs_[0].T / std[None, :]
    b1 = clf.intercepts_[0] - w1 @ mean
    w2, b2 = clf.coefs_[1].T, clf.intercepts_[1]
    w3, b3 = clf.coefs_[2].T, clf.intercepts_[2]
    return tuple(np.asarray(a, dtype=np.float32) for a in (w1, b1, w2, b2, w3, b3))


def window_report(recordings, weights):
    """Per-window figures of the written model on the given recordings."""
    x, y = build_set(recordings)
    p = tflite_writer.forward(weights, x)[:, 1]
    report = dict(windows=int(len(y)), fall_windows=int(y.sum()))
    for threshold in (0.53, 0.67, 0.8, 0.9):
        report["down_above_%g" % threshold] = dict(
            fall=float(np.mean(p[y == 1] > threshold)) if y.any() else None,
            normal=float(np.mean(p[y == 0] > threshold)))
    return report, x, p


def cross_check_with_runtime(tool, model_path, windows, expected, work_dir):
    """Runs the project's own inference runtime (tools/tflite_run) on the
    written file and returns the largest difference from `expected` (sklearn's
    outputs, [n, 2])."""
    import re
    import subprocess

    inputs = os.path.join(work_dir, "runtime_check_inputs.txt")
    with open(inputs, "w") as f:
        for row in windows:
            f.write(" ".join("%.9g" % v for v in row) + "\n")
    done = subprocess.run([tool, model_path, inputs], capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError("tflite_run failed (%d): %s" % (done.returncode, done.stderr.strip()))
    outputs = {}
    for line in done.stdout.splitlines():
        m = re.match(r"^(\d+) invoke=0((?: \S+ 0x[0-9a-f]{8})+)$", line)
        if m:
            fields = m.group(2).split()
            outputs[int(m.group(1))] = [float(v) for v in fields[0::2]]
    got = np.array([outputs.get(i + 1, [np.nan, np.nan]) for i in range(len(windows))])
    return float(np.max(np.abs(got - expected)))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--kfall", required=True, help="unpacked KFall root")
    parser.add_argument("--dump-tool", required=True, help="path of the dump_windows program")
    parser.add_argument("--work", required=True, help="folder for the per-trial dumps")
    parser.add_argument("--out", required=True, help="model file to write")
    parser.add_argument("--report", help="write the validation figures here (JSON)")
    parser.add_argument("--tflite-run", help="tools/tflite_run, to check the written file on "
                        "the project's inference runtime")
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args(argv)

    def log(msg):
        print("train_fall_model: " + msg, flush=True)

    if not os.access(args.dump_tool, os.X_OK):
        raise kfall_data.DataError("%s: dump_windows not found or not executable" %
                                   args.dump_tool)
    present = set(kfall_data.list_subjects(args.kfall))
    missing = [s for s in TRAIN_SUBJECTS + VALIDATION_SUBJECTS if s not in present]
    if missing:
        raise kfall_data.DataError("%s: subjects missing: %s" % (args.kfall, " ".join(missing)))

    log("dumping and loading %d training and %d validation subjects" %
        (len(TRAIN_SUBJECTS), len(VALIDATION_SUBJECTS)))
    train_recs = kfall_data.load_recordings(args.kfall, args.dump_tool, args.work,
                                            TRAIN_SUBJECTS, jobs=args.jobs, log=log)
    val_recs = kfall_data.load_recordings(args.kfall, args.dump_tool, args.work,
                                          VALIDATION_SUBJECTS, jobs=args.jobs, log=log)

    rng = np.random.default_rng(SEED)
    x, y = build_set(train_recs)
    log("training windows: %d (%d fall)" % (len(y), int(y.sum())))
    mean, std = channel_scaling(x)
    clf = train(x, y, mean, std, rng, log)
    weights = fold_weights(clf, mean, std)

    data = tflite_writer.write_fall_model(args.out, *weights)
    log("wrote %s (%d bytes)" % (args.out, len(data)))

    # The file read back must compute what sklearn computes (float32 against
    # float64, so up to rounding).
    written = tflite_writer.fall_model_weights(tflite_writer.read_model(data))
    report, xv, p = window_report(val_recs, written)
    p_sklearn = clf.predict_proba((xv - mean) / std)[:, 1]
    report["max_abs_diff_vs_sklearn"] = float(np.max(np.abs(p - p_sklearn)))
    if args.tflite_run:
        # Every 100th validation window, through the runtime the detector uses.
        sample = slice(0, None, 100)
        report["runtime_windows_checked"] = int(len(xv[sample]))
        report["runtime_max_abs_diff_vs_sklearn"] = cross_check_with_runtime(
            args.tflite_run, args.out, xv[sample],
            clf.predict_proba((xv[sample] - mean) / std), args.work)
    report["train_subjects"] = TRAIN_SUBJECTS
    report["validation_subjects"] = VALIDATION_SUBJECTS
    report["model_bytes"] = len(data)
    log("validation windows: " + json.dumps(report))
    if max(report["max_abs_diff_vs_sklearn"],
           report.get("runtime_max_abs_diff_vs_sklearn", 0.0)) > 1e-4:
        raise RuntimeError("the written model does not reproduce sklearn's outputs")
    if args.report:
        with open(args.report, "w") as f:
            json.dump(report, f, indent=2)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except kfall_data.DataError as e:
        print("train_fall_model: %s" % e, file=sys.stderr)
        sys.exit(1)
