#!/usr/bin/python3
"""Trains the Tumblix fall model on KFall recordings and writes it as TFLite.

    train_fall_model.py --kfall UNPACKED_KFALL --dump-tool BUILD/tools/dump_windows \
        --work WORK_DIR --out tumblix/ml/models/fall_model.tflite [--report REPORT.json]

UNPACKED_KFALL holds sensor_data/SAxx/*.csv and label_data/SAxx_label.xlsx
(the layout ../shared/kfall/unpack.sh writes). tools/train/retrain.sh wraps
the whole run, from unpacking to the model file.

Training and validation subjects are disjoint (TRAIN_SUBJECTS and
VALIDATION_SUBJECTS below); nothing about the validation subjects reaches the
fit, the input scaling or the choice of any setting in this file.
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
# Positives are repeated to give them this share of the training windows.
POSITIVE_SHARE = 0.1

# Hard negatives: after a first fit, normal windows of the training subjects
# that still score a down probability above this get this many extra copies,
# and training goes on. A daily-activity recording is lost to a single
# run of confident windows, so these peaks matter more than the average.
HARD_NEGATIVE_THRESHOLD = 0.3
HARD_NEGATIVE_COPIES = 4
HARD_NEGATIVE_EPOCHS = 10

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


def balance(x, y, rng):
    """Repeats the positive windows (whole copies, then a seeded draw for the
    rest) until they make up POSITIVE_SHARE of the set, then shuffles."""
    pos = np.nonzero(y == 1)[0]
    neg = np.nonzero(y == 0)[0]
    wanted = int(round(POSITIVE_SHARE / (1 - POSITIVE_SHARE) * len(neg)))
    copies = max(1, wanted // max(1, len(pos)))
    extra = rng.choice(pos, size=max(0, wanted - copies * len(pos)), replace=False) \
        if wanted > copies * len(pos) else np.empty(0, dtype=np.int64)
    order = np.concatenate([neg, np.tile(pos, copies), extra])
    rng.shuffle(order)
    return x[order], y[order]


def channel_scaling(x):
    """Mean and standard deviation per channel (shared by the 25 time steps),
    expanded to the 150 inputs."""
    per_channel = x.reshape(-1, kfall_data.WINDOW, kfall_data.CHANNELS)
    mean = per_channel.mean(axis=(0, 1), dtype=np.float64)
    std = per_channel.std(axis=(0, 1), dtype=np.float64)
    std[std == 0] = 1.0
    return np.tile(mean, kfall_data.WINDOW), np.tile(std, kfall_data.WINDOW)


def _fit(clf, x, y, mean, std, log):
    import warnings
    from sklearn.exceptions import ConvergenceWarning

    # Two target columns (normal, down) make sklearn's MLP a multi-label
    # model: one logistic output per column, trained with log-loss on each,
    # which is the model's output layer exactly.
    targets = np.stack([1 - y, y], axis=1)
    with warnings.catch_warnings():
        # Training runs a fixed number of epochs on purpose.
        warnings.simplefilter("ignore", ConvergenceWarning)
        t0 = time.time()
        clf.fit((x - mean) / std, targets)
    log("trained %d epochs in %.0f s, loss %.4f" % (clf.max_iter, time.time() - t0, clf.loss_))


def train(x, y, mean, std, rng, log):
    """Fits the network on the training windows x (raw inputs) with down
    targets y, in two stages: the balanced set, then the balanced set with
    the hard negatives repeated."""
    from sklearn.neural_network import MLPClassifier

    clf = MLPClassifier(hidden_layer_sizes=HIDDEN, activation="relu", solver="adam",
                        alpha=L2, batch_size=BATCH, learning_rate_init=LEARNING_RATE,
                        max_iter=EPOCHS, shuffle=True, random_state=SEED, tol=0.0,
                        n_iter_no_change=EPOCHS + HARD_NEGATIVE_EPOCHS + 1,
                        early_stopping=False)
    xb, yb = balance(x, y, rng)
    _fit(clf, xb, yb, mean, std, log)
    if HARD_NEGATIVE_COPIES <= 0 or HARD_NEGATIVE_EPOCHS <= 0:
        return clf
    p = clf.predict_proba((x - mean) / std)[:, 1]
    hard = np.nonzero((y == 0) & (p > HARD_NEGATIVE_THRESHOLD))[0]
    log("hard negatives: %d of %d normal windows score above %g" %
        (len(hard), int(np.sum(y == 0)), HARD_NEGATIVE_THRESHOLD))
    order = rng.permutation(len(yb) + HARD_NEGATIVE_COPIES * len(hard))
    x2 = np.concatenate([xb, np.tile(x[hard], (HARD_NEGATIVE_COPIES, 1))])[order]
    y2 = np.concatenate([yb, np.zeros(HARD_NEGATIVE_COPIES * len(hard), dtype=yb.dtype)])[order]
    # Carry on from the first stage's weights (sklearn starts a fresh optimiser).
    clf.set_params(warm_start=True, max_iter=HARD_NEGATIVE_EPOCHS)
    _fit(clf, x2, y2, mean, std, log)
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


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--kfall", required=True, help="unpacked KFall root")
    parser.add_argument("--dump-tool", required=True, help="path of the dump_windows program")
    parser.add_argument("--work", required=True, help="folder for the per-trial dumps")
    parser.add_argument("--out", required=True, help="model file to write")
    parser.add_argument("--report", help="write the validation figures here (JSON)")
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
    report["train_subjects"] = TRAIN_SUBJECTS
    report["validation_subjects"] = VALIDATION_SUBJECTS
    report["model_bytes"] = len(data)
    log("validation windows: " + json.dumps(report))
    if report["max_abs_diff_vs_sklearn"] > 1e-4:
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
