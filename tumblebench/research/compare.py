"""Runs side by side (two models, two detector settings, or more): the
change in every headline figure against the first run, the recordings whose
outcome changed, and for every pair of runs McNemar's exact test of whether
they really differ on the recordings both scored."""

import csv
import io
import itertools
from dataclasses import dataclass, field

from .. import kfall
from . import estimates, metrics, plotting, research_text
from .stats import REPORTED_TASKS
from .summary import format_value

# The harness's own grading: ok, soso, troublemaker.
_GRADE = {"good": 2, "tn": 2, "soso": 1, "early": 0, "late": 0, "fn": 0, "fp": 0}
# Paired test: a recording is classified right when a fall is detected (at
# any time) or a daily activity is not.
_RIGHT = {"good": True, "soso": True, "early": True, "late": True, "tn": True, "fn": False, "fp": False}

_COLOURS = ("0.6", "tab:blue", "tab:orange", "tab:green", "tab:red", "tab:purple", "tab:brown", "tab:pink")


@dataclass
class Flip:
    path: str
    occurrence: int
    task: int
    before: str
    after: str

    @property
    def direction(self):
        a, b = _GRADE[self.before], _GRADE[self.after]
        return "better" if b > a else "worse" if b < a else "changed"


@dataclass
class Pairing:
    """Two runs' scored recordings paired by path (and by order of
    appearance, for a path scored more than once in a run)."""
    base: object      # Summary
    new: object
    flips: list = field(default_factory=list)
    only_base: list = field(default_factory=list)   # keys (path, occurrence)
    only_new: list = field(default_factory=list)
    paired: int = 0
    right_in_base_only: int = 0
    right_in_new_only: int = 0

    @property
    def p_value(self):
        return estimates.mcnemar_exact(self.right_in_base_only, self.right_in_new_only)


def pair(base, new):
    b = {r.key: r for r in base.log.scored}
    n = {r.key: r for r in new.log.scored}
    p = Pairing(base=base, new=new)
    for rec in base.log.scored:
        other = n.get(rec.key)
        if other is None:
            p.only_base.append(rec.key)
            continue
        p.paired += 1
        if other.outcome != rec.outcome:
            p.flips.append(Flip(rec.path, rec.occurrence, rec.task, rec.outcome, other.outcome))
        right_before, right_after = _RIGHT[rec.outcome], _RIGHT[other.outcome]
        p.right_in_base_only += right_before and not right_after
        p.right_in_new_only += right_after and not right_before
    p.only_new = [r.key for r in new.log.scored if r.key not in b]
    return p


@dataclass
class Comparison:
    runs: list                      # Summary per run, the first is the base
    against_base: list              # Pairing of the base with each later run
    pairs: list                     # (i, j, Pairing) for every two runs i < j, in order

    @property
    def labels(self):
        return ["base", "new"] if len(self.runs) == 2 else ["#%d" % (i + 1) for i in range(len(self.runs))]

    def headline_rows(self):
        """(figure, [value per run])."""
        heads = [r.headline() for r in self.runs]
        return [(name, [h[name] for h in heads]) for name in heads[0]]

    @staticmethod
    def format_delta(name, before, after):
        if before is None or after is None:
            return "n/a"
        delta = after - before
        if name.endswith("%"):
            return "%+.2f pp" % delta
        if name.endswith("/h"):
            return "%+.2f" % delta
        if isinstance(delta, float):
            return "%+.1f" % delta
        return "%+d" % delta


def compare(runs):
    later = [pair(runs[0], other) for other in runs[1:]]
    by_pair = {(0, k + 1): p for k, p in enumerate(later)}
    pairs = [(i, j, by_pair.get((i, j)) or pair(runs[i], runs[j]))
             for i, j in itertools.combinations(range(len(runs)), 2)]
    return Comparison(runs=runs, against_base=later, pairs=pairs)


def _name(summary, label):
    return summary.name or label


def change_counts(pairing):
    """{"better", "worse", "changed"}: how many recordings changed which way."""
    return {d: sum(1 for f in pairing.flips if f.direction == d) for d in ("better", "worse", "changed")}


def text_comparison(cmp, changes=False):
    """The comparison as text; every changed recording is listed only with
    `changes` (the CSV always has them)."""
    labels = cmp.labels
    runs = cmp.runs
    if len(runs) == 2:
        out = ["tumblebench comparison", "  base: %s" % _name(runs[0], "base"), "  new:  %s" % _name(runs[1], "new")]
    else:
        out = ["tumblebench comparison of %d runs (changes against #1)" % len(runs)]
        out += ["  %s: %s" % (label, _name(s, label)) for label, s in zip(labels, runs)]
    out.append("")
    change_labels = ["change"] if len(runs) == 2 else ["change %s" % label for label in labels[1:]]
    out.append("  %-18s" % "figure" + "".join(" %14s" % label for label in labels) +
               "".join(" %12s" % c for c in change_labels))
    for name, values in cmp.headline_rows():
        out.append("  %-18s" % name + "".join(" %14s" % format_value(name, v) for v in values) +
                   "".join(" %12s" % cmp.format_delta(name, values[0], v) for v in values[1:]))
    for label, pairing in zip(labels[1:], cmp.against_base):
        out.append("")
        counts = change_counts(pairing)
        against = "" if len(runs) == 2 else " (%s against %s)" % (label, labels[0])
        out.append("  recordings whose outcome changed%s: %d (better %d, worse %d, other %d)"
                   % (against, len(pairing.flips), counts["better"], counts["worse"], counts["changed"]))
        for f in pairing.flips if changes else ():
            suffix = "" if f.occurrence == 0 else " (#%d)" % (f.occurrence + 1)
            out.append("    %-7s %s%s  task %02d: %s -> %s" % (f.direction, f.path, suffix, f.task, f.before,
                                                              f.after))
        for side, keys in (("only in %s" % labels[0], pairing.only_base), ("only in %s" % label, pairing.only_new)):
            if keys:
                out.append("  %s: %d recording(s): %s%s" % (side, len(keys), ", ".join(p for p, _ in keys[:5]),
                                                          ", ..." if len(keys) > 5 else ""))
        if pairing.only_base or pairing.only_new:
            out.append("  note: the runs did not score the same recordings, so their rates are over different sets")
    out.append("")
    out.append("  McNemar's exact test (two-sided) on the recordings both runs scored; right: a fall detected "
               "or a daily activity not")
    for i, j, p in cmp.pairs:
        out.append("    %s vs %s: %d paired, right only in %s %d, only in %s %d, p = %s"
                   % (labels[i], labels[j], p.paired, labels[i], p.right_in_base_only, labels[j],
                      p.right_in_new_only, _p_text(p.p_value)))
    for label, s in zip(labels, runs):
        out.append("  check (%s): %s" % (label, s.check.describe()))
        in_sample = research_text.in_sample_text(s)
        if in_sample and in_sample.startswith("WARNING"):
            out.append("  %s (%s)" % (in_sample, label))
        for note in s.log.notes + s.context.notes:
            out.append("  note (%s): %s" % (label, note))
    return "\n".join(out) + "\n"


def _p_text(p):
    return "%.4g" % p if p >= 1e-4 else "%.2e" % p


def write_flips_csv(cmp, path):
    with open(path, "w", newline="", encoding="utf-8", errors="surrogateescape") as f:
        w = csv.writer(f)
        w.writerow(("path", "occurrence", "task", "class", "before", "after", "change", "run"))
        for label, pairing in zip(cmp.labels[1:], cmp.against_base):
            for flip in pairing.flips:
                w.writerow((flip.path, flip.occurrence + 1, flip.task, kfall.task_class(flip.task), flip.before,
                            flip.after, flip.direction, _name(pairing.new, label)))


def pairs_table(cmp):
    """(header, rows): McNemar's exact test for every pair of runs."""
    header = ("run_a", "run_b", "paired", "right_only_in_a", "right_only_in_b", "mcnemar_exact_p")
    return header, [(_name(p.base, cmp.labels[i]), _name(p.new, cmp.labels[j]), p.paired, p.right_in_base_only,
                     p.right_in_new_only, p.p_value) for i, j, p in cmp.pairs]


def headline_table(cmp):
    """(header, rows): every run's headline figures (metrics.json's), a row
    per run, the base first."""
    rows = [dict(label=label, **_flat(metrics.run_metrics(s, s.context.folder)))
            for label, s in zip(cmp.labels, cmp.runs)]
    header = list(rows[0])
    for row in rows[1:]:
        header += [k for k in row if k not in header]
    return tuple(header), [tuple(row.get(k) for k in header) for row in rows]


def _flat(fields):
    return {k: " ".join(map(str, v)) if isinstance(v, list) else v for k, v in fields.items()}


def comparison_data(cmp):
    """The comparison as one JSON object: every run's metrics, the changes
    against the base, McNemar's test for every pair."""
    header, rows = pairs_table(cmp)
    return {
        "runs": [dict(label=label, **metrics.run_metrics(s, s.context.folder))
                 for label, s in zip(cmp.labels, cmp.runs)],
        "changes_against_base": [dict(run=_name(p.new, label), paired=p.paired, changed=len(p.flips),
                                      better=counts["better"], worse=counts["worse"], other=counts["changed"],
                                      only_in_base=len(p.only_base), only_in_run=len(p.only_new))
                                 for label, p, counts in ((label, p, change_counts(p)) for label, p in
                                                          zip(cmp.labels[1:], cmp.against_base))],
        "pairs": [dict(zip(header, row)) for row in rows],
    }


def _draw(fig, cmp):
    ax_rates, ax_err = fig.subplots(1, 2, gridspec_kw={"width_ratios": [1, 1.6]})
    names = ("sensitivity %", "specificity %", "in time %", "ok %")
    count = len(cmp.runs)
    width = 0.8 / count
    x = range(len(names))
    for k, (label, summary) in enumerate(zip(cmp.labels, cmp.runs)):
        h = summary.headline()
        shift = (k - (count - 1) / 2) * width
        bars = ax_rates.bar([i + shift for i in x], [h[n] or 0 for n in names], width=width, label=label,
                            color=_COLOURS[k % len(_COLOURS)])
        # A rate over no recordings has no bar, and says so.
        ax_rates.bar_label(bars, labels=[format_value(n, h[n]) for n in names], fontsize=5 if count > 2 else 6,
                           padding=1, rotation=90 if count > 2 else 0)
    ax_rates.set_xticks(list(x), [n.rstrip(" %") for n in names], fontsize=8)
    ax_rates.set_ylim(0, 125)
    ax_rates.set_ylabel("%")
    ax_rates.legend(fontsize=8, loc="upper center", ncol=min(count, 4))
    ax_rates.set_title("headline rates", fontsize=10)

    errors = [s.stats.task_errors for s in cmp.runs]
    types = [t for t in REPORTED_TASKS if any(e[t] for e in errors)]
    if types:
        height = 0.8 / count
        for k, (label, e) in enumerate(zip(cmp.labels, errors)):
            shift = (k - (count - 1) / 2) * height
            ax_err.barh([i + shift for i in range(len(types))], [e[t] for t in types], height=height, label=label,
                        color=_COLOURS[k % len(_COLOURS)])
        ax_err.set_yticks(list(range(len(types))),
                          [plotting.wrap("%02d %s (%s)" % (t, kfall.task_name(t), kfall.task_class(t)), 34)
                           for t in types], fontsize=6)
        ax_err.invert_yaxis()
        ax_err.legend(fontsize=8)
        from matplotlib.ticker import MaxNLocator
        ax_err.xaxis.set_major_locator(MaxNLocator(integer=True))
    else:
        ax_err.text(0.5, 0.5, "no misses or false alarms in any run", transform=ax_err.transAxes,
                    ha="center", va="center", color="0.4")
        ax_err.set_xticks([])
        ax_err.set_yticks([])
    ax_err.set_title("misses and false alarms per type (fn + fp)", fontsize=10)


def comparison_png(cmp, path=None):
    """Writes the comparison figure to path, or returns its PNG bytes."""
    plt = plotting.pyplot()
    types = sum(1 for t in REPORTED_TASKS
                if any(s.stats.task_errors[t] for s in cmp.runs))
    fig = plt.figure(figsize=(12, max(5, 0.3 * types * len(cmp.runs) ** 0.5 + 1.5)), layout="constrained")
    _draw(fig, cmp)
    fig.suptitle("   ".join("%s: %s" % (label, plotting.shorten(_name(s, label), 60))
                            for label, s in zip(cmp.labels, cmp.runs)), fontsize=9)
    if path is not None:
        plotting.save(fig, path)
        return None
    buf = io.BytesIO()
    fig.savefig(buf, format="png", dpi=90)
    plt.close(fig)
    return buf.getvalue()
