"""What a tumblebench run leaves behind and what researchers make of it:
the console log and its statistics, the traces, run folders with their
provenance, summaries with intervals, comparisons, the threshold sweep,
figures and HTML pages; and the commands evaluate, run_summary,
sweep_thresholds and plot_trace."""

from ..interpreter import require

require("numpy", "matplotlib")
