"""One trace file as a stack of time plots: what the detector saw and what
it decided, sample by sample."""

from ..kfall import SAMPLES_PER_SECOND
from . import plotting

GATE_G = 0.91
# Thresholds the rules put on vv, with the rule each belongs to.
VV_THRESHOLDS = ((2.91, "mode 2"), (6.5, "X1 trigger"), (9, "mode 3"), (10, "X2 trigger, mode 4"),
                 (15, "mode 5"), (21.3, "mode 6"))
# Thresholds on the down probability P, in the trace's percent scale.
P_THRESHOLDS = ((53, "modes 5, 8"), (57, "mode 4"), (67, "mode 1"), (70, "mode 3"), (80, "modes 2, 7"),
                (90, "mode 7"))
# What each detection mode tests, in short, for labels.
MODE_RULES = {
    1: "X1 window, tilted, P>=0.67",
    2: "P>0.8 twice, moving down",
    3: "acc<0.70 g, vv>9, P>=0.7",
    4: "acc<0.75 g, vv>10, P>=0.57",
    5: "acc<0.80 g, vv>15, P>=0.53",
    6: "X1 window, vv>21.3",
    7: "P>0.9 for 8 evaluations",
    8: "X2 window, pitch>13, P>0.53",
}
MODE_COLOURS = {1: "tab:red", 2: "tab:orange", 3: "tab:olive", 4: "tab:green", 5: "tab:cyan",
                6: "tab:blue", 7: "tab:purple", 8: "tab:brown"}


def mode_label(mode):
    rule = MODE_RULES.get(mode)
    return "mode %d (%s)" % (mode, rule) if rule else "mode %d" % mode


def _spans(frames):
    """Runs of consecutive frames as (first, last) pairs."""
    spans = []
    for f in frames:
        if spans and f == spans[-1][1] + 1:
            spans[-1][1] = f
        else:
            spans.append([f, f])
    return spans


def _threshold_lines(ax, values, colour):
    for value, _ in values:
        ax.axhline(value, color=colour, linewidth=0.7, linestyle=":", zorder=1)


def _threshold_labels(ax, values, colour, min_gap=0.07):
    """Labels at the right edge, pushed apart where thresholds lie close
    together (9 and 10, 53 and 57), each still pointing at its own line."""
    lo, hi = ax.get_ylim()
    placed = []
    for value, label in sorted(values):
        if not lo <= value <= hi:
            continue
        y = (value - lo) / (hi - lo)
        if placed and y < placed[-1] + min_gap:
            y = placed[-1] + min_gap
        placed.append(y)
        ax.annotate("%g %s" % (value, label), xy=(1.0, (value - lo) / (hi - lo)), xycoords="axes fraction",
                    xytext=(1.012, y), textcoords="axes fraction", fontsize=7, color=colour, va="center",
                    arrowprops=dict(arrowstyle="-", color=colour, linewidth=0.5, shrinkA=0, shrinkB=0))


def plot_trace(trace, out_path, in_samples=False, start=None, end=None, title=None, dpi=100):
    """Writes the figure of `trace` to `out_path` (PNG). start and end limit
    the time axis, in the axis's unit (seconds, or samples with in_samples)."""
    plt = plotting.pyplot()
    frames = trace.frames
    scale = 1.0 if in_samples else 1.0 / SAMPLES_PER_SECOND
    x = [f * scale for f in frames]
    unit = "sample (50 per second, from 0)" if in_samples else "time (s)"

    fig, axes = plt.subplots(6, 1, figsize=(11, 12.5), sharex=True,
                             gridspec_kw={"height_ratios": [3, 2.2, 3, 2.2, 2.5, 1.6]})
    ax_acc, ax_gyro, ax_vv, ax_att, ax_p, ax_det = axes

    ax_acc.plot(x, [v / 100 for v in trace["raw_acc"]], color="0.55", linewidth=0.8, label="raw |acc|")
    ax_acc.plot(x, [v / 100 for v in trace["lpf_acc"]], color="tab:blue", linewidth=1.3, label="filtered |acc|")
    ax_acc.axhline(GATE_G, color="tab:red", linestyle="--", linewidth=0.9,
                   label="gate %.2f g (window opens below)" % GATE_G)
    ax_acc.set_ylabel("acceleration (g)")

    ax_gyro.plot(x, trace["raw_gyro"], color="0.55", linewidth=0.8, label="raw |rate|")
    ax_gyro.plot(x, trace["lpf_gyro"], color="tab:green", linewidth=1.3, label="filtered |rate|")
    ax_gyro.set_ylabel("angular rate (deg/s)")

    ax_vv.plot(x, trace["vv"], color="tab:purple", linewidth=1.2, label="vv")
    _threshold_lines(ax_vv, VV_THRESHOLDS, "tab:red")
    ax_vv.set_ylabel("vertical velocity vv")

    ax_att.plot(x, trace["roll"], color="tab:orange", linewidth=1.1, label="roll")
    ax_att.plot(x, trace["pitch"], color="tab:brown", linewidth=1.1, label="pitch")
    ax_att.set_ylabel("angle (deg)")

    ax_p.plot(x, trace["normal"], color="tab:green", linewidth=1.0, label="normal")
    ax_p.plot(x, trace["down"], color="tab:red", linewidth=1.2, label="down (P)")
    _threshold_lines(ax_p, P_THRESHOLDS, "0.4")
    ax_p.set_ylim(-3, 103)
    ax_p.set_ylabel("classifier score (%)")

    detections = trace.detections
    modes_seen = sorted({m for _, m in detections})
    for mode in modes_seen:
        xs = [f * scale for f, m in detections if m == mode]
        ax_det.scatter(xs, [mode] * len(xs), s=14, marker="v", color=MODE_COLOURS.get(mode, "black"),
                       label=mode_label(mode), zorder=3)
    # A run of detections by one mode gets one label, at its first sample.
    previous = None
    for f, m in detections:
        if previous is None or m != previous[1] or f != previous[0] + 1:
            ax_det.annotate("M%d" % m, xy=(f * scale, m), xytext=(0, 5), textcoords="offset points",
                            fontsize=7, ha="center", color=MODE_COLOURS.get(m, "black"))
        previous = (f, m)
    ax_det.set_ylim(0, 9.5)
    ax_det.set_yticks(range(1, 9))
    ax_det.set_ylabel("detection mode")
    ax_det.grid(axis="y", linewidth=0.3, color="0.85")
    if not detections:
        ax_det.text(0.5, 0.5, "no detections", transform=ax_det.transAxes, ha="center", va="center",
                    color="0.4")

    spans = _spans(trace.labelled_frames)
    for ax in axes:
        for first, last in spans:
            # A row covers the sample's interval, so the span ends one sample after its last D row.
            ax.axvspan(first * scale, (last + 1) * scale, color="gold", alpha=0.25, zorder=0,
                       label="labelled fall (D rows)" if ax is ax_acc else None)
        for f, _ in detections[:1]:
            ax.axvline(f * scale, color="tab:red", linewidth=0.6, alpha=0.5, zorder=1)
        ax.grid(axis="x", linewidth=0.3, color="0.85")
        handles, labels = ax.get_legend_handles_labels()
        if handles:
            ax.legend(loc="upper left", fontsize=7, framealpha=0.8, ncol=2 if ax is ax_det else 1)

    ax_det.set_xlabel(unit)
    if x:
        lo = x[0] if start is None else start
        hi = x[-1] + scale if end is None else end
        ax_det.set_xlim(lo, hi)
    if title is None:
        first = "first detection at sample %d, %s" % (detections[0][0], mode_label(detections[0][1])) \
            if detections else "no detection"
        title = "%s\n%d samples (%.1f s), %d detecting sample(s); %s" % (
            trace.path, len(trace), len(trace) / SAMPLES_PER_SECOND, len(detections), first)
    fig.suptitle(title, fontsize=10)
    _threshold_labels(ax_vv, VV_THRESHOLDS, "tab:red")
    _threshold_labels(ax_p, P_THRESHOLDS, "0.4")
    fig.tight_layout(rect=(0, 0, 0.90, 1))
    plotting.save(fig, out_path, dpi=dpi)
