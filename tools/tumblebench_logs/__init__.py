"""Readers and reports for what a tumblebench run leaves behind: the
per-sample trace files (*_DSV.csv) and the console log of a run."""
