"""The two sample rates: KFall records at 100 per second (its label frames
count those), and the harness replays every second sample, so the detector,
its result lines and its traces run at 50 per second."""

RECORDING_RATE_PER_S = 100
SAMPLES_PER_SECOND = 50
MS_PER_SAMPLE = 1000 // SAMPLES_PER_SECOND
SECONDS_PER_HOUR = 3600


def stream_frame(label_frame):
    """A label frame (100 per second) as the 0-based sample index of the
    replayed stream, halved as the harness halves it."""
    return label_frame // 2
