"""Summarises a tumblebench run (its saved console log, or the run folder
`evaluate` made), or compares runs.

  run_summary RUN [-o DIR] [--csv F] [--png F] [--html F] [--text F] [--gallery N]
  run_summary --compare BASE RUN [RUN ...] [-o DIR] [--changes] [--csv F] [--png F] [--html F] [--text F]
  run_summary --pool RUN RUN [...] [--name NAME] [-o DIR]
  run_summary --runs-dir RUNS NAME ...       runs named by their names in RUNS (evaluate --runs-dir)
  run_summary --index RUNS                   rebuild RUNS/runs.csv

RUN is a log file or a run folder; a manifest.json beside the log names the
run and says what produced it. With -o, metrics.json holds the headline
figures as data and every CSV is tidy (one header per column, plain
numbers).

Exit status (tumblebench.exit_status): 0; 1 when a log's statistics report
disagrees with its result lines; 2 for bad arguments, files that are not a
run's log or manifest, and outputs that cannot be written; 128 + N when
stopped by signal N.
"""

import argparse
import os
import sys

from .. import exit_status, stop_signals
from . import compare as compare_mod
from . import console_log, estimates, metrics, run_folder, runs_index, tidy_tables
from . import summary as summary_mod

SUMMARY_FILES = {"csv": "results.csv", "png": "summary.png", "html": "summary.html", "text": "summary.txt"}
COMPARE_FILES = {"csv": "flips.csv", "png": "comparison.png", "html": "comparison.html", "text": "comparison.txt"}
# Written only into an output folder (-o).
TABLE_FILES = {"subjects": "per_subject.csv", "groups": "per_group.csv", "activities": "per_activity.csv",
               "timing": "timing.csv"}
PAIRS_FILE = "pairs.csv"
HEADLINE_FILE = "headline.csv"
COMPARISON_DATA_FILE = "comparison.json"
DEFAULT_GALLERY = 40


class Failure(Exception):
    pass


def load(path, args):
    try:
        if args.runs_dir:
            path = runs_index.find(args.runs_dir, path)
        log_path, folder = run_folder.locate(path)
        context = run_folder.load_context(log_path, folder, args.subjects_table, args.recordings_table)
        log = console_log.read_log(log_path)
    except (run_folder.RunFolderError, runs_index.RunsError, console_log.LogFormatError) as e:
        raise Failure(str(e))
    except OSError as e:
        raise Failure("%s: %s" % (path, e.strerror or e))
    if not log.recordings and log.report_lines is None:
        if log.usage_text:
            raise Failure("%s holds only the harness's usage text: that run was started with bad arguments "
                          "and did nothing" % log_path)
        raise Failure("%s holds no tumblebench output (no replay, no result line, no statistics report)" % log_path)
    return summary_mod.summarize(log, context, (args.bootstrap, args.seed))


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
        tables = [("subjects", tidy_tables.subject_table), ("timing", tidy_tables.timing_table)]
        if research.groups:
            tables.append(("groups", tidy_tables.age_group_table))
        if research.activities:
            tables.append(("activities", tidy_tables.activity_table))
        for kind, table in tables:
            tidy_tables.write_csv(os.path.join(args.output_dir, TABLE_FILES[kind]), *table(research))
        run_folder.write_atomically(os.path.join(args.output_dir, metrics.FILE),
                                    run_folder.json_text(metrics.run_metrics(summary, os.path.abspath(
                                        summary.context.folder or args.output_dir))))
    if "png" in files or "html" in files:
        from . import summary_figures
        if "png" in files:
            summary_figures.write_dashboard(summary, files["png"])
        if "html" in files:
            from . import gallery, html_page
            shown = gallery.figures(summary, args.gallery, report=progress)
            write_text(files["html"], html_page.summary_page(summary, summary_figures.panel_pngs(summary), shown))
    if "text" in files:
        write_text(files["text"], text)
    if not args.quiet:
        sys.stdout.write(text)
    return [summary]


def progress(text):
    sys.stderr.write("run_summary: %s\n" % text)
    sys.stderr.flush()


def run_compare(args):
    runs = [load(path, args) for path in args.logs]
    cmp = compare_mod.compare(runs)
    files = outputs(args, COMPARE_FILES)
    text = compare_mod.text_comparison(cmp, changes=args.changes)
    if "csv" in files:
        compare_mod.write_flips_csv(cmp, files["csv"])
    if args.output_dir:
        tidy_tables.write_csv(os.path.join(args.output_dir, PAIRS_FILE), *compare_mod.pairs_table(cmp))
        tidy_tables.write_csv(os.path.join(args.output_dir, HEADLINE_FILE), *compare_mod.headline_table(cmp))
        run_folder.write_atomically(os.path.join(args.output_dir, COMPARISON_DATA_FILE),
                                    run_folder.json_text(compare_mod.comparison_data(cmp)))
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
    stop_signals.install()
    parser = argparse.ArgumentParser(
        prog="run_summary",
        description="Summarise a tumblebench run (its console log, tumblebench ... > run.log, or a run folder made "
                    "by evaluate): per-recording CSV, figures, headline figures with confidence intervals, per "
                    "subject, per age group and per fall type, checked against the harness's own report, a "
                    "gallery of every false alarm and missed or late fall, and metrics.json. With --compare, "
                    "show what changed between runs and test whether they differ.")
    parser.add_argument("logs", nargs="*", metavar="RUN",
                        help="saved standard output of a tumblebench run, or a run folder (with --runs-dir: a "
                             "run's name)")
    parser.add_argument("--compare", action="store_true",
                        help="compare two or more runs: the first is the base the others are measured against")
    parser.add_argument("--changes", action="store_true",
                        help="with --compare, list every recording whose outcome changed on standard output "
                             "(the CSV always has them)")
    parser.add_argument("--pool", action="store_true",
                        help="summarise two or more runs as one, as the folds of a cross-validation each judged "
                             "by its own model are reported (every run's report is checked on its own; a "
                             "recording in two runs is refused)")
    parser.add_argument("--name", help="the pooled summary's name (default: pooled over N runs)")
    parser.add_argument("--runs-dir", metavar="RUNS",
                        help="name the runs by their names in RUNS, a folder of evaluate --runs-dir (the name a "
                             "run's manifest gives it, or its folder's name); a name that fits no run or "
                             "several is refused")
    parser.add_argument("--index", metavar="RUNS", help="rebuild RUNS/runs.csv from the run folders in RUNS")
    parser.add_argument("-o", "--output-dir", metavar="DIR",
                        help="write every output into DIR (summary: %s, the tables and %s; comparison: %s, %s, "
                             "%s and %s)" % (", ".join(SUMMARY_FILES.values()), metrics.FILE,
                                             ", ".join(COMPARE_FILES.values()), PAIRS_FILE, HEADLINE_FILE,
                                             COMPARISON_DATA_FILE))
    parser.add_argument("--csv", metavar="FILE", help="per-recording results (comparison: the changed recordings)")
    parser.add_argument("--png", metavar="FILE", help="figure with every panel")
    parser.add_argument("--html", metavar="FILE", help="self-contained HTML page with tables, figures and the "
                                                      "gallery")
    parser.add_argument("--text", metavar="FILE", help="the text summary, also printed on standard output")
    parser.add_argument("--gallery", type=int, default=DEFAULT_GALLERY, metavar="N",
                        help="at most N trace figures of false alarms and missed, late or early falls in the "
                             "HTML page (default %(default)s; 0: none)")
    parser.add_argument("-q", "--quiet", action="store_true", help="print nothing on standard output")
    parser.add_argument("--subjects-table", metavar="FILE",
                        help="subject folder -> age group (columns folder, age_group); default: subjects.csv of "
                             "the run folder")
    parser.add_argument("--recordings-table", metavar="FILE",
                        help="recording -> subject folder and activity (columns recording, subject_folder, "
                             "activity, activity_name); default: recordings.csv of the run folder")
    parser.add_argument("--bootstrap", type=int, default=estimates.BOOTSTRAP_RESAMPLES, metavar="N",
                        help="subject resamples of the bootstrap interval (default %(default)s)")
    parser.add_argument("--seed", type=int, default=estimates.BOOTSTRAP_SEED,
                        help="seed of the bootstrap (default %(default)s); the same seed gives the same interval")
    args = parser.parse_args(argv)
    sys.stdout.reconfigure(errors="replace")
    if args.index:
        if args.logs or args.compare or args.pool:
            parser.error("--index takes the runs folder only")
    elif args.compare and len(args.logs) < 2:
        parser.error("--compare takes two runs or more, the base first")
    elif args.compare and args.pool:
        parser.error("--compare and --pool do not go together")
    elif args.pool and len(args.logs) < 2:
        parser.error("--pool takes two runs or more")
    elif not args.compare and not args.pool and len(args.logs) != 1:
        parser.error("give one run, or two or more with --compare or --pool")
    if args.changes and not args.compare:
        parser.error("--changes goes with --compare")
    if args.bootstrap < 1:
        parser.error("--bootstrap needs at least one resample")
    if args.gallery < 0:
        parser.error("--gallery takes a number of figures, 0 or more")

    try:
        if args.index:
            sys.stderr.write("run_summary: %s written\n" % runs_index.update(args.index))
            return exit_status.OK
        summaries = run_compare(args) if args.compare else run_one(args)
    except (Failure, runs_index.RunsError) as e:
        sys.stderr.write("run_summary: %s\n" % e)
        return exit_status.REFUSED
    except OSError as e:
        sys.stderr.write("run_summary: cannot write %s: %s\n" % (e.filename or "output", e.strerror or e))
        return exit_status.REFUSED
    except (KeyboardInterrupt, stop_signals.Stopped) as e:
        sys.stderr.write("run_summary: %s: stopped\n" % stop_signals.name_of(e))
        return stop_signals.status_of(e)
    status = exit_status.OK
    for s in summaries:
        if s.check.status == "differs":
            sys.stderr.write("run_summary: %s: %s\n" % (s.name, s.check.describe()))
            status = exit_status.FAILED
        elif s.check.status in ("missing", "incomplete"):
            sys.stderr.write("run_summary: warning: %s: %s\n" % (s.name, s.check.describe()))
    return status


if __name__ == "__main__":
    sys.exit(main())
