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


def shorten(text, width):
    """The text in at most `width` characters, cut at a word boundary with
    an ellipsis when it is longer: a label never ends in half a word."""
    if len(text) <= width:
        return text
    cut = text[:width - 1]
    space = cut.rfind(" ")
    if space > 0:
        cut = cut[:space]
    return cut.rstrip(" ,;(") + "\u2026"


def wrap(text, width, lines=2):
    """The text over at most `lines` lines of about `width` characters,
    broken between words; what does not fit ends the last line, shortened
    at a word boundary."""
    words = text.split()
    out = []
    while words and len(out) < lines:
        line = words.pop(0)
        while words and len(line) + 1 + len(words[0]) <= width:
            line += " " + words.pop(0)
        out.append(line)
    if words:
        out[-1] = shorten(out[-1] + " " + " ".join(words), max(width, len(out[-1]) + 2))
    return "\n".join(out)
