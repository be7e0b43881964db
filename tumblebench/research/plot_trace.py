"""Draws tumblebench trace files (<recording>_DSV.csv) as PNG figures.

Usage: plot_trace TRACE_DSV.csv [TRACE_DSV.csv ...] [-o OUT.png] [--samples]
                  [--start T] [--end T] [--zoom] [--dpi N] [--title TEXT]
"""

import argparse
import os
import sys

from ..kfall import SAMPLES_PER_SECOND
from .trace import TraceFormatError, read_trace


def default_output(trace_path):
    root, _ = os.path.splitext(trace_path)
    return root + ".png"


def zoom_range(trace, in_samples, margin_s=2.0):
    """The labelled span and the detections, with a margin; None when the
    trace has neither."""
    frames = trace.labelled_frames + [f for f, _ in trace.detections]
    if not frames:
        return None, None
    scale = 1.0 if in_samples else 1.0 / SAMPLES_PER_SECOND
    margin = margin_s * SAMPLES_PER_SECOND
    lo = max(trace.frames[0], min(frames) - margin)
    hi = min(trace.frames[-1] + 1, max(frames) + 1 + margin)
    return lo * scale, hi * scale


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="plot_trace",
        description="Plot tumblebench trace files (*_DSV.csv): acceleration and angular-rate magnitudes, "
                    "vertical velocity with the rule thresholds, roll and pitch, classifier scores, "
                    "the labelled fall and every detection.")
    parser.add_argument("traces", nargs="+", metavar="TRACE", help="trace file written by a replay")
    parser.add_argument("-o", "--output", help="PNG to write (only with one trace); "
                        "default: the trace's name with .png")
    parser.add_argument("--samples", action="store_true", help="time axis in samples instead of seconds")
    parser.add_argument("--start", type=float, help="start of the time axis (seconds, or samples with --samples)")
    parser.add_argument("--end", type=float, help="end of the time axis")
    parser.add_argument("--zoom", action="store_true",
                        help="show only the labelled fall and the detections, with 2 s either side")
    parser.add_argument("--dpi", type=int, default=100, help="resolution; the figure is 11 x 12.5 inches (default 100)")
    parser.add_argument("--title", help="figure title (default: the trace's path and its detections)")
    args = parser.parse_args(argv)
    if args.output and len(args.traces) > 1:
        parser.error("-o/--output names one file; give one trace with it")
    if not 20 <= args.dpi <= 600:
        parser.error("--dpi must lie between 20 and 600")
    if args.zoom and (args.start is not None or args.end is not None):
        parser.error("--zoom chooses the time range itself; drop --start/--end")

    from .trace_figure import plot_trace

    failures = 0
    for path in args.traces:
        try:
            trace = read_trace(path)
        except OSError as e:
            sys.stderr.write("plot_trace: %s: %s\n" % (path, e.strerror or e))
            failures += 1
            continue
        except TraceFormatError as e:
            sys.stderr.write("plot_trace: %s\n" % e)
            failures += 1
            continue
        for note in trace.notes:
            sys.stderr.write("plot_trace: warning: %s\n" % note)
        if len(trace) == 0:
            sys.stderr.write("plot_trace: %s: the trace holds no samples; nothing to plot\n" % path)
            failures += 1
            continue
        start, end = args.start, args.end
        if args.zoom:
            start, end = zoom_range(trace, args.samples)
            if start is None:
                sys.stderr.write("plot_trace: warning: %s has no labelled span and no detection; "
                                 "showing all of it\n" % path)
        out = args.output or default_output(path)
        try:
            plot_trace(trace, out, in_samples=args.samples, start=start, end=end, title=args.title, dpi=args.dpi)
        except OSError as e:
            sys.stderr.write("plot_trace: cannot write %s: %s\n" % (out, e.strerror or e))
            failures += 1
            continue
        print(out)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
