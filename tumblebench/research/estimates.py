"""Uncertainty of the figures a run gives: Wilson score intervals for a
proportion, a subject-level bootstrap interval, and McNemar's exact test on
paired per-recording outcomes of two runs."""

import math

import numpy as np

# The two-sided 95 % quantile of the standard normal distribution.
Z_95 = 1.959963984540054

BOOTSTRAP_RESAMPLES = 2000
BOOTSTRAP_SEED = 1
# Below this many subjects a subject-level bootstrap mostly redraws the few
# subjects there are (four at 100 % give 100-100 %): the summaries give no
# such interval and say why.
MIN_BOOTSTRAP_SUBJECTS = 8


def wilson_interval(successes, trials, z=Z_95):
    """(low, high) of the Wilson score interval of successes / trials, as
    fractions; None when there are no trials. Unlike the normal
    approximation it stays inside [0, 1] and is not empty at 0 % or 100 %."""
    if trials <= 0:
        return None
    p = successes / trials
    z2 = z * z
    denominator = 1.0 + z2 / trials
    centre = (p + z2 / (2 * trials)) / denominator
    half = z / denominator * math.sqrt(p * (1.0 - p) / trials + z2 / (4.0 * trials * trials))
    # The interval always holds p; at 0 % and 100 % rounding could put the
    # near bound a hair beyond it.
    return max(0.0, min(p, centre - half)), min(1.0, max(p, centre + half))


def bootstrap_interval(groups, resamples=BOOTSTRAP_RESAMPLES, seed=BOOTSTRAP_SEED, level=0.95):
    """Percentile interval of a pooled proportion when whole groups (subjects)
    are resampled with replacement, so that recordings of one subject, which
    are not independent, move together.

    groups: (successes, trials) per group, in a fixed order (the result
    depends on the order and the seed, and on nothing else). Returns (low,
    high) as fractions, or None with fewer than two groups or no trials.
    Resamples that draw no trial at all are left out."""
    counts = np.asarray([g for g in groups], dtype=np.float64).reshape(-1, 2)
    if len(counts) < 2 or counts[:, 1].sum() <= 0:
        return None
    rng = np.random.default_rng(seed)
    drawn = rng.integers(0, len(counts), size=(resamples, len(counts)))
    successes = counts[drawn, 0].sum(axis=1)
    trials = counts[drawn, 1].sum(axis=1)
    valid = trials > 0
    rates = successes[valid] / trials[valid]
    if len(rates) == 0:
        return None
    tail = (1.0 - level) / 2 * 100
    low, high = np.percentile(rates, [tail, 100 - tail])
    return float(low), float(high)


def mcnemar_exact(only_first, only_second):
    """Two-sided p-value of McNemar's exact test: of the pairs on which the
    two runs disagree, `only_first` are right in the first run only and
    `only_second` in the second only. Under the hypothesis that both runs
    are equally good, each disagreement goes either way with probability
    1/2, so the smaller count is binomial(n, 1/2); the p-value doubles its
    tail, capped at 1. Computed with whole numbers, exact for any n."""
    n = only_first + only_second
    if n == 0:
        return 1.0
    k = min(only_first, only_second)
    tail = sum(math.comb(n, i) for i in range(k + 1))
    # 2 * tail / 2**n, as an exact fraction before the one rounding.
    numerator, denominator = 2 * tail, 1 << n
    return 1.0 if numerator >= denominator else numerator / denominator
