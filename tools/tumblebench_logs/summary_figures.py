"""Figures of a run summary: one PNG with every panel, or each panel on its
own for the HTML page."""

import io

from . import plotting, tasks
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
    s = summary.stats
    names = ["good", "soso", "early", "late", "fn"]
    values = [s.good, s.soso[0], s.early, s.late, s.fn]
    bars = ax.bar(names, values, color=[OUTCOME_COLOURS[n] for n in names])
    ax.bar_label(bars, fontsize=8)
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
        bins = list(range(first, max(lead) + width + 1, width))
        ax.hist(lead, bins=bins, color="tab:green", edgecolor="white")
        ax.axvline(100, color="0.4", linestyle=":", linewidth=0.8)
        ax.annotate("good from 5 samples (100 ms)", xy=(100, 1), xycoords=("data", "axes fraction"),
                    xytext=(-3, -10), textcoords="offset points", fontsize=7, color="0.4", ha="right")
        _integer_axis(ax.yaxis)
    else:
        _empty(ax, "no in-time detections")
    ax.set_xlabel("lead time before impact (ms)")
    ax.set_ylabel("in-time detections")
    ax.set_title("lead time of in-time detections (%d)" % len(lead), fontsize=10)


def _per_type(ax, rows, what, colour):
    if not rows:
        _empty(ax, "no recordings of this class")
        return
    labels = ["%02d %s" % (t, _short(tasks.task_name(t))) for t, _, _ in rows]
    counts = [n for _, n, _ in rows]
    y = list(range(len(rows)))
    totals = [total for _, _, total in rows]
    ax.barh(y, totals, color="0.88")
    bars = ax.barh(y, counts, color=colour)
    ax.bar_label(bars, labels=["%d/%d" % (n, total) for _, n, total in rows], fontsize=7, padding=2)
    ax.set_yticks(y, labels, fontsize=7)
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


PANELS = (("confusion", draw_confusion), ("fall_outcomes", draw_fall_outcomes), ("lead_time", draw_lead_times),
          ("false_alarms", draw_false_alarms), ("misses", draw_misses), ("modes", draw_modes))


def _short(text, width=34):
    return text if len(text) <= width else text[:width - 1] + "\u2026"


def _empty(ax, text):
    ax.text(0.5, 0.5, text, transform=ax.transAxes, ha="center", va="center", color="0.4")
    ax.set_xticks([])
    ax.set_yticks([])


def _integer_axis(axis):
    from matplotlib.ticker import MaxNLocator
    axis.set_major_locator(MaxNLocator(integer=True))


def write_dashboard(summary, path, title=None):
    plt = plotting.pyplot()
    fig = plt.figure(figsize=(13, 13), layout="constrained")
    # Rows as subfigures, so that the long type names of the bottom row do
    # not set the margins of the panels above them.
    top, middle, bottom = fig.subfigures(3, 1, height_ratios=[1, 0.8, 1.5])
    ax_conf, ax_out, ax_modes = top.subplots(1, 3)
    draw_confusion(ax_conf, summary)
    draw_fall_outcomes(ax_out, summary)
    draw_modes(ax_modes, summary)
    draw_lead_times(middle.subplots(), summary)
    ax_fa, ax_miss = bottom.subplots(1, 2)
    draw_false_alarms(ax_fa, summary)
    draw_misses(ax_miss, summary)
    fig.suptitle(title or "tumblebench run: %s" % (summary.log.source or "console log"), fontsize=11)
    plotting.save(fig, path)


def panel_pngs(summary):
    """(name, PNG bytes) of each panel on its own."""
    plt = plotting.pyplot()
    out = []
    for name, draw in PANELS:
        fig, ax = plt.subplots(figsize=(6.2, 4.2), layout="constrained")
        draw(ax, summary)
        buf = io.BytesIO()
        fig.savefig(buf, format="png", dpi=90)
        plt.close(fig)
        out.append((name, buf.getvalue()))
    return out
