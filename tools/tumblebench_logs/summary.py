"""Headline figures and breakdowns of one run, its per-recording CSV and its
text summary."""

import csv
import re
import statistics
from collections import Counter, OrderedDict
from dataclasses import dataclass

from . import stats as stats_mod
from . import tasks

_NAME = re.compile(r"S(?P<subject>\d+)T(?P<task>\d+)R(?P<trial>-?\d+)\.[^./\\]*$")

CSV_COLUMNS = ("path", "subject", "task", "trial", "class", "activity", "detected", "first_frame",
               "first_mode", "onset", "impact", "outcome", "lead_samples", "lead_ms", "detections",
               "samples", "trace")


def name_parts(path):
    """Subject and trial from a KFall-style recording name (S06T20R01.csv);
    None for names of another form."""
    m = _NAME.search(path)
    if not m:
        return None, None
    return int(m.group("subject")), int(m.group("trial"))


def csv_row(rec):
    subject, trial = name_parts(rec.path)
    detected = rec.detected
    return OrderedDict((
        ("path", rec.path),
        ("subject", "" if subject is None else "S%02d" % subject),
        ("task", rec.task),
        ("trial", "" if trial is None else trial),
        ("class", tasks.task_class(rec.task)),
        ("activity", tasks.task_name(rec.task)),
        ("detected", int(detected)),
        ("first_frame", rec.first_frame if detected else ""),
        ("first_mode", rec.first_mode if detected else ""),
        ("onset", rec.onset),
        ("impact", rec.impact),
        ("outcome", rec.outcome),
        ("lead_samples", "" if rec.lead_samples is None else rec.lead_samples),
        ("lead_ms", "" if rec.lead_ms is None else rec.lead_ms),
        # Counted from the detector's own lines; a log cut before them, or
        # filtered, leaves them out, and the count is then left empty.
        ("detections", len(rec.detections) if rec.evaluated else ("" if detected else 0)),
        ("samples", "" if rec.samples is None else rec.samples),
        ("trace", rec.trace or ""),
    ))


def write_csv(log, path):
    with open(path, "w", newline="", encoding="utf-8", errors="surrogateescape") as f:
        writer = csv.DictWriter(f, fieldnames=CSV_COLUMNS)
        writer.writeheader()
        for rec in log.scored:
            writer.writerow(csv_row(rec))


@dataclass
class Summary:
    log: object
    stats: object
    check: object

    @property
    def falls(self):
        return self.stats.tp + self.stats.fn

    @property
    def adls(self):
        return self.stats.tn + self.stats.fp

    @property
    def lead_ms(self):
        """Lead times of the in-time detections (good and soso), in ms."""
        return [r.lead_ms for r in self.log.scored if r.in_time]

    def per_task(self):
        """task -> Counter of outcomes, over every scored recording."""
        by_task = {}
        for r in self.log.scored:
            by_task.setdefault(r.task, Counter())[r.outcome] += 1
        return dict(sorted(by_task.items()))

    def false_alarms(self):
        """(task, false alarms, ADL recordings of that task) for every ADL task in the run."""
        return [(t, c["fp"], c["fp"] + c["tn"]) for t, c in self.per_task().items() if not tasks.is_fall(t)]

    def misses(self):
        """(task, misses, fall recordings of that task) for every fall task in the run."""
        return [(t, c["fn"], sum(c[o] for o in ("good", "soso", "early", "late", "fn")))
                for t, c in self.per_task().items() if tasks.is_fall(t)]

    def first_modes(self):
        """mode -> (fall recordings, ADL recordings) whose first detection was by that mode."""
        modes = {}
        for r in self.log.scored:
            if r.detected:
                fall, adl = modes.get(r.first_mode, (0, 0))
                modes[r.first_mode] = (fall + 1, adl) if r.is_fall else (fall, adl + 1)
        return dict(sorted(modes.items()))

    def headline(self):
        """The headline figures, name -> value; rates in percent (float)."""
        s = self.stats
        def pct(count, total):
            # A rate over no recordings is not 0 %, it does not exist.
            return stats_mod.percentage(count, total) if total else None
        lead = self.lead_ms
        return OrderedDict((
            ("recordings", s.scored),
            ("falls", self.falls),
            ("ADL", self.adls),
            ("tp", s.tp), ("fn", s.fn), ("tn", s.tn), ("fp", s.fp),
            ("good", s.good), ("soso", s.soso[0]), ("early", s.early), ("late", s.late),
            ("sensitivity %", pct(s.tp, self.falls)),
            ("specificity %", pct(s.tn, self.adls)),
            ("in time %", pct(s.good + s.soso[0], self.falls)),
            ("ok %", pct(s.ok, s.scored)),
            ("troublemakers %", pct(s.troublemakers, s.scored)),
            ("median lead ms", statistics.median(lead) if lead else None),
            ("mean lead ms", statistics.fmean(lead) if lead else None),
        ))


def summarize(log):
    s = stats_mod.accumulate(log.scored)
    return Summary(log=log, stats=s, check=stats_mod.check_report(log, s))


def format_value(name, value):
    if value is None:
        return "n/a"
    if name.endswith("%"):
        return "%.2f%%" % value
    if isinstance(value, float):
        return "%.1f" % value
    return str(value)


def _clip(text, width):
    return text if len(text) <= width else text[:width - 3] + "..."


def _ratio(count, total):
    return "%d of %d (%.2f%%)" % (count, total, stats_mod.percentage(count, total))


def text_summary(summary):
    log, s = summary.log, summary.stats
    h = summary.headline()
    out = ["tumblebench run summary%s" % (": " + log.source if log.source else "")]
    out.append("  recordings scored  %d  (falls %d, ADL %d)" % (s.scored, summary.falls, summary.adls))
    if log.not_found:
        out.append("  not found          %d  (%s)" % (len(log.not_found),
                                                     ", ".join(r.path for r in log.not_found[:5])
                                                     + (", ..." if len(log.not_found) > 5 else "")))
    if log.unscored:
        out.append("  replayed, not scored %d" % len(log.unscored))
    if log.invalid_label_lines:
        out.append("  label lines reported invalid  %d (replayed all the same)" % len(log.invalid_label_lines))
    out.append("")
    out.append("  confusion      detected  not detected")
    out.append("    falls        %8d  %12d" % (s.tp, s.fn))
    out.append("    ADL          %8d  %12d" % (s.fp, s.tn))
    out.append("  sensitivity    %s" % format_value("%", h["sensitivity %"]))
    out.append("  specificity    %s" % format_value("%", h["specificity %"]))
    out.append("  falls          good %d, soso %d, early %d, late %d, fn %d; in time %s"
               % (s.good, s.soso[0], s.early, s.late, s.fn, format_value("%", h["in time %"])))
    out.append("  all            ok %s, soso %s, troublemakers %s"
               % (_ratio(s.ok, s.scored), _ratio(s.soso[0], s.scored), _ratio(s.troublemakers, s.scored)))
    lead = summary.lead_ms
    if lead:
        out.append("  lead time      %d in-time detection(s): median %s ms, mean %s ms, min %d ms, max %d ms"
                   % (len(lead), format_value("", h["median lead ms"]), format_value("", h["mean lead ms"]),
                      min(lead), max(lead)))
    else:
        out.append("  lead time      no in-time detections")
    fa = summary.false_alarms()
    if fa:
        out.append("")
        out.append("  false alarms per activity type")
        for t, n, total in fa:
            out.append("    %-60s %s" % (_clip(tasks.type_label(t), 60), _ratio(n, total)))
    miss = summary.misses()
    if miss:
        out.append("")
        out.append("  misses per fall type")
        for t, n, total in miss:
            out.append("    %-60s %s" % (_clip(tasks.type_label(t), 60), _ratio(n, total)))
    modes = summary.first_modes()
    out.append("")
    if modes:
        out.append("  first-detection modes")
        for m, (fall, adl) in modes.items():
            out.append("    mode %-2d  %d  (falls %d, ADL %d)" % (m, fall + adl, fall, adl))
    else:
        out.append("  first-detection modes: no detections")
    out.append("")
    out.append("  check: " + summary.check.describe())
    if summary.check.status == "differs":
        stated = stats_mod.report_totals(log.report_lines)
        rebuilt = {"tp": s.tp, "fn": s.fn, "tn": s.tn, "fp": s.fp, "good": s.good, "soso": s.soso[0],
                   "early": s.early, "late": s.late}
        names = [k for k in rebuilt if k in stated]
        if names:
            out.append("    report says:       " + ", ".join("%s %d" % (k, stated[k]) for k in names))
            out.append("    result lines give: " + ", ".join("%s %d" % (k, rebuilt[k]) for k in names))
    for note in log.notes:
        out.append("  note: " + note)
    return "\n".join(out) + "\n"
