"""A gallery of what went wrong in a run, for its HTML summary: for every
false alarm and every missed, late or early fall (up to a number, the rest
counted), a small figure of its trace around the first detection (around
the labelled impact for a miss): the features the rules read, the down
score, the mode that fired with the thresholds of its rule as the run's
rule set has them, and the onset and impact. A reviewer scrolls through the
false alarms of a run and sees why each fired."""

import io
import os
from dataclasses import dataclass, field

from .. import kfall
from . import breakdowns, plotting, rule_thresholds, run_folder
from .trace import TraceFormatError, read_trace

# The kinds of trouble, in the order the page shows them.
KINDS = (("fp", "False alarms", "a daily activity with a detection"),
         ("fn", "Missed falls", "a fall without a detection"),
         ("late", "Late detections", "a labelled fall first detected at or after its impact"),
         ("early", "Early detections", "a labelled fall first detected before its onset"))
SINGULAR = {"fp": "false alarm", "fn": "missed fall", "late": "late detection", "early": "early detection"}
BEFORE_S, AFTER_S = 3.0, 2.0
# (trace column, axis label, scale to the unit shown)
PANELS = (("lpf_acc", "lpf_acc (g)", 0.01), ("lpf_gyro", "lpf_gyro\n(deg/s)", 1.0), ("vv", "vv", 1.0),
          ("roll", "roll, pitch\n(deg)", 1.0), ("down", "down score\n(%)", 1.0))
FEATURE_PANEL = {"lpf_acc": 0, "lpf_gyro": 1, "vv": 2, "roll": 3, "pitch": 3, "down": 4}
FIGURE_IN, DPI = (5.6, 4.6), 80
PROGRESS_EVERY = 10


@dataclass
class Item:
    rec: object
    kind: str
    label: str                 # the recording's activity
    png: bytes = None
    why_no_figure: str = None
    rule: str = ""             # the rule of the mode that fired
    values: str = ""           # the features at the first detection (or at the centre of a miss)


@dataclass
class Gallery:
    counts: dict = field(default_factory=dict)   # kind -> recordings of that kind
    items: dict = field(default_factory=dict)    # kind -> Item shown
    cap: int = 0

    @property
    def total(self):
        return sum(self.counts.values())


def kind_of(rec):
    """The gallery's kind of a scored recording, None when nothing went wrong.
    A fall without a label that was detected is not late, only untimed."""
    if breakdowns.is_unlabelled_fall(rec):
        return None if rec.detected else "fn"
    return rec.outcome if rec.outcome in ("fp", "fn", "late", "early") else None


def share(counts, cap):
    """How many of each kind to show, `cap` in all: one of each kind in
    turn, so that a run with many false alarms still shows its misses."""
    shown = [0] * len(counts)
    while sum(shown) < cap and any(s < c for s, c in zip(shown, counts)):
        for i, c in enumerate(counts):
            if shown[i] < c and sum(shown) < cap:
                shown[i] += 1
    return shown


def trace_path(summary, rec):
    """Where the recording's trace is: beside its recording in the run
    folder's mirror (in the subject folder), or beside the log."""
    if not rec.trace:
        return None
    if os.path.isabs(rec.trace):
        return rec.trace if os.path.isfile(rec.trace) else None
    contexts = [summary.context] + list(summary.context.pooled)
    subjects = [s for s in (c.subject_of(rec) for c in contexts) if s]
    subjects += ["SA" + s[1:] for s in subjects if s.startswith("S") and not s.startswith("SA")]
    bases = [os.path.join(c.folder, run_folder.WALK_ROOT) for c in contexts if c.folder]
    bases.append(os.path.dirname(os.path.abspath(summary.log.source)) if summary.log.source else os.getcwd())
    for base in bases:
        for candidate in [os.path.join(base, s, rec.trace) for s in subjects] + [os.path.join(base, rec.trace)]:
            if os.path.isfile(candidate):
                return candidate
    return None


def centre_frame(rec, trace):
    if rec.detected:
        return rec.first_frame
    if rec.impact > 0:
        return rec.impact
    # A miss without a label: where the network came closest.
    downs = trace["down"]
    return trace.frames[downs.index(max(downs))] if downs else 0


def _values_text(trace, index):
    row = {name: trace[name][index] for name in ("lpf_acc", "lpf_gyro", "vv", "roll", "pitch", "down")}
    return ("lpf_acc %.2f g, lpf_gyro %d deg/s, vv %.2f, roll %d, pitch %d, down %d %%"
            % (row["lpf_acc"] / 100, row["lpf_gyro"], row["vv"], row["roll"], row["pitch"], row["down"]))


def draw(trace, rec, values):
    """(PNG bytes, rule text, values text) of the recording's figure."""
    plt = plotting.pyplot()
    frames = trace.frames
    centre = centre_frame(rec, trace)
    rate = kfall.SAMPLES_PER_SECOND
    lo = max(0, centre - int(BEFORE_S * rate) - frames[0])
    hi = min(len(frames), centre + int(AFTER_S * rate) - frames[0] + 1)
    x = [f / rate for f in frames[lo:hi]]
    if rec.detected and rec.first_mode:
        rule, lines = rule_thresholds.mode_rule(values, rec.first_mode)
        line_style = dict(color="tab:red", linestyle="--", linewidth=0.9)
    else:
        # No mode fired: every threshold of every mode, faint, to see how far off they stayed.
        rule, lines = "no mode fired", [line for m in range(1, 9) for line in rule_thresholds.mode_rule(values, m)[1]]
        line_style = dict(color="0.6", linestyle=":", linewidth=0.7)
    fig, axes = plt.subplots(len(PANELS), 1, figsize=FIGURE_IN, sharex=True, layout="constrained")
    for ax, (column, label, scale) in zip(axes, PANELS):
        ax.plot(x, [v * scale for v in trace[column][lo:hi]], color="tab:blue", linewidth=1.1)
        if column == "roll":
            ax.plot(x, trace["pitch"][lo:hi], color="tab:brown", linewidth=1.1, label="pitch")
            ax.legend(["roll", "pitch"], fontsize=6, loc="upper left", ncol=2, frameon=False)
        ax.set_ylabel(label, fontsize=7)
        ax.tick_params(labelsize=6)
    for feature, threshold in sorted(set(lines)):
        panel = FEATURE_PANEL[feature]
        axes[panel].axhline(threshold * PANELS[panel][2], **line_style)
    for ax in axes:
        if rec.onset > 0:
            ax.axvline(rec.onset / rate, color="tab:orange", linewidth=0.9, linestyle="-.")
        if rec.impact > 0:
            ax.axvline(rec.impact / rate, color="black", linewidth=0.9, linestyle="-.")
        if rec.detected:
            ax.axvline(rec.first_frame / rate, color="tab:red", linewidth=1.4)
    top = axes[0]
    if rec.detected:
        top.annotate("M%d" % rec.first_mode, xy=(rec.first_frame / rate, 1.0), xycoords=("data", "axes fraction"),
                     xytext=(2, -9), textcoords="offset points", fontsize=7, color="tab:red", weight="bold")
    marks = [what for what, shown in (("onset: orange", rec.onset > 0), ("impact: black", rec.impact > 0),
                                      ("first detection: red", rec.detected)) if shown]
    axes[-1].set_xlabel("time (s)" + ("; " + ", ".join(marks) if marks else ""), fontsize=7)
    fig.suptitle("%s: %s%s" % (kfall.recording_key(rec.path), rec.outcome,
                               ", mode %d at %.2f s" % (rec.first_mode, rec.first_frame / rate) if rec.detected
                               else ""), fontsize=8)
    buf = io.BytesIO()
    fig.savefig(buf, format="png", dpi=DPI)
    plt.close(fig)
    index = max(0, min(len(frames) - 1, centre - frames[0])) if frames else 0
    return buf.getvalue(), rule, _values_text(trace, index) if frames else ""


def figures(summary, cap, report=None):
    """The Gallery of the run: every recording that went wrong counted, up to
    `cap` of them drawn."""
    by_kind = {kind: [] for kind, _, _ in KINDS}
    for rec in summary.log.scored:
        kind = kind_of(rec)
        if kind:
            by_kind[kind].append(rec)
    gallery = Gallery(counts={k: len(v) for k, v in by_kind.items()}, cap=cap)
    shown = share([len(by_kind[k]) for k, _, _ in KINDS], cap)
    values = rule_thresholds.rule_values(summary.context.manifest)
    done = 0
    for (kind, _, _), count in zip(KINDS, shown):
        gallery.items[kind] = []
        for rec in by_kind[kind][:count]:
            item = Item(rec=rec, kind=kind, label=summary.context.activity_label(rec))
            path = trace_path(summary, rec)
            if path is None:
                item.why_no_figure = "trace %s not found" % (rec.trace or "(none named in the log)")
            else:
                try:
                    trace = read_trace(path)
                    if len(trace) == 0:
                        raise TraceFormatError("%s holds no samples" % path)
                    item.png, item.rule, item.values = draw(trace, rec, values)
                except (OSError, TraceFormatError) as e:
                    item.why_no_figure = "trace %s cannot be read: %s" % (path, getattr(e, "strerror", None) or e)
            gallery.items[kind].append(item)
            done += 1
            if report and done % PROGRESS_EVERY == 0:
                report("gallery: %d of %d figures drawn" % (done, sum(shown)))
    return gallery
