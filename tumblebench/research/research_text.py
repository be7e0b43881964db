"""The research figures of a run as text lines and as tables (header and
rows), so that the text summary, the HTML page and the CSV files state the
same numbers in the same words."""

from . import breakdowns, estimates, metrics
from .plotting import shorten


def pct(fraction, digits=1):
    return "n/a" if fraction is None else "%.*f%%" % (digits, 100.0 * fraction)


def interval(bounds):
    return "n/a" if bounds is None else "%.1f-%.1f%%" % (100.0 * bounds[0], 100.0 * bounds[1])


def bootstrap_text(bootstrap, subjects):
    if subjects < estimates.MIN_BOOTSTRAP_SUBJECTS:
        return "no bootstrap interval: %d subject(s) are too few (it takes %d)" % (
            subjects, estimates.MIN_BOOTSTRAP_SUBJECTS)
    return "%s (bootstrap over %d subjects)" % (interval(bootstrap), subjects)


def interval_text(wilson, bootstrap, subjects):
    if wilson is None:
        return ""
    return "   95%% CI %s (Wilson), %s" % (interval(wilson), bootstrap_text(bootstrap, subjects))


def ms(value):
    return "n/a" if value is None else "%d ms" % round(value)


def spread(values_ms):
    """Median with the quartiles, in ms."""
    q = breakdowns.quartiles(values_ms)
    if q is None:
        return "n/a"
    return "%s (%d to %d)" % (ms(q[1]), round(q[0]), round(q[2]))


def per_hour(tally):
    rate = tally.false_alarms_per_hour
    return "n/a" if rate is None else "%.2f" % rate


def provenance_rows(manifest):
    """(what, value) pairs: what produced the run, from its manifest."""
    if not manifest:
        return []
    rows = []
    program = manifest.get("tumblebench") or {}
    model = manifest.get("model") or {}
    data = manifest.get("data_set") or {}
    if program:
        rows.append(("program", "tumblebench %s, commit %s" % (program.get("version", "?"),
                                                               program.get("commit", "?"))))
    if model:
        where = "built-in" if model.get("source") == "built-in" else model.get("path", "?")
        rows.append(("model", "%s, sha256 %s, %s bytes" % (where, model.get("sha256", "?"),
                                                           model.get("size_bytes", "?"))))
    if data:
        subjects = data.get("subjects") or []
        rows.append(("data set", "%s%s, %d subject(s)%s" % (
            "%s: " % data["name"] if data.get("name") else "", data.get("root", "?"), len(subjects),
            ": " + ", ".join(subjects) if subjects else "")))
    if manifest.get("started"):
        rows.append(("run", "%s to %s on %s, %s" % (manifest.get("started"), manifest.get("finished", "?"),
                                                    (manifest.get("host") or {}).get("name", "?"),
                                                    manifest.get("status", "?"))))
    return rows


def provenance_lines(manifest):
    return ["  %-14s %s" % row for row in provenance_rows(manifest)]


def in_sample_text(summary):
    """Whether the model saw the run's subjects in training, as the model's
    own record tells it: a warning when it did, a line when it did not or
    cannot tell; None for a run without a manifest."""
    context = summary.context
    if not context.manifest and not context.pooled:
        return None
    trained, subjects = (metrics.pooled_in_sample(context.pooled) if context.pooled
                         else metrics.in_sample(context.manifest))
    if trained:
        return ("WARNING: the model was trained on %d of this run's subjects (%s): these figures measure how "
                "well it fits its training data, not how it does on wearers it never saw"
                % (len(subjects), ", ".join(subjects)))
    if trained is False:
        return "the model was trained on none of this run's subjects (its training record says)"
    return ("whether the model was trained on this run's subjects is unknown (the model file carries no record "
            "of its training subjects, or the data set is not known by name)")


def fall_lines(summary):
    s, r = summary.stats, summary.research.overall
    unlabelled = r.unlabelled_detected + r.unlabelled_missed
    # The harness's counts when every fall has a label; else those of the
    # labelled falls, the others follow on their own line.
    counts = r.labelled if unlabelled else {"good": s.good, "soso": s.soso[0], "early": s.early, "late": s.late,
                                            "fn": s.fn}
    out = ["  falls          good %d, soso %d, early %d, late %d, fn %d; in time %s%s"
           % (counts["good"], counts["soso"], counts["early"], counts["late"], counts["fn"],
              "n/a" if not r.labelled_falls else "%.2f%%" % summary.headline()["in time %"],
              " (of %d labelled falls)" % r.labelled_falls if unlabelled else "")]
    if unlabelled:
        out.append("  unlabelled     %d fall(s) without a labelled onset: %s %d, %s %d (late or fn in the "
                   "harness's report)" % (unlabelled, breakdowns.DETECTED_UNTIMED, r.unlabelled_detected,
                                          breakdowns.MISSED, r.unlabelled_missed))
    if r.adl:
        hours = "n/a" if r.adl_without_length else "%.2f h" % r.adl_hours
        out.append("  false alarms   %d in %s of daily-activity recording: %s per hour"
                   % (r.fp, hours, per_hour(r)))
    return out


TIMING_HEADER = ("fall type", "labelled", "detected", "late", "unlabelled", "latency from onset, median (IQR)",
                 "lead before impact, median (IQR)")


def timing_table(research):
    rows = []
    for row in [research.timing] + research.timing_by_type:
        rows.append((row.label, row.labelled, row.detected, row.late, row.unlabelled, spread(row.latency_ms),
                     spread(row.lead_ms)))
    return TIMING_HEADER, rows


GROUP_HEADER = ("falls", "tp", "fn", "sensitivity", "95% CI", "ADL", "fp", "specificity", "95% CI", "ADL hours",
                "false alarms /h", "good of labelled")


def group_table(rows, first, with_group=False):
    """(header, rows) of a per-subject or per-group table; `first` names
    the first column."""
    header = (first,) + (("age group",) if with_group else ()) + GROUP_HEADER
    out = []
    for row in rows:
        t = row.tally
        out.append((row.label,) + ((row.group,) if with_group else ()) +
                   (t.falls, t.tp, t.fn, pct(t.sensitivity), interval(t.sensitivity_interval), t.adl, t.fp,
                    pct(t.specificity), interval(t.specificity_interval),
                    "n/a" if t.adl_without_length else "%.2f" % t.adl_hours, per_hour(t), pct(t.good_share)))
    return header, out


def subject_table(research):
    return group_table(research.subjects, "subject", with_group=any(r.group for r in research.subjects))


def age_group_table(research):
    return group_table(research.groups, "age group")


def activity_table(research):
    return group_table(research.activities, "activity")


def _table_lines(title, header, rows, first_width):
    widths = [first_width] + [max(len(str(h)), *(len(str(r[i])) for r in rows)) for i, h in
                              enumerate(header) if i > 0]
    out = ["", "  " + title]
    out.append("    " + "  ".join(("%-*s" if i == 0 else "%*s") % (w, shorten(str(h), w) if i == 0 else h)
                                  for i, (h, w) in enumerate(zip(header, widths))))
    for r in rows:
        out.append("    " + "  ".join(("%-*s" if i == 0 else "%*s") % (w, shorten(str(v), w) if i == 0 else v)
                                      for i, (v, w) in enumerate(zip(r, widths))))
    return out


def breakdown_lines(summary):
    research = summary.research
    out = []
    if research.timing.labelled:
        out += _table_lines("timing of labelled falls (latency: first detection - onset; lead: impact - first "
                            "detection; 20 ms per sample)", *timing_table(research), 44)
    if len(research.subjects) > 1:
        out += _table_lines("per subject", *subject_table(research), 12)
    if research.groups:
        out += _table_lines("per age group", *age_group_table(research), 12)
    if research.activities:
        out += _table_lines("per activity (as the data set's recordings table names them)",
                            *activity_table(research), 12)
    return out
