"""Evaluates the detector, with its built-in model or a model file, over a
data set in KFall's layout, and keeps everything the run produced in a run
folder of its own: the console log, the traces, the converted label files,
a manifest saying which program, model, data and arguments produced it,
and the run summary.

  evaluate DATA_SET -o RUN_FOLDER [--model FILE] [--subjects SA06-SA21] [--walk all|down|adl]
           [--dump-features] [--name NAME] [--link auto|symlink|hardlink|copy]
  evaluate DATA_SET --runs-dir RUNS [...]      a new timestamped folder inside RUNS

The recordings are never written to: the run walks a mirror of the data set
inside the run folder (a link per recording). Progress goes to standard
error, the summary to standard output.

Exit status: 0 when the run scored recordings and its summary agrees with
the harness's report; 1 when the run failed (model refused, nothing scored,
harness error, summary disagreeing); 2 for bad arguments, a data set that
cannot be used or an output folder that is already used; 130 when
interrupted.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import threading
import time

from .. import kfall
from ..kfall import tables
from . import dataset_mirror, feature_dump, provenance, run_folder, run_summary
from .console_log import read_log
from .log_follower import LogFollower

POLL_S = 0.3


class Refused(Exception):
    """Bad arguments, an unusable data set or output folder: exit status 2."""


class RunFailed(Exception):
    """The run itself failed: exit status 1."""


def say(text):
    sys.stderr.write("evaluate: %s\n" % text)
    sys.stderr.flush()


def find_program(given, variable, candidates, what):
    for path in [given, os.environ.get(variable)] + candidates:
        if path and os.path.isfile(path) and os.access(path, os.X_OK):
            return os.path.abspath(path)
    raise Refused("%s not found; build the project (make build) or name it with %s"
                  % (what, "--tumblebench or TUMBLEBENCH_BIN" if variable == "TUMBLEBENCH_BIN" else variable))


def claim_folder(args):
    """Creates the run folder, or takes an empty one, and claims it with a
    manifest created exclusively, so that two runs never share a folder."""
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
    try:
        fd = os.open(os.path.join(folder, run_folder.MANIFEST), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
    except FileExistsError:
        raise Refused("%s was claimed by another run at the same moment" % folder)
    os.close(fd)
    return folder


def write_manifest(folder, manifest):
    path = os.path.join(folder, run_folder.MANIFEST)
    with open(path + ".new", "w", encoding="utf-8") as f:
        json.dump(manifest, f, indent=2, ensure_ascii=False)
        f.write("\n")
    os.replace(path + ".new", path)


def chosen_model(args):
    """The model file the run is to use, None for the built-in model."""
    given = args.model or os.environ.get("TUMBLIX_MODEL") or None
    if given and not args.model:
        say("TUMBLIX_MODEL is set (%s): the run uses that model file" % given)
    if given and not os.path.isfile(given):
        raise Refused("model file %s: %s" % (given, "not found" if not os.path.exists(given) else "not a file"))
    return given


def model_entry(given, folder, program):
    """The model the run uses, stored in the run folder when it is a file."""
    if not given:
        return provenance.built_in_model(program), None
    stored = os.path.join(folder, run_folder.MODEL)
    try:
        shutil.copyfile(given, stored)
    except OSError as e:
        raise RunFailed("model file %s cannot be read: %s" % (given, e.strerror or e))
    digest, size = provenance.file_digest(stored)
    # The run reads the stored copy, so that the hash is of what ran.
    return {"source": "file", "path": os.path.abspath(given), "stored_as": run_folder.MODEL, "sha256": digest,
            "size_bytes": size}, stored


def tee(stream, path, echo):
    with open(path, "wb") as f:
        for line in iter(stream.readline, b""):
            f.write(line)
            f.flush()
            echo.buffer.write(line)
            echo.flush()


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
        except KeyboardInterrupt:
            proc.terminate()
            proc.wait()
            raise
        echo.join()
    follower.finish()
    return proc.returncode


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
            raise RunFailed(str(e))
        say("features of %s dumped: %d recordings (%d of %d subjects)" % (subject, len(pairs), number,
                                                                         len(by_subject)))
    return {"folder": run_folder.FEATURES, "recordings": sum(len(set(n)) for n in by_subject.values()),
            "dump_windows": tool}


def summarise(folder):
    sys.stdout.flush()
    return run_summary.main([folder, "-o", folder])


def evaluate(args, folder):
    """Runs the evaluation into the claimed folder; False when the run
    finished but its summary found a problem."""
    manifest = {"name": args.name or os.path.basename(folder), "status": "preparing", "started": provenance.now()}
    try:
        return run(args, folder, manifest)
    except (RunFailed, dataset_mirror.DataSetError, tables.TableError, OSError) as e:
        if not manifest["status"].startswith("failed"):
            manifest.update(status="failed: %s" % e, finished=provenance.now())
            write_manifest(folder, manifest)
        raise
    except KeyboardInterrupt:
        manifest.update(status="interrupted", finished=provenance.now())
        write_manifest(folder, manifest)
        raise


def run(args, folder, manifest):
    program = provenance.program_version(args.tumblebench_path)
    model, model_path = model_entry(args.model_file, folder, program)
    data = args.data
    manifest.update({
        "tool": "evaluate",
        "arguments": sys.argv[1:],
        "tumblebench": dict(program, path=args.tumblebench_path),
        "model": model,
        "data_set": {"root": data.root, "layout": data.layout, "subjects": args.subject_list,
                     "subjects_table": data.subjects_table, "recordings_table": data.recordings_table},
        "walk": {"argument": dataset_mirror.WALK_ARGUMENT[args.walk], "root": run_folder.WALK_ROOT},
        "host": provenance.host(),
    })
    write_manifest(folder, manifest)

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
    activities = {}
    if data.recordings_table:
        table, notes = tables.read_recordings(data.recordings_table)
        activities = {k: v.get("activity", "") for k, v in table.items()}
        for note in notes:
            say(note)
    tables.write_recordings(os.path.join(folder, tables.RECORDINGS_TABLE),
                                    [(k, s, activities.get(k, "")) for k, s in sorted(mirror.recordings.items())])
    if data.subjects_table:
        shutil.copyfile(data.subjects_table, os.path.join(folder, tables.SUBJECTS_TABLE))
    say("%d subject(s) mirrored into %s, %d recordings listed; running tumblebench %s"
        % (len(args.subject_list), folder, manifest["recordings"]["listed"], manifest["walk"]["argument"]))

    manifest["status"] = "running"
    write_manifest(folder, manifest)
    log_path = os.path.join(folder, run_folder.LOG)
    follower = LogFollower(log_path, mirror.recordings, listed, say)
    status = run_walk(args.tumblebench_path, mirror.walk_root, manifest["walk"]["argument"], log_path,
                      os.path.join(folder, run_folder.HARNESS_STDERR), model_path, follower)
    counts, log = count_recordings(log_path)
    manifest["recordings"].update(counts)
    manifest.update(exit_status=status, finished=provenance.now())
    failure = None
    if status != 0:
        failure = "tumblebench ended with exit status %d (see %s)" % (status, run_folder.HARNESS_STDERR)
    elif counts["scored"] == 0:
        failure = "no recording was scored"
    if failure:
        manifest["status"] = "failed: " + failure
        write_manifest(folder, manifest)
        raise RunFailed(failure)
    manifest["status"] = "finished"
    write_manifest(folder, manifest)
    say("%d recordings scored (%d falls, %d daily activities), %d not found; log in %s"
        % (counts["scored"], counts["falls"], counts["adl"], counts["not_found"], log_path))

    if args.dump_features:
        manifest["features"] = dump_features(args, folder, mirror, log, model_path)
        write_manifest(folder, manifest)
    summary_status = summarise(folder)
    if summary_status != 0:
        manifest["summary"] = "run_summary ended with exit status %d" % summary_status
        write_manifest(folder, manifest)
        return False
    return True


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="evaluate",
        description="Evaluate the detector over a data set in KFall's layout and keep the run in a folder of its "
                    "own: console log, traces, converted labels, manifest (program, model hash, data, "
                    "arguments, times, host) and summary. The recordings are never written to.")
    parser.add_argument("data_set", metavar="DATA_SET",
                        help="KFall download (with sensor_data/ and label_data/), a folder of subject folders "
                             "SAxx, or a packed copy with unpack.sh")
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("-o", "--output", metavar="RUN_FOLDER", help="the run folder: new, or empty")
    where.add_argument("--runs-dir", metavar="RUNS", help="make a new timestamped run folder inside RUNS")
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
    parser.add_argument("--link", choices=dataset_mirror.LINK_MODES, default="auto",
                        help="how recordings enter the mirror: symbolic links, falling back to hard links and "
                             "copies where the file system needs it (auto, default), or only one way")
    parser.add_argument("--tumblebench", metavar="PATH", help="the tumblebench program (default: TUMBLEBENCH_BIN, "
                                                              "then build/harness/tumblebench)")
    parser.add_argument("--dump-windows", metavar="PATH", help="the dump_windows program (default: "
                                                               "TUMBLEBENCH_DUMP, then beside tumblebench)")
    args = parser.parse_args(argv)

    try:
        args.tumblebench_path = find_program(
            args.tumblebench, "TUMBLEBENCH_BIN",
            [os.path.join(provenance.REPOSITORY, "build", "harness", "tumblebench"), shutil.which("tumblebench")],
            "tumblebench")
        args.data = dataset_mirror.find_data_set(args.data_set)
        args.subject_list = dataset_mirror.select_subjects(args.data, args.subjects)
        args.model_file = chosen_model(args)
        if args.dump_features:
            args.dump_windows_path = find_program(
                args.dump_windows, "TUMBLEBENCH_DUMP",
                [os.path.join(os.path.dirname(os.path.dirname(args.tumblebench_path)), "tools", "dump_windows")],
                "dump_windows")
        if args.data.ignored:
            say("not walked (not a subject folder name for the harness): %s" % ", ".join(args.data.ignored))
        folder = claim_folder(args)
    except (Refused, dataset_mirror.DataSetError) as e:
        say(str(e))
        return 2
    except OSError as e:
        say("%s: %s" % (e.filename or "output folder", e.strerror or e))
        return 2
    say("run folder %s" % folder)
    try:
        if not evaluate(args, folder):
            say("the run finished, but its summary found a problem (above)")
            return 1
    except (RunFailed, dataset_mirror.DataSetError, tables.TableError) as e:
        say("the run failed: %s" % e)
        return 1
    except OSError as e:
        say("the run failed: %s: %s" % (e.filename or "", e.strerror or e))
        return 1
    except KeyboardInterrupt:
        say("interrupted; what was done is in %s" % folder)
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
