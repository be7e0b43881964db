"""The training objective of the fall model, shaped by what the decision
rules do with its down score (PyTorch).

Everything is in logits: z is the down unit's value before its logistic
function, and a window's margin is how far z lies above the lowest logit
threshold at which some mode would fire there (rule_windows says which
modes can): z - logit(threshold) for the one-sample modes, the smaller of
two consecutive logits against logit(0.8) for mode 2, the smallest of eight
against logit(0.9) for mode 7. A recording fires as soon as one window's
margin is positive. So:

- a daily activity (and a fall before its onset, where a detection is
  "early") is penalised by the highest margin of its windows, a soft
  maximum, pushed below -margin_bad;
- a fall is rewarded by the highest margin over its in-time windows (onset
  to five samples before impact), each lowered by lead_slope per sample
  after onset so that earlier windows count for more, pushed above
  margin_good; and once more, with early_weight, by the highest margin
  over the windows at least lead_target samples before impact, since a
  reward that the late, easy windows already earn stops asking for an
  early detection;
- a per-window cross-entropy on the plain down target keeps every score
  meaningful where no mode can use it yet.
"""

import math
import warnings

import torch
import torch.nn.functional as F

# scatter_reduce is marked beta in PyTorch 1.13; its behaviour here (a
# maximum per segment) is plain and tested.
warnings.filterwarnings("ignore", message="scatter_reduce", category=UserWarning)

BIG = 1.0e4  # a margin so low that no window with it can matter


def logit(p):
    return math.log(p / (1.0 - p))


def segment_soft_max(values, segment, count, temperature):
    """Per segment, temperature * log(sum(exp(v / temperature))): a smooth
    maximum of the segment's values (-BIG for an empty segment)."""
    scaled = values / temperature
    peak = torch.full((count,), -BIG, dtype=values.dtype).scatter_reduce(
        0, segment, scaled.detach(), reduce="amax", include_self=True)
    total = torch.zeros(count, dtype=values.dtype).index_add(0, segment, torch.exp(scaled - peak[segment]))
    empty = total == 0
    out = temperature * (peak + torch.log(torch.where(empty, torch.ones_like(total), total)))
    return torch.where(empty, torch.full_like(out, -BIG), out)


def window_margins(z, single_threshold_logit, mode2_pair, mode7_run, mode7_length):
    """The margin of every window of a batch of whole recordings laid end to
    end in sample order (the masks keep runs inside a recording)."""
    single = z - single_threshold_logit
    previous = torch.roll(z, 1)
    mode2 = torch.where(mode2_pair, torch.minimum(z, previous) - logit(0.8), torch.full_like(z, -BIG))
    run = torch.stack([torch.roll(z, k) for k in range(mode7_length)]).amin(dim=0)
    mode7 = torch.where(mode7_run, run - logit(0.9), torch.full_like(z, -BIG))
    return torch.maximum(single, torch.maximum(mode2, mode7))


def rule_loss(z, batch, settings):
    """The objective of one batch. `batch` holds, per window: segment
    (recording number within the batch), role code (0 none, 1 bad, 2 good,
    3 any), frames after onset (for good windows), the rule tensors and the
    plain target (-1 not trained on); and `recordings`, their count.
    Returns (loss, parts) with the parts as floats for progress lines."""
    n = batch["recordings"]
    margin = window_margins(z, batch["single_threshold_logit"], batch["mode2_pair"], batch["mode7_run"],
                            batch["mode7_length"])
    segment = batch["segment"]
    role = batch["role"]
    low = torch.full_like(margin, -BIG)

    bad = segment_soft_max(torch.where(role == 1, margin, low), segment, n, settings.temperature)
    has_bad = bad > -BIG / 2
    bad_loss = F.softplus(bad[has_bad] + settings.margin_bad).sum()

    timed = margin - settings.lead_slope * batch["after_onset"].to(margin.dtype)
    good = segment_soft_max(torch.where(role == 2, timed, low), segment, n, settings.temperature)
    any_ = segment_soft_max(torch.where(role == 3, margin, low), segment, n, settings.temperature)
    reward = torch.maximum(good, any_)
    wanted = reward > -BIG / 2
    good_loss = F.softplus(settings.margin_good - reward[wanted]).sum()
    if settings.early_weight > 0:
        early_windows = (role == 2) & (batch["before_impact"] >= settings.lead_target)
        early = segment_soft_max(torch.where(early_windows, timed, low), segment, n, settings.temperature)
        has_early = early > -BIG / 2
        good_loss = good_loss + settings.early_weight * F.softplus(settings.margin_good - early[has_early]).sum()

    target = batch["target"]
    trained = target >= 0
    weight = torch.where(target == 1, settings.fall_window_weight, 1.0)[trained]
    bce = (F.binary_cross_entropy_with_logits(z[trained], target[trained].to(z.dtype), reduction="none")
           * weight).sum() / max(1.0, float(weight.sum()))

    loss = (settings.bad_weight * bad_loss + settings.good_weight * good_loss) / max(1, n) + \
        settings.bce_weight * bce
    return loss, dict(bad=float(bad_loss) / max(1, int(has_bad.sum())),
                      good=float(good_loss) / max(1, int(wanted.sum())), bce=float(bce))


def distillation_loss(z, z_teacher, temperature):
    """The mean, over windows, of the divergence between the teacher's down
    probability and the network's, both softened by `temperature` (logits
    divided by it), times temperature squared so that its gradients keep
    their size whatever the temperature. Zero where the two agree."""
    p_teacher = torch.sigmoid(z_teacher / temperature)
    cross = F.binary_cross_entropy_with_logits(z / temperature, p_teacher, reduction="none")
    own = F.binary_cross_entropy_with_logits(z_teacher / temperature, p_teacher, reduction="none")
    return (cross - own).mean() * temperature * temperature
