"""Onset and impact of a fall recording derived from its signal alone, for
falls recorded without labels (SisFall, FallAllD).

Impact: the largest acceleration magnitude of the recording is the body
meeting the ground; walking back from that peak while the magnitude stays
above 1.5 g finds where the rise began, and the impact label lies
IMPACT_DELAY samples after it. Onset: IMPACT_TO_ONSET samples before the
impact, the typical length of a fall. Measured against KFall's own labels
(all 1762 falls of SA06-SA29, 50 samples per second): impact error quartiles
-1 / 0 / 0 samples (88 % within 2 samples), onset error quartiles -4 / +1 /
+7 samples (49 % within 5 samples). A rule that looks for the last calm
moment before the impact did worse on onset (quartiles -10 / -2 / +6): how
long a fall takes varies less than how its start looks. label_errors
measures it again on any labelled falls, and middle_offsets checks
FallAllD's derived impacts against where its falls were recorded (near the
middle of each 20-second trial).
"""

import numpy as np

ACC_SCALE = 500.0            # the classifier's acceleration channels are g x 500
IMPACT_RISE_G = 1.5          # a magnitude above this is part of the impact peak
IMPACT_DELAY = 2             # samples from the start of the rise to the labelled impact
IMPACT_TO_ONSET = 33         # samples from onset to impact of a typical fall


def derive_frames(channels):
    """(onset, impact) as 0-based sample indexes of the 50-per-second stream
    from the classifier's channels of one recording ([n, 6]: acceleration in
    g x 500, angular rate); (-1, -1) for an empty recording."""
    if len(channels) == 0:
        return -1, -1
    magnitude = np.linalg.norm(np.asarray(channels, dtype=np.float64)[:, :3], axis=1) / ACC_SCALE
    peak = int(np.argmax(magnitude))
    start = peak
    while start > 0 and magnitude[start - 1] > IMPACT_RISE_G:
        start -= 1
    impact = min(len(channels) - 1, start + IMPACT_DELAY)
    return max(0, impact - IMPACT_TO_ONSET), impact


def _summary(values, within):
    values = np.asarray(values, dtype=np.float64)
    if len(values) == 0:
        return None
    return dict(count=int(len(values)), quartiles=[float(q) for q in np.percentile(values, [25, 50, 75])],
                within=within, share_within=float(np.mean(np.abs(values) <= within)))


def label_errors(recordings):
    """How far derived frames lie from labelled ones, in samples (derived
    minus label), over (channels, onset, impact) of labelled falls: the
    impact's and the onset's error quartiles and the shares within 2 and 5
    samples."""
    impact_errors, onset_errors = [], []
    for channels, onset, impact in recordings:
        derived_onset, derived_impact = derive_frames(channels)
        impact_errors.append(derived_impact - impact)
        onset_errors.append(derived_onset - onset)
    return dict(impact=_summary(impact_errors, 2), onset=_summary(onset_errors, 5))


def middle_offsets(recordings, samples_per_second, within_s=1.0):
    """Where derived impacts lie against the middle of their recordings, in
    seconds (derived impact minus half the length), over (channels, impact)."""
    return _summary([(impact - len(channels) / 2.0) / samples_per_second for channels, impact in recordings],
                    within_s)
