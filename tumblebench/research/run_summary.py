"""Summarises a tumblebench run (its saved console log, or the run folder
`evaluate` made), or compares runs.

  run_summary RUN [-o DIR] [--csv F] [--png F] [--html F] [--text F]
  run_summary --compare BASE RUN [RUN ...] [-o DIR] [--csv F] [--png F] [--html F] [--text F]

RUN is a log file or a run folder; a manifest.json beside the log names the
run and says what produced it.

Exit status: 0; 1 when a log's statistics report disagrees with its result
lines; 2 for bad arguments and for files that are not a run's log.
"""

import argparse
import os
import sys

from . import compare as compare_mod
from . import console_log, estimates, research_text, run_folder
from . import summary as summary_mod

SUMMARY_FILES = {"csv": "results.csv", "png": "summary.png", "html": "summary.html", "text": "summary.txt"}
COMPARE_FILES = {"csv": "flips.csv", "png": "comparison.png", "html": "comparison.html", "text": "comparison.txt"}
# Written only into an output folder (-o).
TABLE_FILES = {"subjects": "per_subject.csv", "groups": "per_group.csv", "activities": "per_activity.csv",
               "timing": "timing.csv"}
PAIRS_FILE = "pairs.csv"


class Failure(Exception):
    pass


def load(path, args):
    try:
        log_path, folder = run_folder.locate(path)
        context = run_folder.load_context(log_path, folder, args.subjects_table, args.recordings_table)
        log = console_log.read_log(log_path)
    except run_folder.RunFolderError as e:
        raise Failure(str(e))
    except OSError as e:
        raise Failure("%s: %s" % (path, e.strerror or e))
    except console_log.LogFormatError as e:
        raise Failure(str(e))
    if not log.recordings and log.report_lines is None:
        if log.usage_text:
            raise Failure("%s holds only the harness's usage text: that run was started with bad arguments "
                          "and did nothing" % log_path)
        raise Failure("%s holds no tumblebench output (no replay, no result line, no statistics report)" % log_path)
    return summary_mod.summarize(log, context, (args.bootstrap, args.seed))


def write_table(path, header, rows):
    import csv
    with open(path, "w", newline="", encoding="utf-8", errors="surrogateescape") as f:
        writer = csv.writer(f)
        writer.writerow(header)
        writer.writerows(rows)


def outputs(args, names):
    chosen = {}
    if args.output_dir:
        os.makedirs(args.output_dir, exist_ok=True)
        chosen = {kind: os.path.join(args.output_dir, name) for kind, name in names.items()}
    for kind in names:
        value = getattr(args, kind)
        if value:
            chosen[kind] = value
    return chosen


def write_text(path, text):
    # Paths that are not UTF-8 cannot be shown as they are in text or HTML.
    with open(path, "w", encoding="utf-8", errors="replace") as f:
        f.write(text)


def run_one(args):
    if args.pool:
        runs = [load(path, args) for path in args.logs]
        name = args.name or "pooled over %d runs" % len(runs)
        try:
            summary = summary_mod.pool(runs, name, (args.bootstrap, args.seed))
        except ValueError as e:
            raise Failure("runs that share a recording cannot be pooled: %s" % e)
    else:
        summary = load(args.logs[0], args)
    files = outputs(args, SUMMARY_FILES)
    text = summary_mod.text_summary(summary)
    if "csv" in files:
        summary_mod.write_csv(summary, files["csv"])
    if args.output_dir:
        research = summary.research
        write_table(os.path.join(args.output_dir, TABLE_FILES["subjects"]), *research_text.subject_table(research))
        write_table(os.path.join(args.output_dir, TABLE_FILES["timing"]), *research_text.timing_table(research))
        if research.groups:
            write_table(os.path.join(args.output_dir, TABLE_FILES["groups"]),
                        *research_text.age_group_table(research))
        if research.activities:
            write_table(os.path.join(args.output_dir, TABLE_FILES["activities"]),
                        *research_text.activity_table(research))
    if "png" in files or "html" in files:
        from . import summary_figures
        if "png" in files:
            summary_figures.write_dashboard(summary, files["png"])
        if "html" in files:
            from . import html_page
            write_text(files["html"], html_page.summary_page(summary, summary_figures.panel_pngs(summary)))
    if "text" in files:
        write_text(files["text"], text)
    if not args.quiet:
        sys.stdout.write(text)
    return [summary]


def run_compare(args):
    runs = [load(path, args) for path in args.logs]
    cmp = compare_mod.compare(runs)
    files = outputs(args, COMPARE_FILES)
    text = compare_mod.text_comparison(cmp)
    if "csv" in files:
        compare_mod.write_flips_csv(cmp, files["csv"])
    if args.output_dir:
        compare_mod.write_pairs_csv(cmp, os.path.join(args.output_dir, PAIRS_FILE))
    if "png" in files:
        compare_mod.comparison_png(cmp, files["png"])
    if "html" in files:
        from . import html_page
        write_text(files["html"], html_page.comparison_page(cmp, [("comparison", compare_mod.comparison_png(cmp))]))
    if "text" in files:
        write_text(files["text"], text)
    if not args.quiet:
        sys.stdout.write(text)
    return runs


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="run_summary",
        description="Summarise a tumblebench run (its console log, tumblebench ... > run.log, or a run folder made "
                    "by evaluate): per-recording CSV, figures, headline figures with confidence intervals, per "
                    "subject, per age group and per fall type, checked against the harness's own report. With "
                    "--compare, show what changed between runs and test whether they differ.")
    parser.add_argument("logs", nargs="+", metavar="RUN",
                        help="saved standard output of a tumblebench run, or a run folder")
    parser.add_argument("--compare", action="store_true",
                        help="compare two or more runs: the first is the base the others are measured against")
    parser.add_argument("--pool", action="store_true",
                        help="summarise two or more runs as one, as the folds of a cross-validation each judged "
                             "by its own model are reported (every run's report is checked on its own; a "
                             "recording in two runs is refused)")
    parser.add_argument("--name", help="the pooled summary's name (default: pooled over N runs)")
    parser.add_argument("-o", "--output-dir", metavar="DIR",
                        help="write every output into DIR (summary: %s; comparison: %s)"
                        % (", ".join(SUMMARY_FILES.values()), ", ".join(COMPARE_FILES.values())))
    parser.add_argument("--csv", metavar="FILE", help="per-recording results (comparison: the changed recordings)")
    parser.add_argument("--png", metavar="FILE", help="figure with every panel")
    parser.add_argument("--html", metavar="FILE", help="self-contained HTML page with tables and figures")
    parser.add_argument("--text", metavar="FILE", help="the text summary, also printed on standard output")
    parser.add_argument("-q", "--quiet", action="store_true", help="print nothing on standard output")
    parser.add_argument("--subjects-table", metavar="FILE",
                        help="subject folder -> age group (columns folder, age_group); default: subjects.csv of "
                             "the run folder")
    parser.add_argument("--recordings-table", metavar="FILE",
                        help="recording -> subject folder and activity (columns recording, subject_folder, "
                             "activity); default: recordings.csv of the run folder")
    parser.add_argument("--bootstrap", type=int, default=estimates.BOOTSTRAP_RESAMPLES, metavar="N",
                        help="subject resamples of the bootstrap interval (default %(default)s)")
    parser.add_argument("--seed", type=int, default=estimates.BOOTSTRAP_SEED,
                        help="seed of the bootstrap (default %(default)s); the same seed gives the same interval")
    args = parser.parse_args(argv)
    sys.stdout.reconfigure(errors="replace")
    if args.compare and len(args.logs) < 2:
        parser.error("--compare takes two runs or more, the base first")
    if args.compare and args.pool:
        parser.error("--compare and --pool do not go together")
    if args.pool and len(args.logs) < 2:
        parser.error("--pool takes two runs or more")
    if not args.compare and not args.pool and len(args.logs) != 1:
        parser.error("give one run, or two or more with --compare or --pool")
    if args.bootstrap < 1:
        parser.error("--bootstrap needs at least one resample")

    try:
        summaries = run_compare(args) if args.compare else run_one(args)
    except Failure as e:
        sys.stderr.write("run_summary: %s\n" % e)
        return 2
    except OSError as e:
        sys.stderr.write("run_summary: cannot write %s: %s\n" % (e.filename or "output", e.strerror or e))
        return 2
    status = 0
    for s in summaries:
        if s.check.status == "differs":
            sys.stderr.write("run_summary: %s: %s\n" % (s.name, s.check.describe()))
            status = 1
        elif s.check.status in ("missing", "incomplete"):
            sys.stderr.write("run_summary: warning: %s: %s\n" % (s.name, s.check.describe()))
    return status


if __name__ == "__main__":
    sys.exit(main())
