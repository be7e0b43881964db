"""Figures of a run summary: one PNG with every panel, or each panel on its
own for the HTML page."""

import io

from . import plotting
from .summary import format_value

OUTCOME_COLOURS = {"good": "tab:green", "soso": "yellowgreen", "early": "tab:orange", "late": "tab:red",
                   "fn": "0.35", "tn": "tab:blue", "fp": "tab:purple"}


def draw_confusion(ax, summary):
    s = summary.stats
    h = summary.headline()
    cells = [[s.tp, s.fn], [s.fp, s.tn]]
    ax.imshow([[1, 0], [0, 1]], cmap="RdYlGn", vmin=-0.6, vmax=1.6, alpha=0.45)
    for row in range(2):
        for col in range(2):
            ax.text(col, row, str(cells[row][col]), ha="center", va="center", fontsize=16, weight="bold")
    ax.set_xticks([0, 1], ["detected", "not detected"])
    ax.set_yticks([0, 1], ["falls (%d)" % summary.falls, "ADL (%d)" % summary.adls])
    ax.set_title("confusion counts\nsensitivity %s, specificity %s"
                 % (format_value("%", h["sensitivity %"]), format_value("%", h["specificity %"])), fontsize=10)


def draw_fall_outcomes(ax, summary):
    s, r = summary.stats, summary.research.overall
    # Unlabelled falls have their own bars: the harness scores them by
    # frames 0 0, but they were not late, only not timed.
    names = ["good", "soso", "early", "late", "fn"]
    values = [s.good, s.soso[0], s.early, s.late, s.fn]
    colours = [OUTCOME_COLOURS[n] for n in names]
    if r.unlabelled_detected or r.unlabelled_missed:
        values = [r.labelled[n] for n in names]
        names += ["detected,\nuntimed", "missed,\nunlabelled"]
        values += [r.unlabelled_detected, r.unlabelled_missed]
        colours += ["tab:cyan", "0.6"]
    bars = ax.bar(names, values, color=colours)
    ax.bar_label(bars, fontsize=8)
    ax.tick_params(axis="x", labelsize=8 if len(names) <= 5 else 7, labelrotation=0 if len(names) <= 5 else 30)
    ax.set_ylabel("fall recordings")
    ax.set_title("fall outcomes (%d falls)" % summary.falls, fontsize=10)
    _integer_axis(ax.yaxis)


def draw_lead_times(ax, summary):
    lead = summary.lead_ms
    if lead:
        # Lead times are whole samples (20 ms); each bar is centred on its
        # samples, at most ~25 bars.
        width = 20 * max(1, (max(lead) - min(lead)) // 20 // 25 + 1)
        first = (min(lead) // width) * width - 10
        bins = [b / 1000 for b in range(first, max(lead) + width + 1, width)]
        ax.hist([v / 1000 for v in lead], bins=bins, color="tab:green", edgecolor="white")
        ax.axvline(0.1, color="0.4", linestyle=":", linewidth=0.8)
        ax.annotate("good from 5 samples (0.1 s)", xy=(0.1, 1), xycoords=("data", "axes fraction"),
                    xytext=(3, -10), textcoords="offset points", fontsize=7, color="0.4", ha="left")
        _integer_axis(ax.yaxis)
    else:
        _empty(ax, "no in-time detections")
    ax.set_xlabel("lead time before impact (s)")
    ax.set_ylabel("in-time detections")
    ax.set_title("lead time of in-time detections (%d)" % len(lead), fontsize=10)


def _per_type(ax, rows, what, colour):
    if not rows:
        _empty(ax, "no recordings of this class")
        return
    labels = [plotting.wrap(label, 38) for label, _, _ in rows]
    counts = [n for _, n, _ in rows]
    y = list(range(len(rows)))
    totals = [total for _, _, total in rows]
    ax.barh(y, totals, color="0.88")
    bars = ax.barh(y, counts, color=colour)
    ax.bar_label(bars, labels=["%d/%d" % (n, total) for _, n, total in rows], fontsize=7, padding=2)
    ax.set_yticks(y, labels, fontsize=6)
    ax.set_xlim(0, max(totals) * 1.18)
    ax.invert_yaxis()
    ax.set_xlabel("recordings (grey: all of the type, coloured: %s)" % what, fontsize=8)
    _integer_axis(ax.xaxis)


def draw_false_alarms(ax, summary):
    _per_type(ax, summary.false_alarms(), "false alarms", "tab:purple")
    ax.set_title("false alarms per activity type", fontsize=10)


def draw_misses(ax, summary):
    _per_type(ax, summary.misses(), "misses", "0.35")
    ax.set_title("misses per fall type", fontsize=10)


def draw_modes(ax, summary):
    modes = summary.first_modes()
    if not modes:
        _empty(ax, "no detections")
    else:
        # Every rule keeps its place on the axis, so that runs can be compared by eye.
        shown = sorted(set(range(1, 9)) | set(modes))
        names = [str(m) for m in shown]
        falls = [modes.get(m, (0, 0))[0] for m in shown]
        adl = [modes.get(m, (0, 0))[1] for m in shown]
        ax.bar(names, falls, color="tab:green", label="falls")
        ax.bar(names, adl, bottom=falls, color="tab:purple", label="ADL (false alarms)")
        ax.legend(fontsize=7)
        _integer_axis(ax.yaxis)
    ax.set_xlabel("mode of the first detection")
    ax.set_ylabel("recordings")
    ax.set_title("first-detection modes", fontsize=10)


def draw_subjects(ax, summary):
    """Sensitivity and specificity of every subject, with their Wilson
    intervals: one subject far below the others shows at once."""
    rows = [r for r in summary.research.subjects if r.tally.falls or r.tally.adl]
    if len(rows) < 2:
        _empty(ax, "fewer than two subjects")
        ax.set_title("per subject", fontsize=10)
        return
    x = list(range(len(rows)))
    lowest = 100.0
    for offset, name, colour, marker, rate, bounds in (
            (-0.15, "sensitivity", "tab:green", "o", lambda t: t.sensitivity, lambda t: t.sensitivity_interval),
            (0.15, "specificity", "tab:blue", "s", lambda t: t.specificity, lambda t: t.specificity_interval)):
        xs, ys, low, high = [], [], [], []
        for i, row in zip(x, rows):
            value, ci = rate(row.tally), bounds(row.tally)
            if value is None:
                continue
            xs.append(i + offset)
            ys.append(100 * value)
            low.append(100 * (value - ci[0]))
            high.append(100 * (ci[1] - value))
            lowest = min(lowest, 100 * ci[0])
        ax.errorbar(xs, ys, yerr=[low, high], fmt=marker, color=colour, markersize=4, capsize=2, linewidth=0.8,
                    label=name + " (95% Wilson)")
    labels = [row.label + ("\n" + row.group if row.group else "") for row in rows]
    ax.set_xticks(x, labels, fontsize=6 if len(rows) > 12 else 7, rotation=90 if len(rows) > 16 else 0)
    ax.set_ylabel("%")
    ax.set_ylim(max(0.0, lowest - 5), 102)
    ax.legend(fontsize=7, loc="lower left")
    ax.set_title("per subject: sensitivity and specificity", fontsize=10)


def draw_timing_by_type(ax, summary):
    """Latency from onset and lead time before impact per fall type, in
    seconds, over the labelled falls that were detected."""
    rows = [r for r in summary.research.timing_by_type if r.latency_ms or r.lead_ms]
    if not rows:
        _empty(ax, "no detected labelled falls")
        ax.set_title("timing per fall type", fontsize=10)
        return
    y = list(range(len(rows)))
    for offset, colour, key, name in ((-0.2, "tab:orange", "latency_ms", "latency from onset"),
                                      (0.2, "tab:green", "lead_ms", "lead before impact")):
        data = [[v / 1000 for v in getattr(r, key)] for r in rows]
        shown = [(i, d) for i, d in zip(y, data) if d]
        if not shown:
            continue
        parts = ax.boxplot([d for _, d in shown], positions=[i + offset for i, _ in shown], vert=False,
                           widths=0.35, patch_artist=True, showfliers=True, manage_ticks=False,
                           flierprops={"markersize": 2, "markeredgecolor": colour},
                           medianprops={"color": colour, "linewidth": 2})
        for box in parts["boxes"]:
            box.set_facecolor(colour)
            box.set_alpha(0.6)
        parts["boxes"][0].set_label(name)
    ax.axvline(0, color="0.4", linewidth=0.6)
    ax.set_yticks(y, [plotting.wrap(r.label, 38) for r in rows], fontsize=6)
    ax.invert_yaxis()
    ax.set_xlabel("s")
    ax.legend(fontsize=7, loc="lower right")
    ax.set_title("timing per fall type (labelled falls)", fontsize=10)


PANELS = (("confusion", draw_confusion), ("fall_outcomes", draw_fall_outcomes), ("lead_time", draw_lead_times),
          ("false_alarms", draw_false_alarms), ("misses", draw_misses), ("modes", draw_modes),
          ("subjects", draw_subjects), ("timing_by_type", draw_timing_by_type))
# Panels of the labelled falls' timing, left out of a run that has none.
TIMING_PANELS = ("lead_time", "timing_by_type")
NO_TIMING_NOTE = "no labelled falls (onset and impact): the timing panels are left out"


def has_timing(summary):
    return summary.research.timing.labelled > 0


def shown_panels(summary):
    return [(name, draw) for name, draw in PANELS if has_timing(summary) or name not in TIMING_PANELS]


def _empty(ax, text):
    ax.text(0.5, 0.5, text, transform=ax.transAxes, ha="center", va="center", color="0.4")
    ax.set_xticks([])
    ax.set_yticks([])


def _integer_axis(axis):
    from matplotlib.ticker import MaxNLocator
    axis.set_major_locator(MaxNLocator(integer=True))


def write_dashboard(summary, path, title=None):
    plt = plotting.pyplot()
    timed = has_timing(summary)
    fig = plt.figure(figsize=(13, 19 if timed else 15.5), layout="constrained")
    # Rows as subfigures, so that the long type names of the lower rows do
    # not set the margins of the panels above them.
    rows = fig.subfigures(4 if timed else 3, 1, height_ratios=[1, 0.8, 1.5, 1.5] if timed else [1, 1.5, 1.5])
    ax_conf, ax_out, ax_modes = rows[0].subplots(1, 3)
    draw_confusion(ax_conf, summary)
    draw_fall_outcomes(ax_out, summary)
    draw_modes(ax_modes, summary)
    if timed:
        draw_lead_times(rows[1].subplots(), summary)
    ax_fa, ax_miss = rows[-2].subplots(1, 2)
    draw_false_alarms(ax_fa, summary)
    draw_misses(ax_miss, summary)
    if timed:
        ax_subjects, ax_timing = rows[-1].subplots(1, 2)
        draw_timing_by_type(ax_timing, summary)
    else:
        ax_subjects = rows[-1].subplots()
    draw_subjects(ax_subjects, summary)
    heading = title or "tumblebench run: %s" % (summary.name or "console log")
    fig.suptitle(heading if timed else "%s\n(%s)" % (heading, NO_TIMING_NOTE), fontsize=11)
    plotting.save(fig, path)


def panel_pngs(summary):
    """(name, PNG bytes) of each panel on its own."""
    plt = plotting.pyplot()
    out = []
    for name, draw in shown_panels(summary):
        fig, ax = plt.subplots(figsize=(6.2, 4.2), layout="constrained")
        draw(ax, summary)
        buf = io.BytesIO()
        fig.savefig(buf, format="png", dpi=90)
        plt.close(fig)
        out.append((name, buf.getvalue()))
    return out
