"""The figures researchers report besides the harness's totals: intervals
for sensitivity and specificity, false alarms per hour of daily activity,
latency from onset and lead time before impact per fall type, and all of it
per subject and per age group.

Falls without a label (onset 0, as in data sets that only say whether a
trial is a fall) are scored "late" by the harness, which has nothing to
time them against. Here they count as detected or missed, with their timing
unknown, and stay out of every timing figure and every share of labelled
falls."""

import statistics
from collections import Counter, OrderedDict
from dataclasses import dataclass, field

from .. import kfall
from . import estimates

DETECTED_UNTIMED = "detected, timing unknown"
MISSED = "missed"


def is_unlabelled_fall(rec):
    # The replay prints timing lines only for an onset above 0: below that
    # the recording has no label.
    return rec.is_fall and rec.onset <= 0


def finding(rec):
    """The outcome as the summary states it: the harness's word, except for
    unlabelled falls."""
    if is_unlabelled_fall(rec):
        return DETECTED_UNTIMED if rec.detected else MISSED
    return rec.outcome


def latency_samples(rec):
    """Samples from the labelled onset to the first detection (negative for
    a detection before onset); None unless a labelled fall was detected."""
    if not rec.is_fall or is_unlabelled_fall(rec) or not rec.detected:
        return None
    return rec.first_frame - rec.onset


def lead_samples(rec):
    """Samples from the first detection to the labelled impact, for a
    labelled fall detected before its impact; None otherwise."""
    if is_unlabelled_fall(rec):
        return None
    return rec.lead_samples if rec.is_fall else None


@dataclass
class Tally:
    """Outcome counts of a set of recordings, and the figures they give."""
    tp: int = 0
    fn: int = 0
    tn: int = 0
    fp: int = 0
    labelled: Counter = field(default_factory=Counter)   # outcomes of the labelled falls
    unlabelled_detected: int = 0
    unlabelled_missed: int = 0
    adl_samples: int = 0
    adl_without_length: int = 0   # ADL recordings whose sample count the log does not give

    def add(self, rec):
        if rec.is_fall:
            if rec.detected:
                self.tp += 1
            else:
                self.fn += 1
            if is_unlabelled_fall(rec):
                if rec.detected:
                    self.unlabelled_detected += 1
                else:
                    self.unlabelled_missed += 1
            else:
                self.labelled[rec.outcome] += 1
        else:
            if rec.detected:
                self.fp += 1
            else:
                self.tn += 1
            if rec.samples is None:
                self.adl_without_length += 1
            else:
                self.adl_samples += rec.samples

    @property
    def falls(self):
        return self.tp + self.fn

    @property
    def labelled_falls(self):
        return sum(self.labelled.values())

    @property
    def good(self):
        return self.labelled["good"]

    @property
    def adl(self):
        return self.tn + self.fp

    @property
    def adl_hours(self):
        return self.adl_samples / kfall.SAMPLES_PER_SECOND / kfall.SECONDS_PER_HOUR

    @property
    def sensitivity(self):
        return self.tp / self.falls if self.falls else None

    @property
    def specificity(self):
        return self.tn / self.adl if self.adl else None

    @property
    def good_share(self):
        """Share of the labelled falls detected in good time."""
        return self.good / self.labelled_falls if self.labelled_falls else None

    @property
    def false_alarms_per_hour(self):
        """False alarms (ADL recordings with a detection) per hour of ADL
        recording; None when no duration is known, or when some ADL
        recording has none (a rate over part of the time would be too high)."""
        if self.adl_without_length or self.adl_samples <= 0:
            return None
        return self.fp / self.adl_hours

    @property
    def sensitivity_interval(self):
        return estimates.wilson_interval(self.tp, self.falls)

    @property
    def specificity_interval(self):
        return estimates.wilson_interval(self.tn, self.adl)


class Scored:
    """What a Tally reads of a recording, for outcomes replayed rather than
    read from a log (the threshold sweep, the training's held-out folds)."""
    __slots__ = ("is_fall", "detected", "onset", "outcome", "samples")

    def __init__(self, is_fall, detected, onset, outcome, samples):
        self.is_fall, self.detected, self.onset, self.outcome, self.samples = (is_fall, detected, onset, outcome,
                                                                                samples)


def tally(recordings):
    t = Tally()
    for rec in recordings:
        t.add(rec)
    return t


@dataclass
class TimingRow:
    """Timing of the labelled falls of one fall type (or of all of them)."""
    label: str
    labelled: int
    detected: int
    late: int
    unlabelled: int
    latency_ms: list
    lead_ms: list


def _timing_row(label, recordings):
    labelled = [r for r in recordings if r.is_fall and not is_unlabelled_fall(r)]
    latency = [latency_samples(r) * kfall.MS_PER_SAMPLE for r in labelled if latency_samples(r) is not None]
    lead = [lead_samples(r) * kfall.MS_PER_SAMPLE for r in labelled if lead_samples(r) is not None]
    return TimingRow(label=label, labelled=len(labelled), detected=sum(r.detected for r in labelled),
                     late=sum(r.outcome == "late" for r in labelled),
                     unlabelled=sum(is_unlabelled_fall(r) for r in recordings), latency_ms=latency, lead_ms=lead)


def quartiles(values):
    """(first quartile, median, third quartile), None for no values."""
    if not values:
        return None
    if len(values) == 1:
        return values[0], values[0], values[0]
    q1, q2, q3 = statistics.quantiles(values, n=4, method="inclusive")
    return q1, q2, q3


@dataclass
class GroupRow:
    label: str
    group: str
    tally: Tally
    name: str = ""      # an activity's name beside its code


@dataclass
class Research:
    overall: Tally
    sensitivity_bootstrap: tuple   # None with fewer than estimates.MIN_BOOTSTRAP_SUBJECTS subjects
    specificity_bootstrap: tuple
    bootstrap_subjects: int
    timing: TimingRow
    timing_by_type: list     # TimingRow per fall type present
    subjects: list           # GroupRow per subject, in name order
    groups: list             # GroupRow per age group, when groups are known
    activities: list         # GroupRow per activity, when the data set names them

    @property
    def has_groups(self):
        return bool(self.groups)

    @property
    def too_few_for_bootstrap(self):
        return self.bootstrap_subjects < estimates.MIN_BOOTSTRAP_SUBJECTS


def research(scored, context, resamples=estimates.BOOTSTRAP_RESAMPLES, seed=estimates.BOOTSTRAP_SEED):
    """Every breakdown of the scored recordings; `context` (a RunContext)
    names their subjects and groups."""
    subject_of, group_of = context.subject_of, context.group_of

    by_subject = OrderedDict()
    for rec in scored:
        by_subject.setdefault(subject_of(rec), []).append(rec)
    subjects = []
    for subject in sorted(by_subject, key=lambda s: (s is None, s or "")):
        recs = by_subject[subject]
        groups = {group_of(r) for r in recs}
        group = groups.pop() if len(groups) == 1 else None
        subjects.append(GroupRow(label=subject or "(no subject)", group=group or "", tally=tally(recs)))

    by_group = OrderedDict()
    for rec in scored:
        group = group_of(rec)
        if group:
            by_group.setdefault(group, []).append(rec)
    groups = [GroupRow(label=g, group=g, tally=tally(by_group[g])) for g in sorted(by_group)]

    named = [s for s in subjects if s.label != "(no subject)"]
    sens_boot = spec_boot = None
    if len(named) >= estimates.MIN_BOOTSTRAP_SUBJECTS:
        sens_boot = estimates.bootstrap_interval([(s.tally.tp, s.tally.falls) for s in named], resamples, seed)
        spec_boot = estimates.bootstrap_interval([(s.tally.tn, s.tally.adl) for s in named], resamples, seed)

    # A data set converted from another one may name its own activities
    # (several of them can share one task number).
    by_activity = OrderedDict()
    for rec in scored:
        activity = context.activity_of(rec)
        if activity:
            by_activity.setdefault(activity, []).append(rec)
    activities = [GroupRow(label=a, group="", tally=tally(by_activity[a]),
                           name=context.activity_name_of(by_activity[a][0]) or "") for a in sorted(by_activity)]

    # Fall types as the data set names them, in task order.
    by_type = OrderedDict()
    for rec in sorted((r for r in scored if r.is_fall), key=lambda r: (r.task, context.activity_label(r))):
        by_type.setdefault(context.activity_label(rec), []).append(rec)
    timing_by_type = [_timing_row(label, recs) for label, recs in by_type.items()]
    return Research(overall=tally(scored), sensitivity_bootstrap=sens_boot, specificity_bootstrap=spec_boot,
                    bootstrap_subjects=len(named), timing=_timing_row("all fall types", scored),
                    timing_by_type=timing_by_type, subjects=subjects, groups=groups, activities=activities)

