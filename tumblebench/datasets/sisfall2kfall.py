"""Converts the SisFall data set into the KFall layout that tumblebench walks.

  sisfall2kfall INPUT OUTPUT [SUBJECT ...]

INPUT is a folder holding SisFall_dataset/ (or that folder itself), or the
packed copy with unpack.sh (../shared/sisfall). OUTPUT receives
sensor_data/SAxx/ with the trial files and label files, subjects.csv and
recordings.csv; run "tumblebench -r" in OUTPUT/sensor_data. Elderly subjects
SE01..SE15 become folders SA51..SA65. Details: docs/sisfall.md.

Exit status (tumblebench.exit_status): 0 when every subject was written; 2
for bad arguments, an input that is not a SisFall download, an unknown
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
from . import kfall_layout, resample, sisfall, source_files

PROG = "sisfall2kfall"


def say(message):
    print("%s: %s" % (PROG, message), file=sys.stderr, flush=True)


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog=PROG, description="Converts SisFall recordings (200/s, raw counts) into the KFall "
        "layout tumblebench walks (100/s, g and deg/s, label files per subject). Progress and "
        "a summary go to standard error.")
    parser.add_argument("input", help="a folder with SisFall_dataset/, that folder itself, or the "
                        "packed copy with unpack.sh")
    parser.add_argument("output", help="the folder to write (must be empty or absent unless --force)")
    parser.add_argument("subjects", nargs="*", metavar="SUBJECT",
                        help="SisFall subjects to convert, like SA01 SE03 (default: all there are)")
    parser.add_argument("--force", action="store_true",
                        help="write into a non-empty OUTPUT: subject folders converted now are "
                        "replaced, others and their table rows are kept")
    parser.add_argument("--decimation", choices=resample.METHODS, default=resample.DEFAULT_METHOD,
                        help="how 200 samples per second become 100 (default %(default)s; "
                        "see docs/sisfall.md)")
    parser.add_argument("--skip-malformed", action="store_true",
                        help="leave out a malformed trial file with a warning instead of stopping")
    return parser.parse_args(argv)


def convert(args):
    """Converts; returns the exit status. What cannot be used is found before
    any work (status 2); a failure on the way leaves nothing written (1)."""
    started = False
    try:
        download = sisfall.Download(args.input)
        chosen = source_files.chosen_subjects(args.subjects, download.subjects, sisfall.folder_name, args.input)
        with kfall_layout.LayoutWriter(args.output, force=args.force) as writer:
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

    totals = {}
    started = time.monotonic()
    scratch = writer.staging_area("unpacked")
    for number, subject_id in enumerate(chosen, start=1):
        subject = sisfall.subject_record(subject_id)
        say("%s -> %s (%d/%d)" % (subject_id, subject.folder, number, len(chosen)))
        folder = download.subject_folder(subject_id, scratch)
        try:
            counts = writer.add_subject(subject, sisfall.read_subject(
                folder, subject_id, args.decimation, malformed))
        finally:
            download.release(folder)
        if counts.recordings == 0:
            raise source_files.InputError("%s in %s holds no SisFall trial files "
                                          "(<code>_%s_R<nn>.txt)" % (subject_id, args.input, subject_id))
        totals[subject_id] = (subject, counts)
        say("  %d recordings: %d daily activities (%.1f min), %d falls"
            % (counts.recordings, counts.daily_activities,
               counts.daily_activity_seconds / 60, counts.falls))
    writer.commit()
    report(args, totals, skipped, time.monotonic() - started)


def report(args, totals, skipped, seconds):
    say("wrote %d subjects into %s in %.0f s (decimation: %s)"
        % (len(totals), os.path.join(os.path.abspath(args.output), kfall_layout.SENSOR_DATA),
           seconds, args.decimation))
    for group in ("young", "elderly"):
        members = [c for s, c in totals.values() if s.age_group == group]
        if members:
            say("  %-7s %2d subjects, %4d recordings: %4d daily activities (%.2f h), %4d falls"
                % (group, len(members), sum(c.recordings for c in members),
                   sum(c.daily_activities for c in members),
                   sum(c.daily_activity_seconds for c in members) / 3600,
                   sum(c.falls for c in members)))
    if skipped:
        say("%d malformed file(s) left out; the data set is not complete" % len(skipped))


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
