"""Child processes that end with the command that started them. A child runs
in a process group of its own, so that what it starts in turn (the tar under
unpack.sh) goes with it: when the command is interrupted or stopped while
the child runs, the child's group gets the same signal, and SIGKILL if it is
still there after a grace period."""

import os
import signal
import subprocess

from . import stop_signals

GRACE_S = 5.0


def stop(proc, signum=signal.SIGTERM, grace_s=GRACE_S, group=True):
    """Sends signum to the child (to its whole group with `group`), waits
    for it, and kills what is left after grace_s seconds."""
    def send(sig):
        try:
            if group:
                os.killpg(proc.pid, sig)
            else:
                proc.send_signal(sig)
        except (ProcessLookupError, PermissionError):
            pass
    if proc.poll() is None:
        send(signum)
    try:
        proc.wait(grace_s)
    except subprocess.TimeoutExpired:
        send(signal.SIGKILL)
        proc.wait()
    if group:
        # Whatever the child started and left behind in its group.
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass


def run(args, **options):
    """subprocess.run(args, **options) with the child in a group of its own,
    stopped with the command (input= and timeout= are not taken)."""
    proc = subprocess.Popen(args, start_new_session=True, **options)
    try:
        out, err = proc.communicate()
    except BaseException as error:
        stop(proc, stop_signals.signal_of(error) if isinstance(error, (KeyboardInterrupt, stop_signals.Stopped))
             else signal.SIGTERM)
        raise
    return subprocess.CompletedProcess(args, proc.returncode, out, err)
