"""Fits the fall network (150 -> 32 ReLU -> 32 ReLU -> down logit) on a
WindowSet with the rule-shaped objective of rule_loss, in PyTorch, and
hands back the weights in the model file's layout.

Deterministic: one thread, deterministic algorithms, every random draw from
generators seeded by Settings.seed; the same windows and settings give the
same weights, bit for bit.
"""

import dataclasses
import math
import time

import numpy as np

from ..interpreter import require

require("torch")

import torch  # noqa: E402

from . import rule_loss, rule_windows  # noqa: E402

HIDDEN = 32
INPUTS = rule_windows.WINDOW * rule_windows.CHANNELS
ACC_UNITS_PER_G = 500.0  # the classifier's acceleration inputs are g x 500


@dataclasses.dataclass(frozen=True)
class Settings:
    epochs: int = 40
    batch_recordings: int = 32
    learning_rate: float = 1e-3
    weight_decay: float = 1e-4
    # Sensor-frame rotation per recording: random axis, angle of this normal
    # spread (degrees), alike for acceleration and angular rate.
    rotation_degrees: float = 20.0
    # How the box sits on a belt, per recording on top of that: a turn about
    # the sensor's vertical (KFall's y, where gravity lies upright), uniform
    # within +-yaw_degrees, and a tilt about a random horizontal axis of
    # normal spread tilt_degrees. 0: none.
    yaw_degrees: float = 0.0
    tilt_degrees: float = 0.0
    # Gain of the acceleration channels per recording: normal spread around 1.
    gain_spread: float = 0.0
    # Time stretch per recording: normal spread of the factor around 1 (a
    # window then covers that many times 25 samples, see WindowSet.windows).
    stretch_spread: float = 0.0
    # Objective (see rule_loss).
    bce_weight: float = 1.0
    fall_window_weight: float = 1.0
    bad_weight: float = 1.0
    good_weight: float = 1.0
    margin_bad: float = 1.0
    margin_good: float = 1.0
    lead_slope: float = 0.05
    # Extra reward for a confident window this many samples before impact
    # or more (see rule_loss); 0 leaves it out.
    early_weight: float = 0.0
    lead_target: int = 18
    temperature: float = 0.5
    # A recording with more evaluated windows than this (long walks and
    # jogs) contributes a fresh random run of this many per epoch.
    window_cap: int = 1000
    # Epochs with the cross-entropy alone before the rule terms join in.
    warmup_epochs: int = 5
    # Constant sensor offsets per recording, normal spreads: acceleration in
    # g on each axis, angular rate in deg/s on each axis (a sensor's bias
    # differs from unit to unit).
    acc_offset_g: float = 0.0
    gyro_offset_dps: float = 0.0
    # Gaussian noise on every standardised input value, this standard
    # deviation (0: none).
    input_noise: float = 0.0
    # Weight averaging: after the one-cycle epochs, this many more at the
    # constant rate swa_learning_rate, the weights averaged over
    # swa_snapshots evenly spaced moments of each; the average is the result.
    swa_epochs: int = 0
    swa_learning_rate: float = 5e-4
    swa_snapshots: int = 4
    # Distillation: a larger teacher (two hidden layers of teacher_hidden
    # units over the last teacher_window samples) is fitted first with the
    # same objective on the same recordings; the network then also learns
    # its down scores on every evaluated window (rule_loss.distillation_loss
    # at distil_temperature, weighed distil_weight). teacher_hidden 0: no
    # teacher.
    teacher_hidden: int = 0
    teacher_window: int = 50
    distil_weight: float = 1.0
    distil_temperature: float = 2.0
    seed: int = 20240607
    # Added to the down unit's bias (and taken from the normal unit's) after
    # the fit: moves every score by the same amount in logits.
    output_offset: float = 0.0

    def describe(self):
        return ", ".join("%s %s" % (f.name, getattr(self, f.name)) for f in dataclasses.fields(self))


class Net(torch.nn.Module):
    """The file's network by default; the teacher is the same shape, wider
    and over more samples."""

    def __init__(self, inputs=INPUTS, hidden=HIDDEN):
        super().__init__()
        self.l1 = torch.nn.Linear(inputs, hidden)
        self.l2 = torch.nn.Linear(hidden, hidden)
        self.l3 = torch.nn.Linear(hidden, 1)

    def forward(self, x):
        return self.l3(torch.relu(self.l2(torch.relu(self.l1(x))))).squeeze(-1)


def channel_scaling(ws, index, length=rule_windows.WINDOW):
    """Mean and standard deviation per channel over the given windows' 25
    samples, expanded to the 150 inputs (float64); with `length`, to that
    many samples' inputs (the statistics stay those of the 25)."""
    rows = np.unique((ws.position[index][:, None] + np.arange(-(rule_windows.WINDOW - 1), 1)[None, :]).ravel())
    x = ws.channels[rows].astype(np.float64)
    mean, std = x.mean(axis=0), x.std(axis=0)
    std[std == 0] = 1.0
    return np.tile(mean, length), np.tile(std, length)


VERTICAL_AXIS = 1   # KFall's y: gravity lies on it when the wearer stands


def rotations(rng, count, degrees):
    """count rotations about random axes by angles of normal spread `degrees`."""
    axis = rng.normal(size=(count, 3))
    axis /= np.linalg.norm(axis, axis=1, keepdims=True)
    return axis_rotations(axis, np.radians(rng.normal(scale=degrees, size=count)))


def placement_rotations(rng, count, yaw_degrees, tilt_degrees):
    """count ways a box can sit on a belt: a turn about the vertical, uniform
    within +-yaw_degrees, then a tilt about a random horizontal axis by an
    angle of normal spread tilt_degrees."""
    vertical = np.zeros((count, 3))
    vertical[:, VERTICAL_AXIS] = 1.0
    turn = axis_rotations(vertical, np.radians(rng.uniform(-yaw_degrees, yaw_degrees, size=count)))
    heading = rng.uniform(0.0, 2.0 * np.pi, size=count)
    horizontal = np.zeros((count, 3))
    horizontal[:, (VERTICAL_AXIS + 1) % 3] = np.cos(heading)
    horizontal[:, (VERTICAL_AXIS + 2) % 3] = np.sin(heading)
    tilt = axis_rotations(horizontal, np.radians(rng.normal(scale=tilt_degrees, size=count)))
    return tilt @ turn


def axis_rotations(axis, angle):
    """Rodrigues' formula for unit axes (count, 3) and angles in radians."""
    count = len(axis)
    k = np.zeros((count, 3, 3))
    k[:, 0, 1], k[:, 0, 2], k[:, 1, 2] = -axis[:, 2], axis[:, 1], -axis[:, 0]
    k[:, 1, 0], k[:, 2, 0], k[:, 2, 1] = axis[:, 2], -axis[:, 1], axis[:, 0]
    s, c = np.sin(angle)[:, None, None], np.cos(angle)[:, None, None]
    return np.eye(3)[None] + s * k + (1 - c) * (k @ k)


def augment(x, per_window_recording, rng, settings, recordings):
    """Turns every recording's windows by the recording's own rotation,
    scales its acceleration by its own gain and adds its own sensor offsets
    (x: float32 tensor [n, samples x 6])."""
    offsets = settings.acc_offset_g > 0 or settings.gyro_offset_dps > 0
    placed = settings.yaw_degrees > 0 or settings.tilt_degrees > 0
    if settings.rotation_degrees <= 0 and not placed and settings.gain_spread <= 0 and not offsets:
        return x
    w = x.reshape(len(x), -1, 2, 3)
    per = torch.from_numpy(per_window_recording)
    if settings.rotation_degrees > 0 or placed:
        turn = np.broadcast_to(np.eye(3), (recordings, 3, 3))
        if settings.rotation_degrees > 0:
            turn = rotations(rng, recordings, settings.rotation_degrees)
        if placed:
            turn = placement_rotations(rng, recordings, settings.yaw_degrees, settings.tilt_degrees) @ turn
        r = torch.from_numpy(np.ascontiguousarray(turn, dtype=np.float32))
        w = torch.matmul(w, r.transpose(1, 2)[per][:, None])
    if settings.gain_spread > 0:
        gain = torch.from_numpy((1.0 + rng.normal(scale=settings.gain_spread, size=recordings)).astype(np.float32))
        w = torch.cat([w[:, :, :1, :] * gain[per][:, None, None, None], w[:, :, 1:, :]], dim=2)
    if offsets:
        spread = np.array([settings.acc_offset_g * ACC_UNITS_PER_G, settings.gyro_offset_dps])
        offset = rng.normal(size=(recordings, 2, 3)) * spread[None, :, None]
        w = w + torch.from_numpy(offset.astype(np.float32))[per][:, None]
    return w.reshape(len(x), -1)


class BatchMaker:
    """Whole recordings, laid end to end, with the tensors rule_loss needs."""

    ROLE_CODE = {"none": 0, "bad": 1, "good": 2, "any": 3}

    def __init__(self, ws):
        self.ws = ws
        thr = ws.single_threshold.astype(np.float64)
        some = thr < 1.0
        safe = np.where(some, thr, 0.5)
        self.single_logit = np.where(some, np.log(safe / (1.0 - safe)), rule_loss.BIG).astype(np.float32)
        roles = ws.window_roles()
        self.role = np.zeros(len(roles), dtype=np.int64)
        for name, code in self.ROLE_CODE.items():
            self.role[roles == name] = code
        self.after_onset = np.maximum(0, ws.frame - ws.onset[ws.recording])
        self.before_impact = ws.impact[ws.recording] - ws.frame
        self.target = ws.down_targets()

    def slices(self, recordings, rng, cap):
        """(first, end) window numbers per recording; a recording with more
        than `cap` windows contributes a random run of `cap` of them."""
        first, end = self.ws.first[recordings], self.ws.end[recordings]
        over = np.maximum(0, end - first - cap)
        if cap > 0 and over.any():
            shift = np.floor(rng.random(len(recordings)) * (over + 1)).astype(np.int64)
            first = first + shift
            end = np.minimum(end, first + cap)
        return first, end

    def batch(self, first, end):
        """The windows of the given slices laid end to end, and the tensors
        rule_loss needs; the runs of modes 2 and 7 restart at each slice."""
        lengths = end - first
        index = np.concatenate([np.arange(a, b) for a, b in zip(first, end)])
        segment = np.repeat(np.arange(len(first)), lengths)
        offset = np.arange(len(index)) - np.repeat(np.cumsum(lengths) - lengths, lengths)
        return index, segment, dict(
            recordings=len(first), segment=torch.from_numpy(segment),
            role=torch.from_numpy(self.role[index]),
            after_onset=torch.from_numpy(self.after_onset[index]),
            before_impact=torch.from_numpy(self.before_impact[index]),
            single_threshold_logit=torch.from_numpy(self.single_logit[index]),
            mode2_pair=torch.from_numpy(self.ws.mode2_pair[index] & (offset >= 1)),
            mode7_run=torch.from_numpy(self.ws.mode7_run[index] & (offset >= rule_windows.MODE7_RUN - 1)),
            mode7_length=rule_windows.MODE7_RUN,
            target=torch.from_numpy(self.target[index].astype(np.int64)))


def deterministic():
    torch.set_num_threads(1)
    torch.use_deterministic_algorithms(True)


class Teacher:
    """A fitted teacher: its network, its input scaling and its window."""

    def __init__(self, net, mean, std, length):
        self.net, self.length = net, length
        self.mean = torch.from_numpy(mean.astype(np.float32))
        self.std = torch.from_numpy(std.astype(np.float32))

    def logits(self, x):
        with torch.no_grad():
            return self.net((x - self.mean) / self.std)


_teachers = {}  # (teacher settings, training recordings, window set) -> Teacher


def teacher_settings(settings):
    """The teacher's training: the student's, without a teacher of its own
    and without the output offset."""
    defaults = Settings()
    return dataclasses.replace(settings, teacher_hidden=0, output_offset=0.0, distil_weight=defaults.distil_weight,
                               distil_temperature=defaults.distil_temperature)


def fit_teacher(ws, train_recordings, settings, log, label):
    """The teacher of `settings` fitted on the given recordings (fitted once
    per set of recordings, then reused by every student that shares it)."""
    key = (teacher_settings(settings), settings.teacher_hidden, settings.teacher_window,
           np.asarray(train_recordings).tobytes(), id(ws))
    if key not in _teachers:
        net, mean, std = train(ws, train_recordings, teacher_settings(settings), log, label + "teacher ",
                               length=settings.teacher_window, hidden=settings.teacher_hidden)
        _teachers.clear()
        _teachers[key] = Teacher(net, mean, std, settings.teacher_window)
    return _teachers[key]


def fit(ws, train_recordings, settings, log=lambda msg: None, label=""):
    """Trains on the windows of `train_recordings` (recording numbers of
    ws); returns the weights (w1, b1, w2, b2, w3, b3) on raw inputs, float32,
    with the two output units (normal, down) = (1 - down, down)."""
    deterministic()
    train_recordings = np.asarray([r for r in train_recordings if ws.end[r] > ws.first[r]], dtype=np.int64)
    teacher = fit_teacher(ws, train_recordings, settings, log, label) if settings.teacher_hidden > 0 else None
    net, mean, std = train(ws, train_recordings, settings, log, label, teacher=teacher)
    return export_weights(net, mean, std)


def train(ws, train_recordings, settings, log, label, length=rule_windows.WINDOW, hidden=HIDDEN, teacher=None):
    """The training loop: a network of `hidden` units over the last `length`
    samples, fitted with the rule-shaped objective (and the teacher's scores
    when one is given). Returns (net, input mean, input std)."""
    torch.manual_seed(settings.seed)
    rng = np.random.default_rng(settings.seed)
    maker = BatchMaker(ws)
    all_index = np.concatenate([np.arange(ws.first[r], ws.end[r]) for r in train_recordings])
    mean, std = channel_scaling(ws, all_index, length)
    mean_t = torch.from_numpy(mean.astype(np.float32))
    std_t = torch.from_numpy(std.astype(np.float32))
    read_length = max(length, teacher.length) if teacher is not None else length
    if read_length != rule_windows.WINDOW and settings.stretch_spread > 0:
        raise ValueError("time stretch works on the classifier's window only")

    net = Net(length * rule_windows.CHANNELS, hidden)
    optimiser = torch.optim.Adam(net.parameters(), lr=settings.learning_rate, weight_decay=settings.weight_decay)
    steps_per_epoch = math.ceil(len(train_recordings) / settings.batch_recordings)
    schedule = torch.optim.lr_scheduler.OneCycleLR(optimiser, max_lr=settings.learning_rate,
                                                   total_steps=settings.epochs * steps_per_epoch,
                                                   pct_start=0.15, anneal_strategy="cos")
    snapshot_steps = set(np.ceil(np.linspace(0, steps_per_epoch, max(1, settings.swa_snapshots) + 1)[1:]).astype(int) - 1)
    average, snapshots = None, 0
    t0 = time.time()
    for epoch in range(settings.epochs + settings.swa_epochs):
        rule_on = epoch >= settings.warmup_epochs
        averaging = epoch >= settings.epochs
        if averaging:
            for group in optimiser.param_groups:
                group["lr"] = settings.swa_learning_rate
        order = rng.permutation(train_recordings)
        totals = dict(loss=0.0, bad=0.0, good=0.0, bce=0.0, distil=0.0)
        for step in range(steps_per_epoch):
            recs = order[step * settings.batch_recordings:(step + 1) * settings.batch_recordings]
            index, per_window, batch = maker.batch(*maker.slices(recs, rng, settings.window_cap))
            stretch = None
            if settings.stretch_spread > 0:
                factor = np.clip(1.0 + rng.normal(scale=settings.stretch_spread, size=len(recs)), 0.7, 1.3)
                stretch = factor[per_window]
            read = augment(torch.from_numpy(ws.windows(index, stretch, length=read_length)), per_window, rng,
                           settings, len(recs))
            x = read[:, (read_length - length) * rule_windows.CHANNELS:]
            scaled = (x - mean_t) / std_t
            if settings.input_noise > 0:
                scaled = scaled + settings.input_noise * torch.randn_like(scaled)
            z = net(scaled)
            used = settings if rule_on else dataclasses.replace(settings, bad_weight=0.0, good_weight=0.0)
            loss, parts = rule_loss.rule_loss(z, batch, used)
            if teacher is not None:
                x_teacher = read[:, (read_length - teacher.length) * rule_windows.CHANNELS:]
                distil = rule_loss.distillation_loss(z, teacher.logits(x_teacher), settings.distil_temperature)
                loss = loss + settings.distil_weight * distil
                totals["distil"] += float(distil)
            optimiser.zero_grad()
            loss.backward()
            optimiser.step()
            if not averaging:
                schedule.step()
            elif step in snapshot_steps:
                current = [p.detach().clone() for p in net.parameters()]
                average = current if average is None else [a + (c - a) / (snapshots + 1)
                                                            for a, c in zip(average, current)]
                snapshots += 1
            totals["loss"] += float(loss)
            for k in ("bad", "good", "bce"):
                totals[k] += parts[k]
        log("%sepoch %d/%d%s: loss %.4f (bad %.3f, good %.3f, bce %.4f%s), %.0f s" % (
            label, epoch + 1, settings.epochs + settings.swa_epochs, " (averaged)" if averaging else "",
            totals["loss"] / steps_per_epoch, totals["bad"] / steps_per_epoch,
            totals["good"] / steps_per_epoch, totals["bce"] / steps_per_epoch,
            ", distil %.4f" % (totals["distil"] / steps_per_epoch) if teacher is not None else "",
            time.time() - t0))
    if average is not None:
        with torch.no_grad():
            for p, a in zip(net.parameters(), average):
                p.copy_(a)
        log("%sweights averaged over %d moments of the last %d epochs" % (label, snapshots, settings.swa_epochs))
    return net, mean, std


def with_offset(weights, offset):
    """The exported weights with the down logit moved by `offset` (and the
    normal logit by -offset, so that normal stays 1 - down)."""
    w = list(weights)
    w[5] = (w[5].astype(np.float64) + np.array([-offset, offset])).astype(np.float32)
    return tuple(w)


def export_weights(net, mean, std):
    """The network on raw inputs in the file's layout: the scaling moves into
    the first layer (W1' = W1 / std, b1' = b1 - W1' . mean), and the normal
    unit is the down unit negated, so that normal = 1 - down."""
    w1 = net.l1.weight.detach().double().numpy() / std[None, :]
    b1 = net.l1.bias.detach().double().numpy() - w1 @ mean
    w2, b2 = net.l2.weight.detach().double().numpy(), net.l2.bias.detach().double().numpy()
    w_down, b_down = net.l3.weight.detach().double().numpy(), net.l3.bias.detach().double().numpy()
    w3 = np.concatenate([-w_down, w_down])
    b3 = np.concatenate([-b_down, b_down])
    return tuple(np.asarray(a, dtype=np.float32) for a in (w1, b1, w2, b2, w3, b3))
