"""How the commands end on a stop signal. SIGTERM and SIGHUP raise Stopped
wherever the program is, as Ctrl-C raises KeyboardInterrupt, so that every
`with` and `finally` on the way out runs: children are stopped, staging
folders removed, a run's manifest marked interrupted. The command then
exits with 128 + the signal's number (exit_status.of_signal). A signal that
was ignored when the command started (nohup) stays ignored."""

import signal

from . import exit_status

STOP_SIGNALS = (signal.SIGTERM, signal.SIGHUP)


class Stopped(BaseException):
    """A stop signal arrived. A BaseException, like KeyboardInterrupt, so
    that handlers of ordinary errors do not swallow it."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum

    def __str__(self):
        return signal.Signals(self.signum).name


def _raise_stopped(signum, _frame):
    raise Stopped(signum)


def install():
    for signum in STOP_SIGNALS:
        if signal.getsignal(signum) != signal.SIG_IGN:
            signal.signal(signum, _raise_stopped)


def signal_of(error):
    """The signal a KeyboardInterrupt or Stopped stands for."""
    return error.signum if isinstance(error, Stopped) else signal.SIGINT


def status_of(error):
    return exit_status.of_signal(signal_of(error))


def name_of(error):
    return signal.Signals(signal_of(error)).name
