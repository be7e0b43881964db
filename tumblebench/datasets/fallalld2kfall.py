"""Converts FallAllD's waist device into the KFall layout that tumblebench walks.

  fallalld2kfall INPUT OUTPUT [SUBJECT ...]

INPUT is a folder holding FallAllD/ (the download's flat folder of .dat
files), that folder itself, or the packed copy with unpack.sh
(../shared/fallalld). OUTPUT receives sensor_data/SAxx/ with the trial files
and label files, subjects.csv and recordings.csv; run "tumblebench -r" in
OUTPUT/sensor_data. Subjects S01..S15 become folders SA71..SA85. Details:
docs/fallalld.md.

Exit status (tumblebench.exit_status): 0 when every subject was written; 2
for bad arguments, an input that is not a FallAllD download, an unknown
subject or an output that is not empty (nothing done); 1 when the
conversion failed on the way (a malformed file, a file that cannot be
written); 128 + N when stopped by signal N (130 for Ctrl-C). Whatever ends
it early, nothing is written.
"""

import argparse
import os
import sys
import time

from .. import exit_status, stop_signals
from . import fallalld, kfall_layout, source_files

PROG = "fallalld2kfall"


def say(message):
    print("%s: %s" % (PROG, message), file=sys.stderr, flush=True)


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog=PROG, description="Converts the waist device of FallAllD (238/s, raw counts) into the "
        "KFall layout tumblebench walks (100/s, g and deg/s in KFall's axes, label files per "
        "subject). Progress and a summary go to standard error.")
    parser.add_argument("input", help="a folder with FallAllD/, that folder itself, or the packed "
                        "copy with unpack.sh")
    parser.add_argument("output", help="the folder to write (must be empty or absent unless --force)")
    parser.add_argument("subjects", nargs="*", metavar="SUBJECT",
                        help="FallAllD subjects to convert, like S01 S07 (default: all there are)")
    parser.add_argument("--force", action="store_true",
                        help="write into a non-empty OUTPUT: subject folders converted now are "
                        "replaced, others and their table rows are kept")
    parser.add_argument("--skip-malformed", action="store_true",
                        help="leave out a trial with a malformed file with a warning instead of "
                        "stopping")
    return parser.parse_args(argv)


def convert(args):
    """Converts; returns the exit status. What cannot be used is found before
    any work (status 2); a failure on the way leaves nothing written (1)."""
    started = False
    try:
        download = fallalld.Download(args.input)
        chosen = source_files.chosen_subjects(args.subjects, download.subjects, fallalld.folder_name,
                                              args.input)
        with kfall_layout.LayoutWriter(args.output, force=args.force,
                                       recording_columns=kfall_layout.DESCRIBED_RECORDING_COLUMNS) as writer:
            started = True
            write_subjects(args, download, chosen, writer)
    except (source_files.InputError, kfall_layout.LayoutError, OSError) as error:
        say("%s; nothing written" % error)
        return exit_status.FAILED if started else exit_status.REFUSED
    return exit_status.OK


def write_subjects(args, download, chosen, writer):
    skipped = []

    def malformed(error):
        error.path = download.shown(error.path)
        if not args.skip_malformed:
            raise error
        skipped.append(error)
        say("left out: %s" % error)

    totals = []
    started = time.monotonic()
    if not args.subjects:
        for stray in download.strays:
            malformed(stray)
    scratch = writer.staging_area("unpacked")
    for number, subject_id in enumerate(chosen, start=1):
        subject = fallalld.subject_record(subject_id)
        say("%s -> %s (%d/%d)" % (subject_id, subject.folder, number, len(chosen)))
        folder, names = download.subject_files(subject_id, scratch)
        try:
            counts = writer.add_subject(subject, fallalld.read_subject(folder, names, subject_id, malformed))
        finally:
            download.release(folder)
        if counts.recordings == 0:
            raise source_files.InputError("%s in %s: no waist trial could be converted "
                                          "(S<ss>_D3_A<aaa>_T<tt>_A.dat and _G.dat)" % (subject_id, args.input))
        totals.append(counts)
        say("  %d recordings: %d daily activities (%.1f min), %d falls"
            % (counts.recordings, counts.daily_activities, counts.daily_activity_seconds / 60, counts.falls))
    writer.commit()
    report(args, totals, skipped, time.monotonic() - started)


def report(args, totals, skipped, seconds):
    say("wrote %d subjects into %s in %.0f s: %d recordings, %d daily activities (%.2f h), %d falls"
        % (len(totals), os.path.join(os.path.abspath(args.output), kfall_layout.SENSOR_DATA), seconds,
           sum(c.recordings for c in totals), sum(c.daily_activities for c in totals),
           sum(c.daily_activity_seconds for c in totals) / 3600, sum(c.falls for c in totals)))
    if skipped:
        say("%d malformed file(s) left out, each with its trial; the data set is not complete"
            % len(skipped))


def main(argv=None):
    stop_signals.install()
    args = parse_arguments(argv)
    try:
        return convert(args)
    except (KeyboardInterrupt, stop_signals.Stopped) as error:
        say("%s: interrupted; nothing written" % stop_signals.name_of(error))
        return stop_signals.status_of(error)


if __name__ == "__main__":
    sys.exit(main())
