#!/usr/bin/python3
"""Markdown tables of a train_fall_model report (the figures of
docs/fall_model.md come from here, not from hand copies).

    report_tables.py REPORT.json [REPORT.json ...] [--candidates NAME,NAME]

Prints, per candidate: the KFall figures of every fold, pooled over the
folds (with Wilson 95 % intervals) and their mean and spread across folds;
the SisFall figures likewise, per age group; false alarms per task and the
lead-time quartiles."""

import argparse
import json
import sys


def pct(v):
    return "—" if v is None else "%.2f %%" % (100 * v)


def kfall_row(label, f):
    lead = f.get("lead_quartiles") or [None] * 3
    return "| %s | %s (%d/%d) | %s (%d/%d) | %s (%d) | %s | %d | %d | %d |" % (
        label, pct(f["sensitivity"]), f["detected"], f["falls"], pct(f["specificity"]), f["tn"], f["adl"],
        pct(f["good_share"]), f["good"], " / ".join("%g" % v for v in lead) if lead[0] is not None else "—",
        f["early"], f["late"], f["fn"])


def sisfall_row(label, f):
    return "| %s | %s (%d/%d) | %s (%d/%d) | %s (%d/%d) | %s (%d/%d) | %.2f (%d in %.2f h) |" % (
        label, pct(f["adl_clean"]), f["adl"] - f["fp"], f["adl"],
        pct(f.get("adl_clean_elderly")), f.get("adl_elderly", 0) - f.get("fp_elderly", 0), f.get("adl_elderly", 0),
        pct(f.get("adl_clean_young")), f.get("adl_young", 0) - f.get("fp_young", 0), f.get("adl_young", 0),
        pct(f["falls_detected"]), f["detected"], f["falls"], f["false_alarms_per_hour"] or 0.0, f["fp"],
        f["adl_hours"])


def spread(across, key, scale=100.0, unit=" %"):
    s = across.get(key)
    if not s:
        return "—"
    return "%.2f ± %.2f%s (%.2f–%.2f)" % (scale * s["mean"], scale * s["sd"], unit, scale * s["min"],
                                          scale * s["max"])


def candidate_tables(name, c, out):
    out.append("### %s\n" % name)
    out.append("Settings: %s.\n" % c["settings"])
    if "kfall" in c["pooled"]:
        out.append("| KFall | sensitivity | specificity | good | lead quartiles (samples) | early | late | missed |")
        out.append("|---|---|---|---|---|---|---|---|")
        for k, f in enumerate(c["folds"], start=1):
            if "kfall" in f:
                out.append(kfall_row("fold %d" % k, f["kfall"]))
        p = c["pooled"]["kfall"]
        out.append(kfall_row("**all folds**", p))
        a = c["across_folds"]
        out.append("")
        out.append("Across folds (mean ± standard deviation, range): sensitivity %s, specificity %s, good %s, "
                   "median lead %s. Wilson 95 %% intervals of the pooled figures: sensitivity %.2f–%.2f %%, "
                   "specificity %.2f–%.2f %%." % (
                       spread(a, "kfall.sensitivity"), spread(a, "kfall.specificity"), spread(a, "kfall.good_share"),
                       spread(a, "kfall.median_lead", 1.0, " samples"),
                       100 * p["sensitivity_wilson95"][0], 100 * p["sensitivity_wilson95"][1],
                       100 * p["specificity_wilson95"][0], 100 * p["specificity_wilson95"][1]))
        out.append("")
        out.append("KFall false alarms by task: %s; by first mode: %s.\n" % (
            ", ".join("task %s: %d" % kv for kv in p["false_alarms_by_task"].items()) or "none",
            ", ".join("mode %s: %d" % kv for kv in p["false_alarm_modes"].items()) or "none"))
    if "sisfall" in c["pooled"]:
        out.append("| SisFall | ADL without false alarm | elderly | young | falls detected | false alarms per hour of ADL |")
        out.append("|---|---|---|---|---|---|")
        for k, f in enumerate(c["folds"], start=1):
            if "sisfall" in f:
                out.append(sisfall_row("fold %d" % k, f["sisfall"]))
        p = c["pooled"]["sisfall"]
        out.append(sisfall_row("**all folds**", p))
        out.append("")
        out.append("SisFall false alarms by task: %s.\n" % (
            ", ".join("task %s: %d" % kv for kv in p["false_alarms_by_task"].items()) or "none"))


def summary_row(name, c):
    k = c["pooled"].get("kfall")
    s = c["pooled"].get("sisfall")
    cells = [name]
    if k:
        cells += [pct(k["sensitivity"]), pct(k["specificity"]), pct(k["good_share"]),
                  "%g" % k["median_lead"] if k["median_lead"] is not None else "—"]
    if s:
        cells += [pct(s["adl_clean"]), pct(s.get("adl_clean_elderly")), pct(s["falls_detected"]),
                  "%.2f" % s["false_alarms_per_hour"]]
    return "| " + " | ".join(cells) + " |"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("reports", nargs="+")
    parser.add_argument("--candidates", help="only these, in this order (comma-separated)")
    args = parser.parse_args(argv)
    merged = {}
    for path in args.reports:
        with open(path) as f:
            merged.update(json.load(f).get("cross_validation", {}))
    names = args.candidates.split(",") if args.candidates else list(merged)
    out = ["| candidate | KFall sensitivity | specificity | good | median lead | SisFall ADL clean | elderly | "
           "falls detected | false alarms/h |", "|---|---|---|---|---|---|---|---|---|"]
    out += [summary_row(n, merged[n]) for n in names]
    out.append("")
    for n in names:
        candidate_tables(n, merged[n], out)
    print("\n".join(out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
