"""Headline figures and breakdowns of one run, its per-recording CSV and its
text summary."""

import csv
import functools
import statistics
from collections import Counter, OrderedDict
from dataclasses import dataclass

from .. import kfall
from . import breakdowns, console_log, estimates, research_text, run_folder
from . import stats as stats_mod
from .plotting import shorten

CSV_COLUMNS = ("path", "subject", "task", "trial", "class", "activity", "activity_name", "detected", "first_frame",
               "first_mode", "onset", "impact", "outcome", "lead_samples", "lead_ms", "detections",
               "samples", "trace", "subject_folder", "age_group", "labelled", "finding", "latency_samples",
               "duration_s")


def csv_row(rec, context):
    subject, trial = kfall.name_parts(rec.path)
    detected = rec.detected
    lead = breakdowns.lead_samples(rec)
    latency = breakdowns.latency_samples(rec)
    entry = context.recordings.get(kfall.recording_key(rec.path), {})
    return OrderedDict((
        ("path", rec.path),
        ("subject", "" if subject is None else "S%02d" % subject),
        ("task", rec.task),
        ("trial", "" if trial is None else trial),
        ("class", kfall.task_class(rec.task)),
        ("activity", context.activity_of(rec) or kfall.task_name(rec.task)),
        ("activity_name", context.activity_name_of(rec) or ""),
        ("detected", int(detected)),
        ("first_frame", rec.first_frame if detected else ""),
        ("first_mode", rec.first_mode if detected else ""),
        ("onset", rec.onset),
        ("impact", rec.impact),
        ("outcome", rec.outcome),
        ("lead_samples", "" if lead is None else lead),
        ("lead_ms", "" if lead is None else lead * kfall.MS_PER_SAMPLE),
        # Counted from the detector's own lines; a log cut before them, or
        # filtered, leaves them out, and the count is then left empty.
        ("detections", len(rec.detections) if rec.evaluated else ("" if detected else 0)),
        ("samples", "" if rec.samples is None else rec.samples),
        ("trace", rec.trace or ""),
        ("subject_folder", entry.get("subject", "")),
        ("age_group", context.group_of(rec) or ""),
        ("labelled", "" if not rec.is_fall else int(not breakdowns.is_unlabelled_fall(rec))),
        ("finding", breakdowns.finding(rec)),
        ("latency_samples", "" if latency is None else latency),
        ("duration_s", "" if rec.samples is None else "%.2f" % (rec.samples / kfall.SAMPLES_PER_SECOND)),
    ))


def write_csv(summary, path):
    with open(path, "w", newline="", encoding="utf-8", errors="surrogateescape") as f:
        writer = csv.DictWriter(f, fieldnames=CSV_COLUMNS)
        writer.writeheader()
        for rec in summary.log.scored:
            writer.writerow(csv_row(rec, summary.context))


@dataclass
class Summary:
    log: object
    stats: object
    check: object
    context: object
    bootstrap: tuple = (estimates.BOOTSTRAP_RESAMPLES, estimates.BOOTSTRAP_SEED)

    @property
    def name(self):
        return self.context.name

    @functools.cached_property
    def research(self):
        resamples, seed = self.bootstrap
        return breakdowns.research(self.log.scored, self.context, resamples, seed)

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

    def per_activity(self):
        """(activity label, task, Counter of outcomes) over every scored
        recording, by task: activities as the data set names them (SisFall's
        D14 is not KFall's "lie on the bed" that it is replayed as), else
        KFall's types."""
        by_label = {}
        for r in self.log.scored:
            label = self.context.activity_label(r)
            by_label.setdefault((r.task, label), Counter())[r.outcome] += 1
        return [(label, task, counts) for (task, label), counts in sorted(by_label.items())]

    def false_alarms(self):
        """(activity, false alarms, its ADL recordings) for every daily activity in the run."""
        return [(label, c["fp"], c["fp"] + c["tn"]) for label, t, c in self.per_activity() if not kfall.is_fall(t)]

    def misses(self):
        """(activity, misses, its fall recordings) for every fall activity in the run."""
        return [(label, c["fn"], sum(c[o] for o in ("good", "soso", "early", "late", "fn")))
                for label, t, c in self.per_activity() if kfall.is_fall(t)]

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
        r = self.research.overall
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
            ("unlabelled falls", r.unlabelled_detected + r.unlabelled_missed),
            ("sensitivity %", pct(s.tp, self.falls)),
            ("specificity %", pct(s.tn, self.adls)),
            # Shares of timing are over the falls that have a label.
            ("in time %", pct(s.good + s.soso[0], r.labelled_falls)),
            ("ok %", pct(s.ok, s.scored)),
            ("troublemakers %", pct(s.troublemakers, s.scored)),
            ("false alarms /h", r.false_alarms_per_hour),
            ("median lead ms", statistics.median(lead) if lead else None),
            ("mean lead ms", statistics.fmean(lead) if lead else None),
        ))


def summarize(log, context=None, bootstrap=None):
    """The summary of a parsed log; `context` (a RunContext) adds what the
    run folder knows, `bootstrap` is (resamples, seed)."""
    s = stats_mod.accumulate(log.scored)
    context = context or run_folder.RunContext(name=log.source)
    summary = Summary(log=log, stats=s, check=stats_mod.check_report(log, s), context=context)
    if bootstrap:
        summary.bootstrap = bootstrap
    return summary


def format_value(name, value):
    if value is None:
        return "n/a"
    if name.endswith("%"):
        return "%.2f%%" % value
    if name.endswith("/h"):
        return "%.2f" % value
    if isinstance(value, float):
        return "%.1f" % value
    return str(value)


def _ratio(count, total):
    return "%d of %d (%.2f%%)" % (count, total, stats_mod.percentage(count, total))


def text_summary(summary):
    log, s = summary.log, summary.stats
    h = summary.headline()
    research = summary.research
    out = ["tumblebench run summary%s" % (": " + summary.name if summary.name else "")]
    out += research_text.provenance_lines(summary.context.manifest)
    in_sample = research_text.in_sample_text(summary)
    if in_sample:
        out.append("  %-14s %s" % ("training", in_sample))
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
    out.append("  sensitivity    %s%s" % (format_value("%", h["sensitivity %"]),
                                        research_text.interval_text(research.overall.sensitivity_interval,
                                                                    research.sensitivity_bootstrap,
                                                                    research.bootstrap_subjects)))
    out.append("  specificity    %s%s" % (format_value("%", h["specificity %"]),
                                        research_text.interval_text(research.overall.specificity_interval,
                                                                    research.specificity_bootstrap,
                                                                    research.bootstrap_subjects)))
    out += research_text.fall_lines(summary)
    out.append("  all            ok %s, soso %s, troublemakers %s"
               % (_ratio(s.ok, s.scored), _ratio(s.soso[0], s.scored), _ratio(s.troublemakers, s.scored)))
    lead = summary.lead_ms
    if lead:
        out.append("  lead time      %d in-time detection(s): median %s ms, mean %s ms, min %d ms, max %d ms"
                   % (len(lead), format_value("", h["median lead ms"]), format_value("", h["mean lead ms"]),
                      min(lead), max(lead)))
    else:
        out.append("  lead time      no in-time detections")
    out += research_text.breakdown_lines(summary)
    for title, rows in (("false alarms per activity type", summary.false_alarms()),
                        ("misses per fall type", summary.misses())):
        if rows:
            out += ["", "  " + title]
            out += ["    %-60s %s" % (shorten(label, 60), _ratio(n, total)) for label, n, total in rows]
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
    for note in log.notes + summary.context.notes:
        out.append("  note: " + note)
    return "\n".join(out) + "\n"


@dataclass
class PooledCheck:
    """The check of a pooled summary: each run's own report against its own
    result lines."""
    checks: list

    @property
    def status(self):
        order = ("differs", "missing", "incomplete", "match")
        return min((c.status for c in self.checks), key=order.index)

    @property
    def agrees(self):
        return all(c.agrees for c in self.checks)

    def describe(self):
        agreeing = sum(c.status == "match" for c in self.checks)
        text = "each run checked on its own: %d of %d reports agree with their result lines" % (
            agreeing, len(self.checks))
        others = [c.describe() for c in self.checks if c.status != "match"]
        return text + ("; " + "; ".join(others) if others else "")


def pool(summaries, name, bootstrap=None):
    """One summary over the recordings of several runs, as cross-validation
    folds judged by their own models are reported: the runs' result lines
    side by side, their data sets' tables merged. A recording that appears in
    two runs would be counted twice, so that is refused."""
    log = console_log.RunLog(source=name)
    context = run_folder.RunContext(name=name)
    seen = {}
    for s in summaries:
        for rec in s.log.scored:
            key = (s.context.subject_of(rec), rec.path)
            if key in seen:
                raise ValueError("%s is in both %s and %s" % (rec.path, seen[key], s.name))
            seen[key] = s.name
        log.recordings += s.log.recordings
        log.invalid_label_lines += s.log.invalid_label_lines
        log.notes += ["%s: %s" % (s.name, n) for n in s.log.notes]
        context.recordings.update(s.context.recordings)
        context.subject_groups.update(s.context.subject_groups)
    context.pooled = [s.context for s in summaries]
    context.notes.append("pooled over %d runs: %s" % (len(summaries), ", ".join(s.name for s in summaries)))
    pooled = Summary(log=log, stats=stats_mod.accumulate(log.scored), check=PooledCheck([s.check for s in summaries]),
                     context=context)
    if bootstrap:
        pooled.bootstrap = bootstrap
    return pooled
