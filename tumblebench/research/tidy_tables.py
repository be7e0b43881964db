"""The summary's breakdowns as tidy tables that other tools can read: one
header per column, plain numbers in the cells (an empty cell where a figure
does not exist, as a rate over no recordings), intervals as _lo and _hi
columns, rates as percentages (0 to 100, from the counts in double
precision), times in ms. research_text states the same figures as text."""

import csv
from collections import OrderedDict

from . import breakdowns


def csv_cell(value):
    """A value as a tidy CSV cell: a number as Python writes it back exactly,
    an absent figure as an empty cell, true and false as 1 and 0, a list
    (of subjects) as its items separated by spaces."""
    if value is None:
        return ""
    if isinstance(value, bool):
        return int(value)
    if isinstance(value, list):
        return " ".join(str(v) for v in value)
    return value


def write_csv(path, header, rows):
    with open(path, "w", newline="", encoding="utf-8", errors="surrogateescape") as f:
        writer = csv.writer(f)
        writer.writerow(header)
        writer.writerows([csv_cell(v) for v in row] for row in rows)


def pct(fraction):
    return None if fraction is None else 100.0 * fraction


def interval_fields(name, bounds):
    """name_lo, name_hi in percent; empty without an interval."""
    low, high = (None, None) if bounds is None else (pct(bounds[0]), pct(bounds[1]))
    return ((name + "_lo", low), (name + "_hi", high))


def tally_fields(tally):
    """Every figure of a Tally (breakdowns), in column order."""
    return OrderedDict((
        ("falls", tally.falls), ("tp", tally.tp), ("fn", tally.fn),
        ("sensitivity_pct", pct(tally.sensitivity)),
        *interval_fields("sensitivity_pct", tally.sensitivity_interval),
        ("adl", tally.adl), ("tn", tally.tn), ("fp", tally.fp),
        ("specificity_pct", pct(tally.specificity)),
        *interval_fields("specificity_pct", tally.specificity_interval),
        ("adl_hours", None if tally.adl_without_length else tally.adl_hours),
        ("false_alarms_per_hour", tally.false_alarms_per_hour),
        ("labelled_falls", tally.labelled_falls), ("good", tally.good), ("good_pct", pct(tally.good_share)),
        ("unlabelled_detected", tally.unlabelled_detected), ("unlabelled_missed", tally.unlabelled_missed),
    ))


def spread_fields(name, values_ms):
    """Median and quartiles of times in ms: name_median, name_q1, name_q3."""
    q = breakdowns.quartiles(values_ms)
    q1, median, q3 = q if q is not None else (None, None, None)
    return ((name + "_median", median), (name + "_q1", q1), (name + "_q3", q3))


def timing_fields(row):
    return OrderedDict((("labelled", row.labelled), ("detected", row.detected), ("late", row.late),
                        ("unlabelled", row.unlabelled), *spread_fields("latency_ms", row.latency_ms),
                        *spread_fields("lead_ms", row.lead_ms)))


def _table(first_columns, rows):
    """(header, rows) from (leading values, OrderedDict of fields) pairs."""
    rows = list(rows)
    if not rows:
        return tuple(first_columns), []
    header = tuple(first_columns) + tuple(rows[0][1])
    return header, [tuple(lead) + tuple(fields.values()) for lead, fields in rows]


def subject_table(research):
    return _table(("subject", "age_group"), (((r.label, r.group), tally_fields(r.tally)) for r in research.subjects))


def age_group_table(research):
    return _table(("age_group",), (((r.label,), tally_fields(r.tally)) for r in research.groups))


def activity_table(research):
    return _table(("activity", "activity_name"), (((r.label, r.name), tally_fields(r.tally))
                                                  for r in research.activities))


def timing_table(research):
    return _table(("fall_type",), (((row.label,), timing_fields(row))
                                   for row in [research.timing] + research.timing_by_type))
