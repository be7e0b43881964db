"""Markdown tables of a train_fall_model report (the figures of
docs/fall_model.md come from here, not from hand copies).

    report_tables.py REPORT.json [REPORT.json ...] [--candidates NAME,NAME] [--rank]

Prints, per candidate: the KFall figures of every fold, pooled over the
folds (with Wilson 95 % intervals) and their mean and spread across folds;
the SisFall figures likewise, per age group; false alarms per task and the
lead-time quartiles. --rank instead ranks the candidates by the choice rule
(most targets met, then fewest recordings short of the others, false alarms
before timing)."""

import argparse
import json
import math
import sys

# The targets every candidate is judged against, and how many recordings a
# figure is short of its target (0 when met).
LEAD_TARGET_SAMPLES = 18
FALSE_ALARMS_PER_HOUR_TARGET = 3.0


def _needed(share, total):
    return math.ceil(round(share * total, 9))


def shortfalls(pooled):
    """{target: recordings short (samples for the lead)} of pooled figures;
    the SisFall false-alarm rate counts recordings above 3 per hour."""
    out = {}
    k, s = pooled.get("kfall"), pooled.get("sisfall")
    if k:
        out["sensitivity"] = max(0, _needed(0.995, k["falls"]) - k["detected"])
        out["specificity"] = max(0, _needed(0.985, k["adl"]) - k["tn"])
        out["good"] = max(0, _needed(0.97, k["falls"]) - k["good"])
        out["lead"] = max(0.0, LEAD_TARGET_SAMPLES - (k["median_lead"] or 0.0))
    if s:
        out["adl_clean"] = max(0, _needed(0.97, s["adl"]) - (s["adl"] - s["fp"]))
        out["adl_clean_elderly"] = max(0, _needed(0.97, s["adl_elderly"]) - (s["adl_elderly"] - s["fp_elderly"]))
        out["falls_detected"] = max(0, _needed(0.98, s["falls"]) - s["detected"])
        out["false_alarms_per_hour"] = max(0, s["fp"] - math.floor(FALSE_ALARMS_PER_HOUR_TARGET * s["adl_hours"]))
    return out


FALSE_ALARM_TARGETS = ("specificity", "adl_clean", "adl_clean_elderly", "false_alarms_per_hour")


def ranking_key(pooled):
    """The choice rule: most targets met, then fewest recordings short of
    the others, then fewest false-alarm recordings short, then the lead."""
    short = shortfalls(pooled)
    recordings = {t: v for t, v in short.items() if t != "lead"}
    return (-sum(1 for v in short.values() if v == 0), sum(recordings.values()),
            sum(recordings[t] for t in FALSE_ALARM_TARGETS if t in recordings), short.get("lead", 0.0))


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


def fold_rows(c, dataset, row):
    """One row per fold that has the data set, then the pooled row."""
    rows = [row("fold %d" % k, f[dataset]) for k, f in enumerate(c["folds"], start=1) if dataset in f]
    return rows + [row("**all folds**", c["pooled"][dataset])]


def candidate_tables(name, c, out):
    out.append("### %s\n" % name)
    out.append("Settings: %s.\n" % c["settings"])
    if "kfall" in c["pooled"]:
        out.append("| KFall | sensitivity | specificity | good | lead quartiles (samples) | early | late | missed |")
        out.append("|---|---|---|---|---|---|---|---|")
        out.extend(fold_rows(c, "kfall", kfall_row))
        p = c["pooled"]["kfall"]
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
        out.extend(fold_rows(c, "sisfall", sisfall_row))
        p = c["pooled"]["sisfall"]
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
    parser.add_argument("--rank", action="store_true", help="only the candidates ranked by the choice rule, "
                        "with what each is short of the targets")
    args = parser.parse_args(argv)
    merged = {}
    for path in args.reports:
        with open(path) as f:
            merged.update(json.load(f).get("cross_validation", {}))
    names = args.candidates.split(",") if args.candidates else list(merged)
    if args.rank:
        print("| candidate | targets met | recordings short | of them false alarms | lead short (samples) | "
              "short per target |")
        print("|---|---|---|---|---|---|")
        for n in sorted(names, key=lambda n: ranking_key(merged[n]["pooled"])):
            met, short, alarms, lead = ranking_key(merged[n]["pooled"])
            detail = ", ".join("%s %g" % kv for kv in shortfalls(merged[n]["pooled"]).items() if kv[1])
            print("| %s | %d | %d | %d | %g | %s |" % (n, -met, short, alarms, lead, detail))
        return 0
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
