"""A run's headline figures as data: metrics.json beside its summary, one
flat object whose values are numbers, text, true or false and null (the
subject lists are lists), so that runs.csv and any other tool can read a
run's figures without scraping its text. Rates are percentages (0 to 100)
computed from the counts in double precision, with their intervals as _lo
and _hi; the text summary prints the harness's single-precision percentages,
which agree to the digits it shows. Times are in ms."""

import json
from collections import OrderedDict

from .. import model_record
from . import estimates
from .tidy_tables import interval_fields, pct, spread_fields, tally_fields

FILE = "metrics.json"
FORMAT = 1


def in_sample(manifest):
    """(trained, subjects): whether the run's model was trained on any of the
    run's subjects, and which ("kfall:SA06"), from the model's training
    record and the run's data set; trained is None when the model carries no
    record or the run's data set is not known by name."""
    manifest = manifest or {}
    model, data = manifest.get("model") or {}, manifest.get("data_set") or {}
    record = model.get("training_subjects")
    by_data_set = data.get("subjects_by_data_set") or (
        {data["name"]: data.get("subjects") or []} if data.get("name") else None)
    if not isinstance(record, dict) or not isinstance(by_data_set, dict):
        return None, []
    try:
        overlap = model_record.trained_on(model_record.check(record), by_data_set)
    except model_record.RecordError:
        return None, []
    subjects = ["%s:%s" % (name, folder) for name, folders in sorted(overlap.items()) for folder in folders]
    return bool(subjects), subjects


def pooled_in_sample(contexts):
    """in_sample over the runs of a pooled summary: trained when any run's
    model saw its own subjects, not when none did and every run can tell."""
    found = [(c.name, in_sample(c.manifest)) for c in contexts]
    subjects = ["%s: %s" % (name, s) for name, (_, listed) in found for s in listed]
    if subjects:
        return True, subjects
    return (False if found and all(trained is False for _, (trained, _) in found) else None), []


def provenance_fields(context, folder=None):
    """What produced the run, from its manifest (a pooled summary names the
    runs it pools and has no single model or program)."""
    manifest = context.manifest or {}
    program, model = manifest.get("tumblebench") or {}, manifest.get("model") or {}
    data, rules = manifest.get("data_set") or {}, manifest.get("rules")
    if context.pooled:
        trained, trained_subjects = pooled_in_sample(context.pooled)
    else:
        trained, trained_subjects = in_sample(manifest)
    return OrderedDict((
        ("name", context.name), ("folder", folder), ("status", manifest.get("status")),
        ("started", manifest.get("started")), ("finished", manifest.get("finished")),
        ("pooled_from", [c.name for c in context.pooled]),
        ("tumblebench_version", program.get("version")), ("commit", program.get("commit")),
        ("dirty", program.get("dirty")),
        ("data_set", data.get("name")), ("data_set_root", data.get("root")),
        ("subjects", list(data.get("subjects") or [])), ("walk", (manifest.get("walk") or {}).get("argument")),
        ("model_source", model.get("source")), ("model_sha256", model.get("sha256")),
        ("model_size_bytes", model.get("size_bytes")),
        ("rules_sha256", rules.get("sha256") if isinstance(rules, dict) else None),
        ("model_trained_on_run_subjects", trained), ("model_trained_on_subjects", trained_subjects),
    ))


def figure_fields(summary):
    research, stats, log = summary.research, summary.stats, summary.log
    overall = research.overall
    labelled = overall.labelled
    fields = OrderedDict((("recordings", stats.scored), ("not_found", len(log.not_found)),
                          ("not_scored", len(log.unscored))))
    fields.update(tally_fields(overall))
    fields.update((
        *interval_fields("sensitivity_pct_bootstrap", research.sensitivity_bootstrap),
        *interval_fields("specificity_pct_bootstrap", research.specificity_bootstrap),
        ("bootstrap_subjects", research.bootstrap_subjects),
        ("bootstrap_resamples", summary.bootstrap[0]), ("bootstrap_seed", summary.bootstrap[1]),
        ("bootstrap_min_subjects", estimates.MIN_BOOTSTRAP_SUBJECTS),
        # Outcomes of the labelled falls; unlabelled ones have their own counts.
        ("soso", labelled["soso"]), ("early", labelled["early"]), ("late", labelled["late"]),
        ("in_time_pct", pct((labelled["good"] + labelled["soso"]) / overall.labelled_falls
                            if overall.labelled_falls else None)),
        ("ok_pct", pct(stats.ok / stats.scored if stats.scored else None)),
        ("troublemakers_pct", pct(stats.troublemakers / stats.scored if stats.scored else None)),
        *spread_fields("latency_ms", research.timing.latency_ms),
        *spread_fields("lead_ms", research.timing.lead_ms),
        ("check", summary.check.status),
    ))
    return fields


def run_metrics(summary, folder=None):
    out = OrderedDict(format=FORMAT)
    out.update(provenance_fields(summary.context, folder))
    out.update(figure_fields(summary))
    return out


def metrics_text(metrics):
    return json.dumps(metrics, indent=2, ensure_ascii=False) + "\n"
