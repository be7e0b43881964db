"""matplotlib set-up shared by the figure writers: a file-only backend and a
clear message when the library is missing."""

import sys


def pyplot():
    try:
        import matplotlib
    except ImportError:
        sys.stderr.write("matplotlib is not installed; on Debian: apt-get install python3-matplotlib\n")
        raise SystemExit(2)
    # Figures go to files only; no display is needed or wanted.
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def save(fig, path, dpi=100):
    plt = pyplot()
    fig.savefig(path, dpi=dpi)
    plt.close(fig)
