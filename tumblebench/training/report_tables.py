"""Markdown tables of a train_fall_model report (the figures of
docs/fall_model.md come from here, not from hand copies).

    report_tables.py REPORT.json [REPORT.json ...] [--candidates NAME,NAME] [--rank]

Prints, per candidate: the KFall figures of every fold, pooled over the
folds (with Wilson 95 % intervals) and their mean and spread across folds;
the SisFall figures likewise, per age group, and FallAllD's; false alarms
per task (and first mode) and the lead-time quartiles. --rank instead ranks the candidates by the choice rule
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
KFALL_TARGETS = dict(sensitivity=0.995, specificity=0.985, good=0.97)
# Per data set without fall frames: shares of daily activities without a
# false alarm (overall and per group) and of falls detected.
UNTIMED_TARGETS = {"sisfall": dict(adl_clean=0.97, adl_clean_elderly=0.97, falls_detected=0.95),
                   "fallalld": dict(adl_clean=0.98, falls_detected=0.90)}
DATASET_NAMES = {"kfall": "KFall", "sisfall": "SisFall", "fallalld": "FallAllD"}


def _needed(share, total):
    return math.ceil(round(share * total, 9))


def shortfalls(pooled):
    """{target: recordings short (samples for the lead)} of pooled figures;
    a false-alarm rate counts the recordings above 3 per hour. The targets
    of a data set without fall frames are named after it."""
    out = {}
    k = pooled.get("kfall")
    if k:
        out["sensitivity"] = max(0, _needed(KFALL_TARGETS["sensitivity"], k["falls"]) - k["detected"])
        out["specificity"] = max(0, _needed(KFALL_TARGETS["specificity"], k["adl"]) - k["tn"])
        out["good"] = max(0, _needed(KFALL_TARGETS["good"], k["falls"]) - k["good"])
        out["lead"] = max(0.0, LEAD_TARGET_SAMPLES - (k["median_lead"] or 0.0))
    for dataset, targets in UNTIMED_TARGETS.items():
        f = pooled.get(dataset)
        if not f:
            continue
        for target, share in targets.items():
            if target == "falls_detected":
                total, met = f["falls"], f["detected"]
            else:
                suffix = target[len("adl_clean"):]
                total, met = f["adl" + suffix], f["adl" + suffix] - f["fp" + suffix]
            out["%s %s" % (dataset, target)] = max(0, _needed(share, total) - met)
        out["%s false_alarms_per_hour" % dataset] = max(
            0, f["fp"] - math.floor(FALSE_ALARMS_PER_HOUR_TARGET * f["adl_hours"]))
    return out


def is_false_alarm_target(target):
    return target == "specificity" or target.split(" ")[-1].startswith(("adl_clean", "false_alarms"))


def ranking_key(pooled):
    """The choice rule: most targets met, then fewest recordings short of
    the others, then fewest false-alarm recordings short, then the lead."""
    short = shortfalls(pooled)
    recordings = {t: v for t, v in short.items() if t != "lead"}
    return (-sum(1 for v in short.values() if v == 0), sum(recordings.values()),
            sum(v for t, v in recordings.items() if is_false_alarm_target(t)), short.get("lead", 0.0))


def pct(v):
    return "—" if v is None else "%.2f %%" % (100 * v)


def kfall_row(label, f):
    lead = f.get("lead_quartiles") or [None] * 3
    return "| %s | %s (%d/%d) | %s (%d/%d) | %s (%d) | %s | %d | %d | %d |" % (
        label, pct(f["sensitivity"]), f["detected"], f["falls"], pct(f["specificity"]), f["tn"], f["adl"],
        pct(f["good_share"]), f["good"], " / ".join("%g" % v for v in lead) if lead[0] is not None else "—",
        f["early"], f["late"], f["fn"])


def groups_of(f):
    """The age groups an untimed data set's figures are kept for, elderly first."""
    return sorted((k[len("adl_clean_"):] for k in f if k.startswith("adl_clean_")),
                  key=lambda g: (g != "elderly", g))


def untimed_row(label, f, groups):
    cells = ["%s (%d/%d)" % (pct(f["adl_clean"]), f["adl"] - f["fp"], f["adl"])]
    for g in groups:
        cells.append("%s (%d/%d)" % (pct(f.get("adl_clean_" + g)), f.get("adl_" + g, 0) - f.get("fp_" + g, 0),
                                     f.get("adl_" + g, 0)))
    cells.append("%s (%d/%d)" % (pct(f["falls_detected"]), f["detected"], f["falls"]))
    cells.append("%.2f (%d in %.2f h)" % (f["false_alarms_per_hour"] or 0.0, f["fp"], f["adl_hours"]))
    return "| %s | %s |" % (label, " | ".join(cells))


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
    for dataset in UNTIMED_TARGETS:
        if dataset not in c["pooled"]:
            continue
        p = c["pooled"][dataset]
        # One group only (FallAllD's adults) repeats the overall column.
        groups = [g for g in groups_of(p) if len(groups_of(p)) > 1]
        out.append("| %s | ADL without false alarm | %sfalls detected | false alarms per hour of ADL |" % (
            DATASET_NAMES[dataset], "".join("%s | " % g for g in groups)))
        out.append("|---" * (4 + len(groups)) + "|")
        out.extend(fold_rows(c, dataset, lambda label, f: untimed_row(label, f, groups)))
        out.append("")
        out.append("%s false alarms by task: %s%s.\n" % (
            DATASET_NAMES[dataset],
            ", ".join("task %s: %d" % kv for kv in p["false_alarms_by_task"].items()) or "none",
            "; by first mode: " + (", ".join("mode %s: %d" % kv for kv in p["false_alarm_modes"].items()) or "none")
            if "false_alarm_modes" in p else ""))


def summary_row(name, c):
    k = c["pooled"].get("kfall")
    cells = [name]
    if k:
        cells += [pct(k["sensitivity"]), pct(k["specificity"]), pct(k["good_share"]),
                  "%g" % k["median_lead"] if k["median_lead"] is not None else "—"]
    for dataset in UNTIMED_TARGETS:
        f = c["pooled"].get(dataset)
        if f:
            cells += [pct(f["adl_clean"])] + ([pct(f.get("adl_clean_elderly"))] if dataset == "sisfall" else [])
            cells += [pct(f["falls_detected"]), "%.2f" % f["false_alarms_per_hour"]]
    return "| " + " | ".join(cells) + " |"


def summary_header(merged, names):
    """The summary table's header, for the data sets the candidates were judged on."""
    pooled = [merged[n]["pooled"] for n in names]
    cells = ["candidate"]
    if any("kfall" in p for p in pooled):
        cells += ["KFall sensitivity", "specificity", "good", "median lead"]
    for dataset in UNTIMED_TARGETS:
        if any(dataset in p for p in pooled):
            cells += ["%s ADL clean" % DATASET_NAMES[dataset]] + (["elderly"] if dataset == "sisfall" else [])
            cells += ["falls detected", "false alarms/h"]
    return ["| " + " | ".join(cells) + " |", "|---" * len(cells) + "|"]


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
    out = summary_header(merged, names)
    out += [summary_row(n, merged[n]) for n in names]
    out.append("")
    for n in names:
        candidate_tables(n, merged[n], out)
    print("\n".join(out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
