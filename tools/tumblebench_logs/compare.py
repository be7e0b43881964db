"""Two runs side by side (two models, two detector settings): recordings
whose outcome changed and the change in every headline figure."""

import csv
import io
from dataclasses import dataclass, field

from . import plotting, tasks
from .summary import format_value

# The harness's own grading: ok, soso, troublemaker.
_GRADE = {"good": 2, "tn": 2, "soso": 1, "early": 0, "late": 0, "fn": 0, "fp": 0}


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
class Comparison:
    base: object      # Summary
    new: object
    flips: list = field(default_factory=list)
    only_base: list = field(default_factory=list)   # keys (path, occurrence)
    only_new: list = field(default_factory=list)

    def headline_rows(self):
        hb, hn = self.base.headline(), self.new.headline()
        return [(name, hb[name], hn[name]) for name in hb]

    @staticmethod
    def format_delta(name, before, after):
        if before is None or after is None:
            return "n/a"
        delta = after - before
        if name.endswith("%"):
            return "%+.2f pp" % delta
        if isinstance(delta, float):
            return "%+.1f" % delta
        return "%+d" % delta


def compare(base, new):
    """Pairs the scored recordings of two summaries by path (and by order of
    appearance, for a path scored more than once in a run)."""
    b = {r.key: r for r in base.log.scored}
    n = {r.key: r for r in new.log.scored}
    cmp = Comparison(base=base, new=new)
    for rec in base.log.scored:
        other = n.get(rec.key)
        if other is None:
            cmp.only_base.append(rec.key)
        elif other.outcome != rec.outcome:
            cmp.flips.append(Flip(rec.path, rec.occurrence, rec.task, rec.outcome, other.outcome))
    cmp.only_new = [r.key for r in new.log.scored if r.key not in b]
    return cmp


def text_comparison(cmp):
    a, b = cmp.base, cmp.new
    name_a, name_b = a.log.source or "base", b.log.source or "new"
    out = ["tumblebench comparison", "  base: %s" % name_a, "  new:  %s" % name_b, ""]
    out.append("  %-18s %14s %14s %12s" % ("figure", "base", "new", "change"))
    for name, va, vb in cmp.headline_rows():
        out.append("  %-18s %14s %14s %12s" % (name, format_value(name, va), format_value(name, vb),
                                               cmp.format_delta(name, va, vb)))
    out.append("")
    counts = {d: sum(1 for f in cmp.flips if f.direction == d) for d in ("better", "worse", "changed")}
    out.append("  recordings whose outcome changed: %d (better %d, worse %d, other %d)"
               % (len(cmp.flips), counts["better"], counts["worse"], counts["changed"]))
    for f in cmp.flips:
        suffix = "" if f.occurrence == 0 else " (#%d)" % (f.occurrence + 1)
        out.append("    %-7s %s%s  task %02d: %s -> %s" % (f.direction, f.path, suffix, f.task, f.before, f.after))
    for label, keys in (("only in base", cmp.only_base), ("only in new", cmp.only_new)):
        if keys:
            out.append("  %s: %d recording(s): %s%s" % (label, len(keys), ", ".join(p for p, _ in keys[:5]),
                                                      ", ..." if len(keys) > 5 else ""))
    if cmp.only_base or cmp.only_new:
        out.append("  note: the runs did not score the same recordings, so their rates are over different sets")
    for label, s in (("base", a), ("new", b)):
        out.append("  check (%s): %s" % (label, s.check.describe()))
        for note in s.log.notes:
            out.append("  note (%s): %s" % (label, note))
    return "\n".join(out) + "\n"


def write_flips_csv(cmp, path):
    with open(path, "w", newline="", encoding="utf-8", errors="surrogateescape") as f:
        w = csv.writer(f)
        w.writerow(("path", "occurrence", "task", "class", "before", "after", "change"))
        for flip in cmp.flips:
            w.writerow((flip.path, flip.occurrence + 1, flip.task, tasks.task_class(flip.task), flip.before,
                        flip.after, flip.direction))


def _draw(fig, cmp):
    ax_rates, ax_err = fig.subplots(1, 2, gridspec_kw={"width_ratios": [1, 1.6]})
    names = ("sensitivity %", "specificity %", "in time %", "ok %")
    hb, hn = cmp.base.headline(), cmp.new.headline()
    x = range(len(names))
    for shift, h, label, colour in ((-0.2, hb, "base", "0.6"), (0.2, hn, "new", "tab:blue")):
        bars = ax_rates.bar([i + shift for i in x], [h[n] or 0 for n in names], width=0.4, label=label,
                            color=colour)
        # A rate over no recordings has no bar, and says so.
        ax_rates.bar_label(bars, labels=[format_value(n, h[n]) for n in names], fontsize=6, padding=1)
    ax_rates.set_xticks(list(x), [n.rstrip(" %") for n in names], fontsize=8)
    ax_rates.set_ylim(0, 118)
    ax_rates.set_ylabel("%")
    ax_rates.legend(fontsize=8, loc="upper center", ncol=2)
    ax_rates.set_title("headline rates", fontsize=10)

    err_b, err_n = cmp.base.stats.task_errors, cmp.new.stats.task_errors
    types = [t for t in range(tasks.FIRST_REPORTED_TASK, tasks.LAST_REPORTED_TASK + 1) if err_b[t] or err_n[t]]
    if types:
        y = range(len(types))
        ax_err.barh([i - 0.2 for i in y], [err_b[t] for t in types], height=0.4, label="base", color="0.6")
        ax_err.barh([i + 0.2 for i in y], [err_n[t] for t in types], height=0.4, label="new", color="tab:blue")
        ax_err.set_yticks(list(y), ["%02d %s (%s)" % (t, tasks.task_name(t)[:30], tasks.task_class(t))
                                    for t in types], fontsize=7)
        ax_err.invert_yaxis()
        ax_err.legend(fontsize=8)
        from matplotlib.ticker import MaxNLocator
        ax_err.xaxis.set_major_locator(MaxNLocator(integer=True))
    else:
        ax_err.text(0.5, 0.5, "no misses or false alarms in either run", transform=ax_err.transAxes,
                    ha="center", va="center", color="0.4")
        ax_err.set_xticks([])
        ax_err.set_yticks([])
    ax_err.set_title("misses and false alarms per type (fn + fp)", fontsize=10)


def comparison_png(cmp, path=None):
    """Writes the comparison figure to path, or returns its PNG bytes."""
    plt = plotting.pyplot()
    fig = plt.figure(figsize=(12, 5))
    _draw(fig, cmp)
    fig.suptitle("base: %s   new: %s" % (cmp.base.log.source or "base", cmp.new.log.source or "new"), fontsize=10)
    fig.tight_layout()
    if path is not None:
        plotting.save(fig, path)
        return None
    buf = io.BytesIO()
    fig.savefig(buf, format="png", dpi=90)
    plt.close(fig)
    return buf.getvalue()
