"""How close the detector runs to its thresholds: replays its decision rules
over a run's dumped per-sample features with the down score shifted or
scaled, scores every recording, and draws sensitivity and the share of
labelled falls detected in good time against false alarms per hour.

  sweep_thresholds RUN_FOLDER [--shifts LIST] [--scales LIST] [-o DIR] [--dump]

RUN_FOLDER is a run folder of `evaluate`; its features are those of
`evaluate --dump-features`, or with --dump this tool dumps them itself,
from the run's mirror and with the run's model. Before anything else the
replay must reproduce the run: at shift 0 and scale 1 every recording's
first detection and outcome must be what tumblebench printed, or the tool
stops with exit status 1 and names the recordings that differ.

Exit status (tumblebench.exit_status): 0; 1 when the replay disagrees with
the run; 2 for bad arguments or a run that cannot be swept; 3 when
dump_windows refused the run's model; 128 + N when stopped by signal N.
"""

import argparse
import os
import sys

from .. import stop_signals
from . import console_log, programs, run_folder, sweep

DEFAULT_SHIFTS = "-0.2:0.2:0.05"
DEFAULT_SCALES = "0.8,0.9,1,1.1,1.2"


def say(text):
    sys.stderr.write("sweep_thresholds: %s\n" % text)
    sys.stderr.flush()


def number_list(text):
    """"a,b,c" or "start:stop:step" (stop included)."""
    try:
        if ":" in text:
            start, stop, step = (float(x) for x in text.split(":"))
            if step <= 0 or stop < start:
                raise ValueError
            count = int(round((stop - start) / step)) + 1
            return [round(start + i * step, 10) for i in range(count)]
        values = [float(x) for x in text.split(",") if x.strip()]
        if not values:
            raise ValueError
        return values
    except ValueError:
        raise argparse.ArgumentTypeError("%r: give a,b,c or start:stop:step" % text)


def main(argv=None):
    stop_signals.install()
    try:
        return sweep_command(argv)
    except (KeyboardInterrupt, stop_signals.Stopped) as e:
        say("%s: stopped" % stop_signals.name_of(e))
        return stop_signals.status_of(e)


def sweep_command(argv):
    parser = argparse.ArgumentParser(
        prog="sweep_thresholds",
        description="Replay the decision rules over a run's dumped features with the down score shifted and "
                    "scaled; sensitivity and good share against false alarms per hour.")
    parser.add_argument("run", metavar="RUN_FOLDER", help="a run folder made by evaluate")
    parser.add_argument("--shifts", type=number_list, default=number_list(DEFAULT_SHIFTS),
                        help="added to the down score, after scaling (default %s)" % DEFAULT_SHIFTS)
    parser.add_argument("--scales", type=number_list, default=number_list(DEFAULT_SCALES),
                        help="multiply the down score (default %s)" % DEFAULT_SCALES)
    parser.add_argument("-o", "--output-dir", metavar="DIR",
                        help="where sweep.csv and sweep.png go (default: RUN_FOLDER/sweep)")
    parser.add_argument("--dump", action="store_true", help="dump the features the run folder lacks")
    parser.add_argument("--dump-windows", metavar="PATH",
                        help="the dump_windows program for --dump (default: the run's, then TUMBLEBENCH_DUMP)")
    parser.add_argument("-q", "--quiet", action="store_true", help="print nothing on standard output")
    args = parser.parse_args(argv)

    folder = args.run
    tool = None
    try:
        log_path, found = run_folder.locate(folder)
        if found is None or not os.path.isdir(folder):
            raise run_folder.RunFolderError("%s is not a run folder of evaluate (no %s)"
                                            % (folder, run_folder.MANIFEST))
        context = run_folder.load_context(log_path, folder)
        manifest = context.manifest or {}
        if args.dump:
            # Found before the log is read, the way evaluate finds it: the
            # build of the run's own tumblebench comes before the checkout's.
            tool = programs.dump_windows(args.dump_windows, (manifest.get("tumblebench") or {}).get("path"),
                                         (manifest.get("features") or {}).get("dump_windows"))
        log = console_log.read_log(log_path)
    except (run_folder.RunFolderError, console_log.LogFormatError, programs.ProgramNotFound) as e:
        say(str(e))
        return 2
    except OSError as e:
        say("%s: %s" % (e.filename or folder, e.strerror or e))
        return 2
    recordings = log.scored
    if not recordings:
        say("%s scored no recording: nothing to sweep" % log_path)
        return 2

    try:
        if args.dump:
            model = (manifest.get("model") or {}).get("stored_as")
            sweep.dump_missing(folder, context, recordings, tool, os.path.join(folder, model) if model else None,
                               say)
        data = sweep.load(folder, context, recordings)
    except sweep.SweepError as e:
        say(str(e))
        return e.status

    bad = sweep.disagreements(data)
    if bad:
        say("the replay does NOT reproduce the run at shift 0, scale 1: %d of %d recordings differ; no sweep "
            "was made" % (len(bad), len(recordings)))
        for path, run, replay in bad[:20]:
            say("  %s: the run says %s, the replay gives %s" % (path, run, replay))
        return 1
    say("the replay reproduces the run at shift 0, scale 1: all %d recordings agree" % len(recordings))

    points = sweep.sweep(data, args.shifts, args.scales)
    out = args.output_dir or os.path.join(folder, "sweep")
    try:
        os.makedirs(out, exist_ok=True)
        sweep.write_csv(points, os.path.join(out, "sweep.csv"))
        sweep.draw(points, os.path.join(out, "sweep.png"), "threshold sweep: %s" % context.name)
    except OSError as e:
        say("cannot write %s: %s" % (e.filename or out, e.strerror or e))
        return 2
    if not args.quiet:
        sys.stdout.write("threshold sweep of %s (%d recordings)\n" % (context.name, len(recordings)))
        sys.stdout.write(sweep.text_table(points))
    say("written %s and %s" % (os.path.join(out, "sweep.csv"), os.path.join(out, "sweep.png")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
