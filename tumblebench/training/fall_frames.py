"""Onset and impact of a fall recording derived from its signal alone, for
falls recorded without labels (SisFall).

Impact: the largest acceleration magnitude of the recording is the body
meeting the ground; walking back from that peak while the magnitude stays
above 1.5 g finds where the rise began, and the impact label lies
IMPACT_DELAY samples after it. Onset: IMPACT_TO_ONSET samples before the
impact, the typical length of a fall. Measured against KFall's own labels
(all 1762 falls of SA06-SA29, 50 samples per second): impact error quartiles
-1 / 0 / 0 samples (88 % within 2 samples), onset error quartiles -4 / +1 /
+7 samples (49 % within 5 samples). A rule that looks for the last calm
moment before the impact did worse on onset (quartiles -10 / -2 / +6): how
long a fall takes varies less than how its start looks.
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
