"""Reads the console log of one tumblebench run (its standard output, saved to
a file) into recordings, their outcomes and the run's statistics report.

A log may come from a run that was killed, so it can stop anywhere, even in
the middle of a line; it may also have standard error mixed in (`2>&1`),
where the unbuffered error messages land in the middle of buffered output
lines. Neither is an error here: whatever can be read is kept, and what could
not be read is said in `RunLog.notes`.
"""

import re
from dataclasses import dataclass, field

from .. import kfall

OUTCOMES = ("good", "soso", "early", "late", "fn", "tn", "fp")
FALL_OUTCOMES = ("good", "soso", "early", "late", "fn")
DETECTED_OUTCOMES = ("good", "soso", "early", "late", "fp")

_INT = r"(-?\d+)"

# "result %s : %02d, %3d, %3d, %3d -> ..."; the path is greedy because it may
# itself hold " : ", while the tail after the last " : " cannot.
_RESULT = re.compile(
    r"^result (?P<path>.*) : +" + _INT + r", +" + _INT + r", +" + _INT + r", +" + _INT +
    r" -> (?:(?P<bare>fn|tn)|(?P<kind>early|late|good|soso) \((?P<dist>-?\d+)\)\[(?P<mode>-?\d+)\]"
    r"|fp \[(?P<fpmode>-?\d+)\])$")
# "\n\n%s : %4d, %4d\n\n" before each replay of a label-file run; the name is
# always built as "...R<trial>.csv".
_LABEL_HEADER = re.compile(r"^(?P<name>.*R-?\d+\.csv) : +" + _INT + r", +" + _INT + r"$")
_LOG_FILE = re.compile(r"^Log File : (?P<trace>.*)$")
_NOT_FOUND = re.compile(r"^tumblebench: (?P<path>.*), not found\.$")
_INVALID = re.compile(r"^tumblebench: invalid string, (?P<line>.*)$")
_MESSAGE = re.compile(r"^(?:tumblebench|ml_tumblix) ?: .*$")
_PROCESSED = re.compile(r"^" + _INT + r" data, processed\.$")
_TIMING = re.compile(r"^(?P<when>InTime|Early|Late) Detect : " + _INT + r", wDownMode : " + _INT +
                     r"(?: \(" + _INT + r"\))?$")
_DETECT = re.compile(
    r"^(?P<name>.*?)  DETECT-1\[(?P<n>-?\d+)\] : Acc +(?P<acc>-?\d+), Gyro +(?P<gyro>-?\d+), "
    r"Vel_V +(?P<vv>\S+), Roll +(?P<roll>-?\d+), Pitch +(?P<pitch>-?\d+), TF +(?P<tf>\S+?)"
    r"(?P<x1> X1)?(?P<x2> X2)?(?: -> Mode(?P<mode>\d+)\((?P<count>\d+)\))?$")
_USAGE = re.compile(r"^Usage: tumblebench ")
_REPORT_START = "# ADL STAT: "

# Error messages the harness writes to standard error. In a log saved with
# 2>&1 they can appear inside a line of standard output; only these shapes
# are taken out of a line, so that a path holding "tumblebench: " is safe.
_STDERR_TAIL = re.compile(
    r"tumblebench: .*(?:; skipped\.|; the recording is not scored\.|, trace not written completely\."
    r"|are missing\.|standard output could not be written\.|no trace name can be formed from this path\.)$")

_REPORT_LINE = re.compile(
    r"^(?:# ADL STAT: .*|# DOWN STAT: .*|# ALL STAT: .*|# DETECTION STAT:|# DETECTION ERROR:"
    r"|  o (?:ALL|ADL|DOWN) : \d+|  o Type-\d\d+ : \d+ \(.*\)|    - +\d+ : \d+ \(\d+\.\d\d%\)"
    r"|  o -?\d\d+: \d+ \(.*\)|)$")


class LogFormatError(Exception):
    """The text is not the log of exactly one tumblebench run."""


@dataclass
class Detection:
    sample: int   # the detector's 1-based sample count
    mode: int

    @property
    def frame(self):
        # Result and timing lines count samples from 0.
        return self.sample - 1


@dataclass
class Recording:
    """One replay as the log shows it, from its label line or trace line to
    its result line."""
    path: str = ""
    status: str = "started"      # "scored", "not found" or "started" (never scored)
    label_onset: int = None      # from a label-file run's header line, already halved
    label_impact: int = None
    trace: str = None
    samples: int = None          # from "%d data, processed."
    evaluated: int = 0           # DETECT-1 lines: samples with the detection window open
    detections: list = field(default_factory=list)
    timing_lines: int = 0
    task: int = None
    first_frame: int = None
    onset: int = None
    impact: int = None
    outcome: str = None
    distance: int = None         # the number in parentheses of the result line
    first_mode: int = None       # 0 when nothing was detected
    line_number: int = None      # of the result line, 1-based
    occurrence: int = 0          # 0 for the first result of this path in the run, 1 for the next...

    @property
    def scored(self):
        return self.status == "scored"

    @property
    def detected(self):
        return self.outcome in DETECTED_OUTCOMES

    @property
    def is_fall(self):
        return kfall.is_fall(self.task)

    @property
    def lead_samples(self):
        """Samples between the first detection and the impact, for a
        detection before the impact; None otherwise."""
        if self.detected and self.impact is not None and self.first_frame < self.impact:
            return self.impact - self.first_frame
        return None

    @property
    def lead_ms(self):
        lead = self.lead_samples
        return None if lead is None else lead * kfall.MS_PER_SAMPLE

    @property
    def in_time(self):
        return self.outcome in ("good", "soso")

    @property
    def key(self):
        return (self.path, self.occurrence)


@dataclass
class RunLog:
    source: str = ""
    recordings: list = field(default_factory=list)
    report_lines: list = None     # from the "# ADL STAT" line on, None when the log has no report
    invalid_label_lines: list = field(default_factory=list)
    messages: list = field(default_factory=list)   # other harness messages, in order
    unknown_lines: list = field(default_factory=list)  # (line number, text), first few only
    unknown_count: int = 0
    cut_mid_line: str = None      # the unterminated last line, when it was dropped
    usage_text: bool = False
    notes: list = field(default_factory=list)

    @property
    def scored(self):
        return [r for r in self.recordings if r.scored]

    @property
    def not_found(self):
        return [r for r in self.recordings if r.status == "not found"]

    @property
    def unscored(self):
        return [r for r in self.recordings if r.status == "started"]


def _split_lines(text, log):
    """Lines without their line ends; standard error messages spliced into a
    line are moved out of it (into log.messages) and the line is mended."""
    raw = text.split("\n")
    last_terminated = raw[-1] == ""
    if last_terminated:
        raw.pop()
    lines = []
    i = 0
    while i < len(raw):
        line = raw[i].rstrip("\r")
        number = i + 1
        while True:
            pos = line.find("tumblebench: ", 1)
            if pos < 0 or not _STDERR_TAIL.match(line, pos):
                break
            log.messages.append(line[pos:])
            line = line[:pos]
            if i + 1 >= len(raw):
                break
            i += 1
            line += raw[i].rstrip("\r")
        lines.append((number, line))
        i += 1
    return lines, last_terminated


def parse_log(text, source=""):
    """Parses the console output of one run. Raises LogFormatError when the
    text holds more than one run's report."""
    log = RunLog(source=source)
    lines, last_terminated = _split_lines(text, log)
    if lines and not last_terminated:
        number, tail = lines[-1]
        # Every result format ends in a closing token, so a complete result
        # line is certain even without its line end; anything else may be a
        # piece of a longer line.
        if _RESULT.match(tail):
            log.notes.append("the log ends without a line end; its last line is a complete result line")
        else:
            lines.pop()
            log.cut_mid_line = tail
            begun = any(line.startswith(_REPORT_START) for _, line in lines)
            if not begun and (tail.startswith(_REPORT_START) or _REPORT_START.startswith(tail)):
                # The report had begun: it is incomplete, not missing.
                lines.append((number, _REPORT_START))
            log.notes.append("the log stops in the middle of line %d (%r); that line was left out"
                             % (number, tail[:80]))

    current = None          # the replay in progress
    pending_label = None    # (name, onset, impact) of a label header not yet followed by its replay
    seen_paths = {}
    report_at = None

    def start(path=""):
        nonlocal current
        rec = Recording(path=path)
        if pending_label is not None:
            rec.path = rec.path or pending_label[0]
            rec.label_onset, rec.label_impact = pending_label[1], pending_label[2]
        log.recordings.append(rec)
        current = rec
        return rec

    def unknown(number, line):
        log.unknown_count += 1
        if len(log.unknown_lines) < 20:
            log.unknown_lines.append((number, line))

    for index, (number, line) in enumerate(lines):
        if line.startswith(_REPORT_START):
            report_at = index
            break
        if not line:
            continue
        m = _DETECT.match(line)
        if m:
            if current is None:
                start()
            current.evaluated += 1
            if m.group("mode") is not None:
                current.detections.append(Detection(int(m.group("n")), int(m.group("mode"))))
            continue
        m = _TIMING.match(line)
        if m:
            if current is None:
                start()
            current.timing_lines += 1
            continue
        m = _RESULT.match(line)
        if m:
            rec = current if current is not None else start(m.group("path"))
            path = m.group("path")
            if rec.trace is not None and kfall.trace_name(path) != rec.trace:
                log.notes.append("line %d: result for %s follows the trace line of %s"
                                 % (number, path, rec.trace))
            rec.path = path
            rec.status = "scored"
            rec.task, rec.first_frame, rec.onset, rec.impact = (int(m.group(g)) for g in range(2, 6))
            if m.group("bare"):
                rec.outcome, rec.first_mode = m.group("bare"), 0
            elif m.group("kind"):
                rec.outcome = m.group("kind")
                rec.distance, rec.first_mode = int(m.group("dist")), int(m.group("mode"))
            else:
                rec.outcome, rec.first_mode = "fp", int(m.group("fpmode"))
            rec.line_number = number
            rec.occurrence = seen_paths.get(path, 0)
            seen_paths[path] = rec.occurrence + 1
            current = None
            pending_label = None
            continue
        m = _PROCESSED.match(line)
        if m:
            if current is None:
                start()
            current.samples = int(m.group(1))
            continue
        m = _LOG_FILE.match(line)
        if m:
            if current is not None:
                _abandon(log, current)
            start()
            current.trace = m.group("trace")
            if not current.path:
                current.path = kfall.recording_of_trace(current.trace)
            pending_label = None
            continue
        m = _LABEL_HEADER.match(line)
        if m:
            if current is not None:
                _abandon(log, current)
                current = None
            if pending_label is not None:
                log.notes.append("the label line of %s is followed by no replay (no trace line, no "
                                 "not-found message)" % pending_label[0])
            pending_label = (m.group("name"), int(m.group(2)), int(m.group(3)))
            continue
        m = _NOT_FOUND.match(line)
        if m:
            if current is not None:
                _abandon(log, current)
                current = None
            rec = start(m.group("path"))
            rec.path = m.group("path")
            rec.status = "not found"
            current = None
            pending_label = None
            continue
        m = _INVALID.match(line)
        if m:
            log.invalid_label_lines.append(m.group("line"))
            continue
        if _MESSAGE.match(line):
            log.messages.append(line)
            continue
        if _USAGE.match(line):
            log.usage_text = True
            continue
        if line.startswith("          tumblebench -"):
            continue
        unknown(number, line)

    if current is not None:
        _abandon(log, current, at_end=True)
    if pending_label is not None:
        log.notes.append("the log stops after the label line of %s, before its replay" % pending_label[0])

    if report_at is not None:
        report = [line for _, line in lines[report_at:]]
        # A second report means a second run appended to the same file.
        extra = [n for n, line in lines[report_at + 1:] if line.startswith(_REPORT_START)]
        if extra:
            raise LogFormatError("%s holds %d statistics reports, the output of several runs; "
                                 "give each run its own log" % (source or "the log", len(extra) + 1))
        end = len(report)
        for offset, line in enumerate(report):
            if not _REPORT_LINE.match(line):
                end = offset
                break
        for offset in range(end, len(report)):
            unknown(lines[report_at + offset][0], report[offset])
        if end < len(report):
            log.notes.append("%d line(s) after the statistics report are not part of it"
                             % (len(report) - end))
        log.report_lines = report[:end]
        if log.cut_mid_line is not None and log.report_lines == [_REPORT_START]:
            log.report_lines = []
    if log.usage_text:
        log.notes.append("the log holds the usage text: the harness was started with arguments it does "
                         "not accept, so no run took place")
    if log.unknown_count:
        log.notes.append("%d line(s) of unknown form were ignored, the first at line %d: %r"
                         % (log.unknown_count, log.unknown_lines[0][0], log.unknown_lines[0][1][:80]))
    return log


def read_log(path):
    """Reads and parses a log file. Bytes that are not UTF-8 (paths in
    another encoding) are kept as surrogate escapes, so that the CSV can
    give the paths back byte for byte."""
    with open(path, "rb") as f:
        data = f.read()
    return parse_log(data.decode("utf-8", errors="surrogateescape"), source=str(path))


def _abandon(log, rec, at_end=False):
    if at_end:
        log.notes.append("the log stops during the replay of %s, before its result line"
                         % (rec.path or "a recording"))
    else:
        log.notes.append("the replay of %s has no result line: it was not scored"
                         % (rec.path or "a recording"))

