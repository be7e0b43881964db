"""The measurements behind fallalld.DEVICE_TO_KFALL and GYRO_HANDEDNESS.

  /usr/bin/python3 -m tumblebench.datasets.fallalld_axes FALLALLD KFALL_SENSOR_DATA

FALLALLD is what fallalld2kfall reads (the download or the packed copy);
KFALL_SENSOR_DATA is KFall's unpacked sensor_data/ folder. Prints, as the
tables of docs/fallalld.md:

1. how the gyroscope turns: over every fall that changes the posture, the
   angle between the posture the accelerometer shows after the fall and the
   one the angular rate carries the posture before it to, with the rate as
   recorded and negated (KFall's sensor alongside);
2. the proper quarter-turn rotations of the box's axes ranked by how far
   gravity then lies from KFall's, standing and lying after forward,
   backward and lateral falls;
3. per wearer, under the chosen mapping, where gravity lies standing and
   lying, and how the box sits on the belt (tilt, turn about the vertical).

Progress goes to standard error.
"""

import argparse
import collections
import itertools
import math
import os
import sys
import tempfile

import numpy as np

from .. import kfall
from . import fallalld

KFALL_RATE_PER_S = kfall.RECORDING_RATE_PER_S
KFALL_STAND_TASK = 1
DIRECTIONS = ("forward", "backward", "lateral")

# Trials whose first second is standing still: starting to walk, to climb or
# descend stairs, to jog, the lift, and the faints from standing.
STANDING_START = ("A019", "A029", "A032", "A037", "A038", "A039", "A040", "A043",
                  "A132", "A133", "A134", "A135")
STANDING_S = 1.0
LYING_S = 1.5            # the end of a fall recording without recovery
QUIET_RATE_DPS = 10.0    # mean angular rate of a still posture
QUIET_TOLERANCE_G = 0.1  # |mean acceleration| within this of 1 g
# The rate is integrated from before the largest acceleration to after it;
# the posture on either side is the mean acceleration of POSTURE_S.
BEFORE_PEAK_S, AFTER_PEAK_S, POSTURE_S = 1.5, 2.5, 0.5
MIN_POSTURE_CHANGE_DEG = 45.0


def rotation_from_rate(rate_dps, rate_per_s):
    """The attitude change a right-handed angular rate (n, 3) integrates to:
    the matrix C with v_start = C v_end for a vector fixed in the world and
    seen in the body's axes at the start and at the end."""
    attitude = np.eye(3)
    for step in np.radians(np.asarray(rate_dps, dtype=np.float64)) / rate_per_s:
        angle = np.linalg.norm(step)
        if angle == 0.0:
            continue
        k = step / angle
        cross = np.array([[0, -k[2], k[1]], [k[2], 0, -k[0]], [-k[1], k[0], 0]])
        attitude = attitude @ (np.eye(3) + math.sin(angle) * cross + (1 - math.cos(angle)) * cross @ cross)
    return attitude


def angle_deg(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    cosine = np.sum(a * b, axis=-1) / (np.linalg.norm(a, axis=-1) * np.linalg.norm(b, axis=-1))
    return np.degrees(np.arccos(np.clip(cosine, -1.0, 1.0)))


def fall_rotation_check(acc_g, rate_dps, rate_per_s):
    """(posture change, error with the rate as recorded, error negated), in
    degrees, over the window around the largest acceleration."""
    peak = int(np.argmax(np.linalg.norm(acc_g, axis=1)))
    posture = max(1, int(POSTURE_S * rate_per_s))
    start = max(posture, peak - int(BEFORE_PEAK_S * rate_per_s))
    end = min(len(acc_g) - posture, peak + int(AFTER_PEAK_S * rate_per_s))
    before = acc_g[start - posture:start].mean(axis=0)
    after = acc_g[end:end + posture].mean(axis=0)
    errors = [angle_deg(rotation_from_rate(sign * rate_dps[start:end], rate_per_s).T @ before, after)
              for sign in (1, -1)]
    return angle_deg(before, after), errors[0], errors[1]


def quiet_mean(acc_g, rate_dps, part):
    """The mean acceleration over part (a slice) if the body is still there, else None."""
    mean = acc_g[part].mean(axis=0)
    still = (np.linalg.norm(rate_dps[part], axis=1).mean() < QUIET_RATE_DPS
             and abs(np.linalg.norm(mean) - 1.0) < QUIET_TOLERANCE_G)
    return mean if still else None


class Recording:
    def __init__(self, wearer, code, fall, direction, recovery, acc_g, rate_dps, rate_per_s):
        self.wearer, self.code, self.fall = wearer, code, fall
        self.direction, self.recovery = direction, recovery
        self.acc_g, self.rate_dps, self.rate_per_s = acc_g, rate_dps, rate_per_s


def fallalld_recordings(path, scratch):
    """Every waist trial in the box's own axes and units (g, deg/s as recorded)."""
    download = fallalld.Download(path)
    for wearer in download.subjects:
        print("fallalld_axes: FallAllD %s" % wearer, file=sys.stderr, flush=True)
        folder, names = download.subject_files(wearer, scratch)
        try:
            for files in fallalld.find_trials(folder, names, wearer):
                if isinstance(files, fallalld.MalformedFile):
                    raise files
                activity = files.activity
                yield Recording(wearer, activity.code, bool(activity.direction), activity.direction,
                                activity.recovery,
                                fallalld.read_counts(files.acc_path) * fallalld.ACC_G_PER_COUNT,
                                fallalld.read_counts(files.gyro_path) * fallalld.GYRO_DPS_PER_COUNT,
                                fallalld.RATE_PER_S)
        finally:
            download.release(folder)


def kfall_direction(task):
    words = kfall.task_name(task).lower()
    if "(forward)" in words:
        return "forward"
    first = words.split()[0]
    return first if first in DIRECTIONS else None


def kfall_recordings(sensor_data):
    """KFall's standing and fall trials (its falls end lying: no recovery)."""
    for wearer in sorted(os.listdir(sensor_data)):
        folder = os.path.join(sensor_data, wearer)
        if not os.path.isdir(folder):
            continue
        print("fallalld_axes: KFall %s" % wearer, file=sys.stderr, flush=True)
        for file_name in sorted(os.listdir(folder)):
            parts = kfall.trial_file_parts(file_name)
            task = parts[0] if parts else 0
            if task != KFALL_STAND_TASK and not kfall.is_fall(task):
                continue
            data = np.loadtxt(os.path.join(folder, file_name), delimiter=",", skiprows=1,
                              usecols=range(2, 8), ndmin=2)
            yield Recording(wearer, "T%02d" % task, kfall.is_fall(task), kfall_direction(task), False,
                            data[:, :3], data[:, 3:], KFALL_RATE_PER_S)


class Postures:
    """Per wearer: the gravity readings standing and lying after each fall
    direction, and the rotation checks of the falls."""

    def __init__(self):
        self.readings = collections.defaultdict(list)     # (wearer, posture) -> [mean acc]
        self.rotations = collections.defaultdict(list)    # wearer -> [(change, as recorded, negated)]

    def add(self, recording, standing):
        acc, rate, per_s = recording.acc_g, recording.rate_dps, recording.rate_per_s
        if standing:
            part = slice(0, len(acc)) if recording.code == "T%02d" % KFALL_STAND_TASK \
                else slice(0, int(STANDING_S * per_s))
            mean = quiet_mean(acc, rate, part)
            if mean is not None:
                self.readings[(recording.wearer, "standing")].append(mean)
        if not recording.fall:
            return
        check = fall_rotation_check(acc, rate, per_s)
        if check[0] >= MIN_POSTURE_CHANGE_DEG:
            self.rotations[recording.wearer].append(check)
        if recording.direction in DIRECTIONS and not recording.recovery:
            mean = quiet_mean(acc, rate, slice(len(acc) - int(LYING_S * per_s), len(acc)))
            if mean is not None:
                self.readings[(recording.wearer, recording.direction)].append(mean)

    def wearers(self):
        return sorted({w for w, _ in self.readings} | set(self.rotations))


def collect(recordings, standing_codes):
    postures = Postures()
    for recording in recordings:
        postures.add(recording, recording.code in standing_codes)
    return postures


def unit(vectors):
    vectors = np.asarray(vectors, dtype=np.float64)
    return vectors / np.linalg.norm(vectors, axis=-1, keepdims=True)


def median_direction(vectors):
    return unit(np.median(unit(vectors), axis=0))


def proper_quarter_turns():
    """The 24 signed permutation matrices with determinant +1."""
    for order in itertools.permutations(range(3)):
        for signs in itertools.product((1, -1), repeat=3):
            matrix = np.zeros((3, 3), dtype=int)
            for row, (column, sign) in enumerate(zip(order, signs)):
                matrix[row, column] = sign
            if round(np.linalg.det(matrix)) == 1:
                yield matrix


def mapping_name(matrix):
    axes = []
    for row in np.asarray(matrix):
        axes.append(("" if row.sum() > 0 else "-") + "xyz"[int(np.argmax(abs(row)))])
    return "(%s)" % ", ".join(axes)


def reference_directions(kfall_postures):
    """KFall's gravity directions: the median over wearers of each wearer's
    median, standing and lying after forward and backward falls; lateral falls
    end on +x or -x by the side the wearer fell to, so only the axis counts."""
    reference = {}
    for posture in ("standing", "forward", "backward"):
        per_wearer = [median_direction(v) for (w, p), v in kfall_postures.readings.items() if p == posture]
        if per_wearer:
            reference[posture] = median_direction(per_wearer)
    reference["lateral"] = np.array([1.0, 0.0, 0.0])
    return reference


def posture_error_deg(readings, posture, reference, matrix):
    mapped = unit(readings) @ np.asarray(matrix).T
    error = angle_deg(mapped, reference[posture])
    if posture == "lateral":
        error = np.minimum(error, angle_deg(mapped, -reference[posture]))
    return error


def rank_mappings(fallalld_postures, reference):
    """[(mean of the postures' median errors, matrix, {posture: median error})],
    best first, over the postures both data sets have readings of."""
    ranked = []
    for matrix in proper_quarter_turns():
        medians = {}
        for posture in reference:
            errors = [posture_error_deg(v, posture, reference, matrix)
                      for (w, p), v in fallalld_postures.readings.items() if p == posture]
            if errors:
                medians[posture] = float(np.median(np.concatenate(errors)))
        ranked.append((float(np.mean(list(medians.values()))), matrix, medians))
    return sorted(ranked, key=lambda entry: entry[0])


def tilt_deg(mapped):
    """How far the box's vertical leans from KFall's (gravity on -y)."""
    return angle_deg(mapped, np.array([0.0, -1.0, 0.0]))


def turn_deg(mapped, direction):
    """The box's turn about the vertical from where gravity lies after a fall:
    0 when a forward fall ends on -z, positive from z towards x."""
    sign = -1.0 if direction == "forward" else 1.0
    return np.degrees(np.arctan2(sign * mapped[:, 0], sign * mapped[:, 2]))


def vector_text(v):
    return "(%+.2f, %+.2f, %+.2f)" % tuple(v)


def rotation_table(label, postures):
    lines = ["| %s | falls | posture change | error, rate as recorded | error, rate negated | "
             "negated fits better |" % label, "|---|---|---|---|---|---|"]
    everything = []
    for wearer in sorted(postures.rotations):
        checks = np.array(postures.rotations[wearer])
        everything.append(checks)
        lines.append(_rotation_row(wearer, checks))
    if everything:
        lines.append(_rotation_row("all", np.vstack(everything)))
    return lines


def _rotation_row(label, checks):
    return "| %s | %d | %.0f° | %.1f° | %.1f° | %d |" % (
        label, len(checks), np.median(checks[:, 0]), np.median(checks[:, 1]), np.median(checks[:, 2]),
        int((checks[:, 2] < checks[:, 1]).sum()))


def posture_cells(standing, forward, backward, lateral, matrix):
    """The table's cells for one wearer's readings (lists of mean accelerations, maybe empty)."""
    cells = []
    if standing:
        mapped = unit(standing) @ matrix.T
        tilts = tilt_deg(mapped)
        cells.append("%d, %s, %.2f g, %.0f° (%.0f–%.0f)" % (
            len(mapped), vector_text(median_direction(mapped)),
            np.median(np.linalg.norm(standing, axis=1)), np.median(tilts), tilts.min(), tilts.max()))
    else:
        cells.append("–")
    for direction, lying in (("forward", forward), ("backward", backward)):
        if lying:
            mapped = unit(lying) @ matrix.T
            cells.append("%d, %s, %+.0f°" % (len(mapped), vector_text(median_direction(mapped)),
                                             np.median(turn_deg(mapped, direction))))
        else:
            cells.append("–")
    if lateral:
        cells.append("%d, %.2f" % (len(lateral), np.median(abs((unit(lateral) @ matrix.T)[:, 0]))))
    else:
        cells.append("–")
    return cells


def posture_table(label, postures, matrix, per_wearer=True):
    """Per wearer (or only all wearers' readings pooled) under matrix."""
    lines = ["| %s | standing: n, gravity, its size, tilt (range) | after forward falls: n, gravity, "
             "turn | after backward falls: n, gravity, turn | after lateral falls: n, share on x |" % label,
             "|---|---|---|---|---|"]
    postures_named = ("standing",) + DIRECTIONS
    rows = [(w, [postures.readings.get((w, p), []) for p in postures_named])
            for w in postures.wearers()] if per_wearer else []
    pooled = [[v for (w, q), readings in postures.readings.items() if q == p for v in readings]
              for p in postures_named]
    rows.append(("all %d" % len(postures.wearers()), pooled))
    for name, readings in rows:
        lines.append("| " + " | ".join([name] + posture_cells(*readings, matrix)) + " |")
    return lines


def main(argv=None):
    parser = argparse.ArgumentParser(prog="fallalld_axes", description=__doc__.split("\n\n")[0])
    parser.add_argument("fallalld", help="the download or the packed copy (../shared/fallalld)")
    parser.add_argument("kfall_sensor_data", help="KFall's unpacked sensor_data/ folder")
    parser.add_argument("--scratch", default=None, help="where to unpack a packed copy (default: a "
                        "temporary folder)")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory(prefix="fallalld_axes_", dir=args.scratch) as scratch:
        fallalld_postures = collect(fallalld_recordings(args.fallalld, scratch), STANDING_START)
    kfall_postures = collect(kfall_recordings(args.kfall_sensor_data), ("T%02d" % KFALL_STAND_TASK,))
    reference = reference_directions(kfall_postures)

    out = ["## The gyroscope's sign", ""] + rotation_table("FallAllD", fallalld_postures) + [""]
    out += rotation_table("KFall", kfall_postures) + ["", "## The rotations ranked", "",
                                             "| KFall's x, y, z from the box's | standing | forward | "
                                             "backward | lateral | mean |", "|---|---|---|---|---|---|"]
    ranked = rank_mappings(fallalld_postures, reference)
    for mean, matrix, medians in ranked[:6]:
        out.append("| %s | %s | %.0f° |" % (mapping_name(matrix), " | ".join(
            "%.0f°" % medians[p] if p in medians else "–" for p in ("standing",) + DIRECTIONS), mean))
    out += ["", "KFall's reference: " + ", ".join("%s %s" % (posture, vector_text(gravity))
                                                  for posture, gravity in reference.items()),
            "", "## Postures under %s" % mapping_name(fallalld.DEVICE_TO_KFALL), ""]
    out += posture_table("FallAllD", fallalld_postures, fallalld.DEVICE_TO_KFALL)
    out += [""] + posture_table("KFall", kfall_postures, np.eye(3, dtype=int), per_wearer=False)
    print("\n".join(out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
