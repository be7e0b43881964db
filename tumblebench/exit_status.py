"""The exit statuses of the package's commands: evaluate, run_summary,
sweep_thresholds, plot_trace and the converters (sisfall2kfall, kfall_label).
They mean the same in every command, and where a meaning is the harness's
own (tumblebench: 0 run, 1 usage text, 2 standard output not written
completely, 3 model or rule file refused, 4 walk incomplete) the number is
too, except for bad arguments: every Python command says those with 2, the
status argparse gives them.

docs/research_workflow.md ("Exit statuses") has the table."""

OK = 0
# The work was done, or begun, and failed; or its result does not check out
# (a summary that disagrees with the harness's report, a sweep whose replay
# does not reproduce the run).
FAILED = 1
# Nothing was done: bad arguments, input the command cannot use (a data set,
# log, manifest or table that is not what it reads), or output it cannot
# write (a run folder already used, an output folder it may not write).
REFUSED = 2
# The harness, or dump_windows, refused the model file or the rule file:
# the harness's own status 3, passed on.
MODEL_REFUSED = 3
# The harness's walk left subjects out (its status 4): the run is marked
# failed and its figures are not those of the whole data set.
INCOMPLETE = 4
# Ended by a signal: 128 + its number (130 for Ctrl-C, 143 for SIGTERM, 129
# for SIGHUP), after the children were stopped.
SIGNAL_BASE = 128


def of_signal(signum):
    return SIGNAL_BASE + signum
