"""The harness's statistics, rebuilt from the result lines of a log, and its
report text rendered from them, so that a log's own report can be checked
line for line against the recordings it lists."""

import re
import struct
from dataclasses import dataclass, field

from .. import kfall

# The harness's statistics: a row per task number 0 to 39, a column per mode
# 0 to 23 (column 0 the row's total); rows 0, 38 and 39 double as the rows
# of all, ADL and fall recordings.
TASK_SLOTS = 40
MODE_SLOTS = 24
ALL_ROW, ADL_ROW, DOWN_ROW = 0, 38, 39
# The report prints the types of KFall's table only.
REPORTED_TASKS = range(kfall.FIRST_TASK, kfall.LAST_TASK + 1)


def _f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def percentage(count, total):
    """The report's percentage: single-precision count * 100 / total, 0 for
    an empty total. Each step is rounded to single precision; doing one step
    in double and rounding gives the same value as single-precision
    arithmetic for products and quotients of single-precision values."""
    if total == 0:
        return 0.0
    return _f32(_f32(_f32(float(count)) * 100.0) / _f32(float(total)))


@dataclass
class Stats:
    tp: int = 0
    tn: int = 0
    fp: int = 0
    fn: int = 0
    good: int = 0
    soso: list = field(default_factory=lambda: [0] * 5)
    early: int = 0
    late: int = 0
    task_errors: list = field(default_factory=lambda: [0] * TASK_SLOTS)
    mode_counts: list = field(default_factory=lambda: [[0] * MODE_SLOTS
                                                        for _ in range(TASK_SLOTS)])

    @property
    def ok(self):
        return self.good + self.tn

    @property
    def troublemakers(self):
        return self.fp + self.early + self.late + self.fn

    @property
    def scored(self):
        return self.tp + self.tn + self.fp + self.fn


def _has_slot(task):
    return 0 <= task < TASK_SLOTS


def _count_mode(stats, row, mode):
    stats.mode_counts[row][0] += 1
    if mode < MODE_SLOTS:
        stats.mode_counts[row][mode] += 1


def accumulate(recordings):
    """Adds up scored recordings the way the harness scores them. Rows 0, 38
    and 39 double as the rows of tasks 0, 38 and 39, as in the harness."""
    s = Stats()
    for r in recordings:
        t, f, o, i, m = r.task, r.first_frame, r.onset, r.impact, r.first_mode
        if kfall.is_fall(t):
            if f <= 0:
                s.fn += 1
                if _has_slot(t):
                    s.task_errors[t] += 1
            else:
                s.tp += 1
                if f < o:
                    s.early += 1
                elif f >= i:
                    s.late += 1
                elif i - f >= 5:
                    s.good += 1
                else:
                    s.soso[0] += 1
                    s.soso[i - f] += 1
        else:
            if f <= 0:
                s.tn += 1
            else:
                s.fp += 1
                if _has_slot(t):
                    s.task_errors[t] += 1
        if m > 0:
            _count_mode(s, ALL_ROW, m)
            _count_mode(s, DOWN_ROW if kfall.is_fall(t) else ADL_ROW, m)
            if _has_slot(t):
                _count_mode(s, t, m)
    return s


def outcome_of(task, frame, onset, impact):
    """The outcome word the harness prints for these values."""
    if kfall.is_fall(task):
        if frame <= 0:
            return "fn"
        if frame < onset:
            return "early"
        if frame >= impact:
            return "late"
        return "good" if impact - frame >= 5 else "soso"
    return "tn" if frame <= 0 else "fp"


def distance_of(task, frame, onset, impact):
    """The number the harness prints in parentheses, None for fn, tn and fp."""
    outcome = outcome_of(task, frame, onset, impact)
    return {"early": onset - frame, "late": frame - impact, "good": impact - frame,
            "soso": impact - frame}.get(outcome)


def inconsistent_results(recordings):
    """Result lines whose outcome word or distance is not what their own
    frames give: a damaged log, or a harness that scores differently."""
    bad = []
    for r in recordings:
        if (outcome_of(r.task, r.first_frame, r.onset, r.impact) != r.outcome
                or distance_of(r.task, r.first_frame, r.onset, r.impact) != r.distance
                or (r.first_frame > 0) != (r.first_mode > 0)):
            bad.append(r)
    return bad


def _mode_lines(row):
    return ["    - %2d : %d (%.2f%%)" % (m, row[m], percentage(row[m], row[0]))
            for m in range(1, MODE_SLOTS) if row[m] > 0]


def render_report(s):
    """The report's lines from its "# ADL STAT" line on, without line ends
    (the report's first line, a blank one, is left out)."""
    adl = s.tn + s.fp
    down = s.tp + s.fn
    n = s.scored
    out = [
        "# ADL STAT: tn %d(%.2f%%), fp %d(%.2f%%)" % (s.tn, percentage(s.tn, adl), s.fp, percentage(s.fp, adl)),
        "# DOWN STAT: tp %d(%.2f%%){good %d, soso %d (%d, %d, %d, %d), early %d, late %d}, fn %d(%.2f%%)"
        % (s.tp, percentage(s.tp, down), s.good, *s.soso, s.early, s.late, s.fn, percentage(s.fn, down)),
        "",
        "# ALL STAT: ok %d(%.2f%%), soso %d(%.2f%%), troublemakers %d(%.2f%%)"
        % (s.ok, percentage(s.ok, n), s.soso[0], percentage(s.soso[0], n), s.troublemakers,
           percentage(s.troublemakers, n)),
        "",
        "# DETECTION STAT:",
        "",
        "  o ALL : %d" % s.mode_counts[ALL_ROW][0],
        "",
    ]
    out += _mode_lines(s.mode_counts[ALL_ROW])
    out += ["", "  o ADL : %d" % s.mode_counts[ADL_ROW][0], ""]
    out += _mode_lines(s.mode_counts[ADL_ROW])
    out += ["", "  o DOWN : %d" % s.mode_counts[DOWN_ROW][0], ""]
    out += _mode_lines(s.mode_counts[DOWN_ROW])
    for t in REPORTED_TASKS:
        row = s.mode_counts[t]
        if row[0] > 0:
            out += ["", "  o Type-%02d : %d (%s)" % (t, row[0], kfall.task_name(t)), ""]
            out += _mode_lines(row)
    out += ["", "# DETECTION ERROR:", ""]
    for t in REPORTED_TASKS:
        if s.task_errors[t] > 0:
            out.append("  o %02d: %d (%s)" % (t, s.task_errors[t], kfall.task_name(t)))
    return out


@dataclass
class ReportCheck:
    status: str            # "match", "differs", "missing" or "incomplete"
    compared: int = 0      # report lines compared
    expected: int = 0      # lines the full report has
    differences: list = field(default_factory=list)  # (line offset, in the log, rebuilt)
    inconsistent: list = field(default_factory=list)  # recordings whose result line contradicts itself

    @property
    def agrees(self):
        return self.status in ("match", "incomplete")

    def describe(self):
        if self.status == "match":
            return "the harness's report agrees with the result lines (%d lines compared)" % self.compared
        if self.status == "missing":
            return ("the log has no statistics report (the run was cut off before it); "
                    "all figures come from the result lines alone")
        if self.status == "incomplete":
            return ("the harness's report stops after %d of its %d lines; the lines present agree "
                    "with the result lines" % (self.compared, self.expected))
        if self.inconsistent:
            r = self.inconsistent[0]
            return ("%d result line(s) DISAGREE with their own frames; first: line %d, %s scored %s"
                    % (len(self.inconsistent), r.line_number, r.path, r.outcome))
        first = self.differences[0]
        return ("the harness's report DISAGREES with the result lines at %d line(s); first: "
                "report says %r, result lines give %r" % (len(self.differences), first[1], first[2]))


def check_report(log, stats=None):
    """Compares the log's report with the one its result lines give."""
    stats = stats if stats is not None else accumulate(log.scored)
    expected = render_report(stats)
    actual = log.report_lines
    inconsistent = inconsistent_results(log.scored)
    if inconsistent:
        return ReportCheck("differs", compared=len(actual or ()), expected=len(expected), inconsistent=inconsistent)
    if actual is None:
        return ReportCheck("missing", expected=len(expected))
    # Blank lines at the end of a log cut inside the report prove nothing.
    while actual and actual[-1] == "":
        actual = actual[:-1]
    differences = []
    for offset in range(max(len(actual), len(expected))):
        a = actual[offset] if offset < len(actual) else None
        e = expected[offset] if offset < len(expected) else None
        if a is None:
            break
        if a != e:
            differences.append((offset, a, e))
    if differences:
        return ReportCheck("differs", compared=len(actual), expected=len(expected), differences=differences)
    if len(actual) < len(expected) and not (log.cut_mid_line is None and _complete_at(actual, expected)):
        return ReportCheck("incomplete", compared=len(actual), expected=len(expected))
    return ReportCheck("match", compared=len(actual), expected=len(expected))


def _complete_at(actual, expected):
    # Only trailing blank lines may be missing from a complete report.
    return all(line == "" for line in expected[len(actual):])


_HEADLINE = {
    "adl": re.compile(r"^# ADL STAT: tn (\d+)\([\d.]+%\), fp (\d+)\([\d.]+%\)$"),
    "down": re.compile(r"^# DOWN STAT: tp (\d+)\([\d.]+%\)\{good (\d+), soso (\d+) \((\d+), (\d+), (\d+), "
                       r"(\d+)\), early (\d+), late (\d+)\}, fn (\d+)\([\d.]+%\)$"),
    "all": re.compile(r"^# ALL STAT: ok (\d+)\([\d.]+%\), soso (\d+)\([\d.]+%\), troublemakers (\d+)\([\d.]+%\)$"),
}


def report_totals(report_lines):
    """The counters the report's first lines state, as far as they are present."""
    totals = {}
    for line in report_lines or ():
        m = _HEADLINE["adl"].match(line)
        if m:
            totals.update(tn=int(m.group(1)), fp=int(m.group(2)))
        m = _HEADLINE["down"].match(line)
        if m:
            keys = ("tp", "good", "soso", "soso1", "soso2", "soso3", "soso4", "early", "late", "fn")
            totals.update(zip(keys, (int(g) for g in m.groups())))
        m = _HEADLINE["all"].match(line)
        if m:
            totals.update(ok=int(m.group(1)), troublemakers=int(m.group(3)))
    return totals
