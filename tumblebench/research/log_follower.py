"""Progress of a running tumblebench walk, read from its console log as the
log grows: recordings scored, subjects done. The harness itself says
nothing about progress, and its standard output must stay as it is."""

import os
import time

from .. import kfall

_RESULT = b"result "
_NOT_FOUND = b"tumblebench: "


class LogFollower:
    def __init__(self, log_path, subject_of, listed, report, interval_s=10.0):
        """subject_of: recording key -> subject folder; listed: subject ->
        trials its label file lists; report: writes one progress line."""
        self.log_path = log_path
        self.subject_of = subject_of
        self.listed = listed
        self.report = report
        self.interval_s = interval_s
        self.offset = 0
        self.partial = b""
        self.scored = 0
        self.not_found = 0
        self.current = None
        self.current_scored = 0
        self.current_missing = 0
        self.done = []
        self.last_report = time.monotonic()

    @property
    def total_listed(self):
        return sum(self.listed.values())

    def poll(self):
        try:
            with open(self.log_path, "rb") as f:
                f.seek(self.offset)
                data = f.read()
        except FileNotFoundError:
            return
        self.offset += len(data)
        lines = (self.partial + data).split(b"\n")
        self.partial = lines.pop()
        for line in lines:
            if line.startswith(_RESULT):
                self._recording(line[len(_RESULT):].rsplit(b" : ", 1)[0])
                self.scored += 1
                self.current_scored += 1
            elif line.startswith(_NOT_FOUND) and line.endswith(b", not found."):
                self._recording(line[len(_NOT_FOUND):-len(b", not found.")])
                self.not_found += 1
                self.current_missing += 1
        if time.monotonic() - self.last_report >= self.interval_s:
            self.report("%d of %d listed recordings scored so far%s (%d of %d subjects done)"
                        % (self.scored, self.total_listed, ", now %s" % self.current if self.current else "",
                           len(self.done), len(self.listed)))
            self.last_report = time.monotonic()

    def _recording(self, path):
        key = kfall.recording_key(os.fsdecode(path))
        subject = self.subject_of.get(key)
        if subject != self.current:
            self._subject_done()
            self.current, self.current_scored, self.current_missing = subject, 0, 0

    def _subject_done(self):
        if self.current is None:
            return
        self.done.append(self.current)
        missing = ", %d not found" % self.current_missing if self.current_missing else ""
        self.report("%s done: %d recordings scored%s (%d of %d subjects; %d of %d listed recordings scored)"
                    % (self.current, self.current_scored, missing, len(self.done), len(self.listed), self.scored,
                       self.total_listed))
        self.last_report = time.monotonic()

    def finish(self):
        self.poll()
        self._subject_done()
        self.current = None
