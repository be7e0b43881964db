"""Reader of the per-sample trace file a replay writes next to its recording
(<recording>_DSV.csv)."""

from dataclasses import dataclass, field

from ..kfall import SAMPLES_PER_SECOND

COLUMNS = ("seqno", "accX", "accY", "accZ", "gyroX", "gyroY", "gyroZ", "raw_acc", "lpf_acc", "raw_gyro",
           "lpf_gyro", "roll", "pitch", "yaw", "vv", "X/D", "normal", "down", "detect", "tc")


class TraceFormatError(Exception):
    pass


@dataclass
class Trace:
    path: str
    columns: dict = field(default_factory=lambda: {name: [] for name in COLUMNS})
    notes: list = field(default_factory=list)

    def __len__(self):
        return len(self.columns["seqno"])

    def __getitem__(self, name):
        return self.columns[name]

    @property
    def frames(self):
        """0-based sample indexes, the numbering of the console and result lines."""
        return [n - 1 for n in self.columns["seqno"]]

    @property
    def detections(self):
        """(frame, mode) of every sample whose step returned a mode."""
        return [(n - 1, m) for n, m in zip(self.columns["seqno"], self.columns["detect"]) if m > 0]

    @property
    def labelled_frames(self):
        """Frames of the rows marked "D" (inside the labelled fall)."""
        return [n - 1 for n, xd in zip(self.columns["seqno"], self.columns["X/D"]) if xd == "D"]


def _parse_row(fields, where):
    values = []
    for name, text in zip(COLUMNS, fields):
        if name == "X/D":
            if text not in ("X", "D"):
                raise TraceFormatError("%s: column X/D holds %r, not X or D" % (where, text))
            values.append(text)
        elif name == "vv":
            try:
                values.append(float(text))
            except ValueError:
                raise TraceFormatError("%s: column vv holds %r, not a number" % (where, text)) from None
        else:
            try:
                values.append(int(text))
            except ValueError:
                raise TraceFormatError("%s: column %s holds %r, not an integer" % (where, name, text)) from None
    return values


def read_trace(path):
    """Reads a trace file. A last row cut short (a replay that was stopped)
    is left out with a note; any other malformed row is an error, since a
    plot with silently missing samples would mislead."""
    trace = Trace(path=str(path))
    with open(path, "r", newline="", errors="replace") as f:
        text = f.read()
    lines = text.split("\n")
    terminated = lines[-1] == ""
    if terminated:
        lines.pop()
    if not lines:
        raise TraceFormatError("%s: empty file, not a trace" % path)
    header = lines[0].rstrip("\r")
    if header != ",".join(COLUMNS):
        raise TraceFormatError("%s: first line is not the trace header (%s...)" % (path, ",".join(COLUMNS[:4])))
    for number, line in enumerate(lines[1:], start=2):
        line = line.rstrip("\r")
        last = number == len(lines)
        fields = line.split(",")
        where = "%s, line %d" % (path, number)
        if last and not terminated:
            try:
                if len(fields) != len(COLUMNS):
                    raise TraceFormatError("short")
                values = _parse_row(fields, where)
            except TraceFormatError:
                trace.notes.append("%s: the last row is cut short and was left out" % path)
                break
            # The last column is a single digit: a row that parses with all
            # twenty columns lacks nothing but its line end.
            trace.notes.append("%s: the file ends without a line end" % path)
        else:
            if len(fields) != len(COLUMNS):
                raise TraceFormatError("%s has %d columns, a trace row has %d" % (where, len(fields), len(COLUMNS)))
            values = _parse_row(fields, where)
        for name, value in zip(COLUMNS, values):
            trace.columns[name].append(value)
    return trace
