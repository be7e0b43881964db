"""Evaluates the detector, with its built-in model or a model file, over a
data set in KFall's layout, and keeps everything the run produced in a run
folder of its own: the console log, the traces, the converted label files,
a manifest saying which program, model, data and arguments produced it,
and the run summary with its figures as data (metrics.json).

  evaluate DATA_SET -o RUN_FOLDER [--model FILE] [--subjects SA06-SA21] [--walk all|down|adl]
           [--dump-features] [--name NAME] [--link auto|symlink|hardlink|copy] [--data-set-name NAME]
  evaluate DATA_SET --runs-dir RUNS [...]      a new timestamped folder inside RUNS, indexed in RUNS/runs.csv

The recordings are never written to: the run walks a mirror of the data set
inside the run folder (a link per recording). Progress goes to standard
error, the summary to standard output.

Exit status (tumblebench.exit_status): 0 when the run scored recordings and
its summary agrees with the harness's report; 1 when the run failed (nothing
scored, harness error, summary disagreeing); 2 for bad arguments, a data set
that cannot be used or an output folder that is already used; 3 when the
harness refused the model file; 4 when the harness's walk left subjects out;
128 + N when stopped by signal N (130 for Ctrl-C), the harness stopped first.
"""

import argparse
import os
import shutil
import subprocess
import sys
import threading
import time

from .. import children, exit_status, kfall, model_record, stop_signals
from ..kfall import tables
from . import dataset_mirror, feature_dump, programs, provenance, run_folder, run_summary, runs_index
from .console_log import read_log
from .log_follower import LogFollower

POLL_S = 0.3
# How long the harness has to stop its workers and cut its trace after the
# signal evaluate passes on, before it is killed.
HARNESS_GRACE_S = 30.0


class Refused(Exception):
    """Bad arguments, an unusable data set or output folder: exit status 2."""


class RunFailed(Exception):
    """The run itself failed; `status` is the exit status it gives."""

    def __init__(self, message, status=exit_status.FAILED):
        super().__init__(message)
        self.status = status


def say(text):
    sys.stderr.write("evaluate: %s\n" % text)
    sys.stderr.flush()


def claim_folder(args, manifest):
    """Creates the run folder, or takes an empty one, and claims it with its
    first manifest, created exclusively, so that two runs never share a
    folder."""
    if args.output:
        folder = os.path.abspath(args.output)
        if os.path.lexists(folder):
            if not os.path.isdir(folder) or os.path.islink(folder):
                raise Refused("%s exists and is not a folder" % folder)
            if os.listdir(folder):
                raise Refused("%s is not empty: every run needs a folder of its own (name a new one, or use "
                              "--runs-dir for a new timestamped folder)" % folder)
        else:
            os.makedirs(folder)
    else:
        runs = os.path.abspath(args.runs_dir)
        os.makedirs(runs, exist_ok=True)
        stamp = time.strftime("%Y%m%d-%H%M%S") + ("-" + args.name if args.name else "")
        for attempt in range(1, 100):
            folder = os.path.join(runs, stamp if attempt == 1 else "%s-%d" % (stamp, attempt))
            try:
                os.mkdir(folder)
                break
            except FileExistsError:
                continue
        else:
            raise Refused("no free folder name for %s in %s" % (stamp, runs))
    manifest["name"] = args.name or os.path.basename(folder)
    try:
        run_folder.claim(folder, manifest)
    except FileExistsError:
        raise Refused("%s was claimed by another run at the same moment" % folder)
    return folder


def chosen_model(args):
    """The model file the run is to use, None for the built-in model."""
    given = args.model or os.environ.get("TUMBLIX_MODEL") or None
    if given and not args.model:
        say("TUMBLIX_MODEL is set (%s): the run uses that model file" % given)
    if given and not os.path.isfile(given):
        raise Refused("model file %s: %s" % (given, "not found" if not os.path.exists(given) else "not a file"))
    return given


def training_record(data):
    """The model's record of its training subjects, for the manifest: the
    record, or None with a note on why there is none."""
    if data is None:
        return None, "the model's bytes are not at hand"
    try:
        record = model_record.read(data)
    except model_record.RecordError as e:
        return None, str(e)
    return record, None if record is not None else "the model carries no record of its training subjects"


def model_entry(given, folder, program):
    """The model the run uses, stored in the run folder when it is a file."""
    if not given:
        entry, data = provenance.built_in_model(program)
        stored = None
    else:
        stored = os.path.join(folder, run_folder.MODEL)
        try:
            shutil.copyfile(given, stored)
        except OSError as e:
            raise RunFailed("model file %s cannot be read: %s" % (given, e.strerror or e))
        digest, size = provenance.file_digest(stored)
        # The run reads the stored copy, so that the hash is of what ran.
        entry = {"source": "file", "path": os.path.abspath(given), "stored_as": run_folder.MODEL, "sha256": digest,
                 "size_bytes": size}
        with open(stored, "rb") as f:
            data = f.read()
    entry["training_subjects"], note = training_record(data)
    if note:
        entry["training_subjects_note"] = note
    return entry, stored


def tee(stream, path, echo):
    with open(path, "wb") as f:
        for line in iter(stream.readline, b""):
            f.write(line)
            f.flush()
            echo.buffer.write(line)
            echo.flush()


def stop_harness(proc, error):
    """Passes the signal that stopped evaluate on to the harness, which
    passes it to its workers and cuts its trace; kills it if it is still
    there after HARNESS_GRACE_S."""
    say("%s: stopping tumblebench (pid %d)" % (stop_signals.name_of(error), proc.pid))
    children.stop(proc, stop_signals.signal_of(error), HARNESS_GRACE_S, group=False)


def run_walk(tumblebench, walk_root, argument, log_path, stderr_path, model_path, follower):
    env = dict(os.environ)
    env.pop("TUMBLIX_MODEL", None)
    if model_path:
        env["TUMBLIX_MODEL"] = model_path
    with open(log_path, "wb") as log:
        proc = subprocess.Popen([tumblebench, argument], cwd=walk_root, env=env, stdout=log, stderr=subprocess.PIPE)
        echo = threading.Thread(target=tee, args=(proc.stderr, stderr_path, sys.stderr), daemon=True)
        echo.start()
        try:
            while proc.poll() is None:
                follower.poll()
                time.sleep(POLL_S)
        except (KeyboardInterrupt, stop_signals.Stopped) as error:
            stop_harness(proc, error)
            raise
        echo.join()
    follower.finish()
    return proc.returncode


def walk_failure(status):
    """(why, exit status) of a harness that ended with `status`."""
    if status < 0:
        return ("tumblebench was ended by signal %d (see %s)" % (-status, run_folder.HARNESS_STDERR),
                exit_status.FAILED)
    if status == exit_status.MODEL_REFUSED:
        return ("tumblebench refused the model or rule file (exit status 3, see %s)" % run_folder.HARNESS_STDERR,
                exit_status.MODEL_REFUSED)
    if status == exit_status.INCOMPLETE:
        return ("tumblebench's walk left subjects out (exit status 4, see %s)" % run_folder.HARNESS_STDERR,
                exit_status.INCOMPLETE)
    return "tumblebench ended with exit status %d (see %s)" % (status, run_folder.HARNESS_STDERR), exit_status.FAILED


def count_recordings(log_path):
    log = read_log(log_path)
    scored = log.scored
    return {"scored": len(scored), "not_found": len(log.not_found), "not_scored": len(log.unscored),
            "falls": sum(r.is_fall for r in scored), "adl": sum(not r.is_fall for r in scored),
            "samples": sum(r.samples or 0 for r in scored)}, log


def dump_features(args, folder, mirror, log, model_path):
    tool = args.dump_windows_path
    by_subject = {}
    for rec in log.scored:
        key = kfall.recording_key(rec.path)
        if key in mirror.ambiguous:
            continue
        subject = mirror.recordings.get(key)
        if subject is None:
            raise RunFailed("%s was scored but is not in the mirror; features not dumped" % rec.path)
        by_subject.setdefault(subject, []).append(os.path.basename(rec.path))
    for number, (subject, names) in enumerate(sorted(by_subject.items()), start=1):
        out_dir = os.path.join(folder, run_folder.FEATURES, subject)
        os.makedirs(out_dir, exist_ok=True)
        pairs = [(os.path.join(mirror.walk_root, subject, n), os.path.join(out_dir, n)) for n in sorted(set(names))]
        try:
            feature_dump.dump_recordings(tool, pairs, model=model_path)
        except feature_dump.DumpError as e:
            raise RunFailed(str(e), e.status)
        say("features of %s dumped: %d recordings (%d of %d subjects)" % (subject, len(pairs), number,
                                                                         len(by_subject)))
    return {"folder": run_folder.FEATURES, "recordings": sum(len(set(n)) for n in by_subject.values()),
            "dump_windows": tool}


def summarise(folder):
    sys.stdout.flush()
    return run_summary.main([folder, "-o", folder])


def evaluate(args, folder, manifest):
    """Runs the evaluation into the claimed folder; False when the run
    finished but its summary found a problem. Whatever ends the run, its
    manifest says so."""
    try:
        return run(args, folder, manifest)
    except (KeyboardInterrupt, stop_signals.Stopped) as error:
        manifest.update(status="interrupted", signal=stop_signals.name_of(error), finished=provenance.now())
        write_manifest_on_the_way_out(folder, manifest)
        raise
    except BaseException as error:
        if not manifest["status"].startswith("failed"):
            why = str(error) if isinstance(error, (RunFailed, dataset_mirror.DataSetError, tables.TableError)) \
                else "%s: %s" % (type(error).__name__, error)
            manifest.update(status="failed: %s" % why, finished=provenance.now())
            write_manifest_on_the_way_out(folder, manifest)
        raise


def write_manifest_on_the_way_out(folder, manifest):
    try:
        run_folder.write_manifest(folder, manifest)
    except OSError as e:
        say("the manifest could not be marked %s: %s" % (manifest["status"], e.strerror or e))


def activity_table(args, mirror):
    """(recording key, subject folder, activity, activity name) rows of the
    run's recordings table: activities from the data set's recordings table,
    and where its label files name the source data set's activities (as
    converted data sets do), codes and names from there."""
    data = args.data
    table = {}
    if data.recordings_table:
        table, notes = tables.read_recordings(data.recordings_table)
        for note in notes:
            say(note)
    named, notes = dataset_mirror.label_activities(mirror.walk_root, args.subject_list, args.walk)
    for note in notes:
        say(note)
    rows = []
    for key, subject in sorted(mirror.recordings.items()):
        entry = table.get(key, {})
        code, name = named.get(key, (None, None))
        rows.append((key, subject, entry.get("activity") or code or "", entry.get("activity_name") or name or ""))
    return rows


def run(args, folder, manifest):
    program = provenance.program_version(args.tumblebench_path)
    model, model_path = model_entry(args.model_file, folder, program)
    data = args.data
    names, named_from = dataset_mirror.data_set_names(data, args.subject_list)
    if args.data_set_name:
        names, named_from = {args.data_set_name.lower(): list(args.subject_list)}, "--data-set-name"
    manifest.update({
        "tool": "evaluate",
        "arguments": sys.argv[1:],
        "tumblebench": dict(program, path=args.tumblebench_path),
        "model": model,
        "data_set": {"root": data.root, "name": next(iter(names)) if len(names) == 1 else
                     ("mixed" if names else None), "named_from": named_from, "layout": data.layout,
                     "subjects": args.subject_list, "subjects_by_data_set": names or None,
                     "subjects_table": data.subjects_table, "recordings_table": data.recordings_table},
        "walk": {"argument": dataset_mirror.WALK_ARGUMENT[args.walk], "root": run_folder.WALK_ROOT},
        "host": provenance.host(),
    })
    run_folder.write_manifest(folder, manifest)

    mirror = dataset_mirror.build_mirror(data, args.subject_list, os.path.join(folder, run_folder.DATA),
                                         args.link, report=None)
    manifest["data_set"].update(placed=mirror.placed, names_in_several_subjects=len(mirror.ambiguous))
    if mirror.skipped_traces:
        say("%d trace file(s) of earlier runs in the data set were left out of the mirror" % mirror.skipped_traces)
    if mirror.ambiguous:
        say("%d recording name(s) occur in more than one subject folder (first: %s); the log cannot tell them "
            "apart, so they have no subject in the summary and no feature dump"
            % (len(mirror.ambiguous), sorted(mirror.ambiguous)[0]))
    listed = dataset_mirror.convert_labels(mirror.walk_root, args.subject_list, args.walk,
                                           os.path.dirname(args.tumblebench_path), say)
    manifest["recordings"] = {"listed": sum(listed.values())}
    manifest["data_set"]["without_label_file"] = [s for s, n in listed.items() if n == 0]
    tables.write_recordings(os.path.join(folder, tables.RECORDINGS_TABLE), activity_table(args, mirror))
    if data.subjects_table:
        shutil.copyfile(data.subjects_table, os.path.join(folder, tables.SUBJECTS_TABLE))
    say("%d subject(s) mirrored into %s, %d recordings listed; running tumblebench %s"
        % (len(args.subject_list), folder, manifest["recordings"]["listed"], manifest["walk"]["argument"]))

    manifest["status"] = "running"
    run_folder.write_manifest(folder, manifest)
    log_path = os.path.join(folder, run_folder.LOG)
    follower = LogFollower(log_path, mirror.recordings, listed, say)
    status = run_walk(args.tumblebench_path, mirror.walk_root, manifest["walk"]["argument"], log_path,
                      os.path.join(folder, run_folder.HARNESS_STDERR), model_path, follower)
    counts, log = count_recordings(log_path)
    manifest["recordings"].update(counts)
    manifest.update(exit_status=status, finished=provenance.now())
    failure = walk_failure(status) if status != 0 else None
    if failure is None and counts["scored"] == 0:
        failure = "no recording was scored", exit_status.FAILED
    if failure:
        manifest["status"] = "failed: " + failure[0]
        run_folder.write_manifest(folder, manifest)
        raise RunFailed(*failure)
    manifest["status"] = "finished"
    run_folder.write_manifest(folder, manifest)
    say("%d recordings scored (%d falls, %d daily activities), %d not found; log in %s"
        % (counts["scored"], counts["falls"], counts["adl"], counts["not_found"], log_path))

    if args.dump_features:
        manifest["features"] = dump_features(args, folder, mirror, log, model_path)
        run_folder.write_manifest(folder, manifest)
    summary_status = summarise(folder)
    if summary_status != 0:
        manifest["summary"] = "run_summary ended with exit status %d" % summary_status
        run_folder.write_manifest(folder, manifest)
        return False
    return True


def index_runs(folder, args):
    """Updates runs.csv of the runs folder the run is in: the --runs-dir
    folder, or the parent of -o RUN_FOLDER when it already has a runs.csv."""
    runs = os.path.dirname(folder)
    if not args.runs_dir and not os.path.isfile(os.path.join(runs, runs_index.INDEX)):
        return
    try:
        say("runs index %s updated" % runs_index.update(runs))
    except (OSError, runs_index.RunsError) as e:
        say("the runs index of %s could not be updated: %s" % (runs, getattr(e, "strerror", None) or e))


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="evaluate",
        description="Evaluate the detector over a data set in KFall's layout and keep the run in a folder of its "
                    "own: console log, traces, converted labels, manifest (program, model hash, data, "
                    "arguments, times, host), summary and metrics.json. The recordings are never written to.")
    parser.add_argument("data_set", metavar="DATA_SET",
                        help="KFall download (with sensor_data/ and label_data/), a folder of subject folders "
                             "SAxx, or a packed copy with unpack.sh")
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("-o", "--output", metavar="RUN_FOLDER", help="the run folder: new, or empty")
    where.add_argument("--runs-dir", metavar="RUNS", help="make a new timestamped run folder inside RUNS and "
                                                           "index it in RUNS/runs.csv")
    parser.add_argument("--model", metavar="FILE",
                        help="a .tflite model file to run instead of the built-in model (as TUMBLIX_MODEL)")
    parser.add_argument("--subjects", action="append", metavar="LIST",
                        help="subjects to evaluate: SA06,SA07 or a range SA22-SA29 (repeatable); default all")
    parser.add_argument("--walk", choices=sorted(dataset_mirror.WALK_ARGUMENT), default="all",
                        help="which label file of each subject: all trials (-r, default), falls (-r1), daily "
                             "activities (-r2)")
    parser.add_argument("--dump-features", action="store_true",
                        help="also dump every scored recording's per-sample features (for sweep_thresholds)")
    parser.add_argument("--name", help="the run's name in summaries and comparisons (default: the folder name)")
    parser.add_argument("--data-set-name", metavar="NAME",
                        help="the data set's name (kfall, sisfall, fallalld) when its subject table or label "
                             "spreadsheets do not tell it")
    parser.add_argument("--link", choices=dataset_mirror.LINK_MODES, default="auto",
                        help="how recordings enter the mirror: symbolic links, falling back to hard links and "
                             "copies where the file system needs it (auto, default), or only one way")
    parser.add_argument("--tumblebench", metavar="PATH", help="the tumblebench program (default: TUMBLEBENCH_BIN, "
                                                              "then build/harness/tumblebench)")
    parser.add_argument("--dump-windows", metavar="PATH", help="the dump_windows program (default: "
                                                               "TUMBLEBENCH_DUMP, then beside tumblebench)")
    return parser.parse_args(argv)


def main(argv=None):
    stop_signals.install()
    args = parse_arguments(argv)
    manifest = {"name": args.name, "status": "preparing", "started": provenance.now()}
    try:
        args.tumblebench_path = programs.tumblebench(args.tumblebench)
        args.data = dataset_mirror.find_data_set(args.data_set)
        args.subject_list = dataset_mirror.select_subjects(args.data, args.subjects)
        args.model_file = chosen_model(args)
        if args.dump_features:
            args.dump_windows_path = programs.dump_windows(args.dump_windows, args.tumblebench_path)
        if args.data.ignored:
            say("not walked (not a subject folder name for the harness): %s" % ", ".join(args.data.ignored))
        folder = claim_folder(args, manifest)
    except (Refused, dataset_mirror.DataSetError, programs.ProgramNotFound) as e:
        say(str(e))
        return exit_status.REFUSED
    except OSError as e:
        say("%s: %s" % (e.filename or "output folder", e.strerror or e))
        return exit_status.REFUSED
    except (KeyboardInterrupt, stop_signals.Stopped) as e:
        say("%s; nothing was run" % stop_signals.name_of(e))
        return stop_signals.status_of(e)
    say("run folder %s" % folder)
    try:
        if not evaluate(args, folder, manifest):
            say("the run finished, but its summary found a problem (above)")
            return exit_status.FAILED
    except RunFailed as e:
        say("the run failed: %s" % e)
        return e.status
    except (dataset_mirror.DataSetError, tables.TableError) as e:
        say("the run failed: %s" % e)
        return exit_status.FAILED
    except OSError as e:
        say("the run failed: %s: %s" % (e.filename or "", e.strerror or e))
        return exit_status.FAILED
    except (KeyboardInterrupt, stop_signals.Stopped) as e:
        say("%s: interrupted; what was done is in %s" % (stop_signals.name_of(e), folder))
        return stop_signals.status_of(e)
    finally:
        index_runs(folder, args)
    return exit_status.OK


if __name__ == "__main__":
    sys.exit(main())
