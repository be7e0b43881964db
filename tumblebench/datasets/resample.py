"""Brings a recording down to KFall's rate: by a whole factor (200 -> 100 per
second: 2) with decimate(), by any ratio of whole rates (238 -> 100) with
resample_to().

decimate() has three ways, kept side by side so that their effect can be measured
(docs/sisfall.md compares them on SisFall):

  lowpass  an anti-aliasing low-pass filter, then every factor-th sample: what a
           sensor sampling at the lower rate delivers, content above its Nyquist
           frequency removed instead of folded back onto slower motion;
  mean     the mean of each run of factor samples: a crude low-pass (from 200 to
           100 per second it still passes 38 % of the 75 Hz content, folded to
           25 Hz, while it damps 40 Hz to 81 %) that also shifts the time by
           half an input sample;
  pick     every factor-th sample as it is: what the harness itself does from 100
           to 50 per second; cheapest, keeps the sensor's values exact, folds
           everything above the new Nyquist frequency onto slower motion.

Every method keeps the first sample's time and yields ceil(n / factor) samples.
"""

import functools
import math

import numpy as np
from scipy import signal

METHODS = ("lowpass", "mean", "pick")
DEFAULT_METHOD = "lowpass"

# The low-pass filter: flat (within 0.2 %) up to 80 % of the new Nyquist
# frequency (40 Hz at 100 per second) and, by Kaiser's design rule, about 60 dB
# down from the new Nyquist frequency on, so that what would fold back is about
# a thousandth of what it was (73 taps for a factor of 2).
PASSBAND_FRACTION_OF_NYQUIST = 0.8
STOPBAND_ATTENUATION_DB = 60.0


def lowpass_taps(factor):
    """A linear-phase FIR (Kaiser-windowed sinc) for decimation by factor,
    normalised to a gain of exactly 1 at 0 Hz so that gravity is kept."""
    output_nyquist = 0.5 / factor                       # in cycles per input sample
    pass_edge = PASSBAND_FRACTION_OF_NYQUIST * output_nyquist
    transition = output_nyquist - pass_edge
    # Kaiser's estimates of the window's shape and the length for this ripple.
    attenuation = STOPBAND_ATTENUATION_DB
    beta = 0.1102 * (attenuation - 8.7)
    length = int(np.ceil((attenuation - 7.95) / (2.285 * 2.0 * np.pi * transition))) | 1
    cutoff = 0.5 * (pass_edge + output_nyquist)
    offsets = np.arange(length) - (length - 1) / 2.0
    taps = 2.0 * cutoff * np.sinc(2.0 * cutoff * offsets) * np.kaiser(length, beta)
    return taps / taps.sum()


def decimate(samples, factor, method=DEFAULT_METHOD):
    """samples: array (n, channels) at the source rate; returns the array at
    the source rate divided by factor."""
    samples = np.asarray(samples, dtype=np.float64)
    decimator = Decimator(factor, method)
    return np.concatenate([decimator.feed(samples), decimator.finish()])


class Decimator:
    """decimate() for a recording that arrives in blocks, so that a long one
    never has to be in memory whole: feed() every block in order, then
    finish(); the arrays they return, joined, are decimate()'s result for
    the whole recording, to the last bit. Between blocks it holds less than
    a filter's length of samples."""

    def __init__(self, factor, method=DEFAULT_METHOD):
        if factor < 1 or int(factor) != factor:
            raise ValueError("decimation factor %r is not a whole number of at least 1" % factor)
        if method not in METHODS:
            raise ValueError("unknown decimation method %r (one of %s)" % (method, ", ".join(METHODS)))
        self.factor, self.method = int(factor), method
        self.taps = lowpass_taps(self.factor) if method == "lowpass" and self.factor > 1 else None
        self.seen = 0           # samples fed so far
        self.held = None        # samples fed and not yet used up, (k, channels)
        self.last = None        # the last sample fed, to continue the recording beyond its end
        self.channels = 0

    def feed(self, block):
        block = np.asarray(block, dtype=np.float64)
        if block.ndim == 2:
            self.channels = block.shape[1]
        if len(block) == 0:
            return block.reshape(0, *block.shape[1:]).copy()
        first = self.seen == 0
        start = (-self.seen) % self.factor
        self.seen += len(block)
        self.last = block[-1:]
        if self.factor == 1:
            return block.copy()
        if self.method == "pick":
            return block[start::self.factor].copy()
        if self.method == "lowpass" and first:
            # The recording is continued with its first and last values:
            # padding with zeros would add a step to 0 g at both ends, which
            # the detector would take for free fall.
            block = np.concatenate([np.repeat(block[:1], (len(self.taps) - 1) // 2, axis=0), block])
        self.held = block if self.held is None else np.concatenate([self.held, block])
        return self._drain()

    def finish(self):
        if self.seen == 0 or self.factor == 1 or self.method == "pick":
            return np.zeros((0, self.channels))
        if self.method == "mean":
            rest, self.held = self.held, self.held[:0]
            return rest.mean(axis=0, keepdims=True) if len(rest) else rest.copy()
        self.held = np.concatenate([self.held, np.repeat(self.last, (len(self.taps) - 1) // 2, axis=0)])
        return self._drain()

    def _drain(self):
        """The outputs the held samples complete; keeps what later ones need."""
        f = self.factor
        if self.method == "mean":
            whole = len(self.held) // f * f
            means = self.held[:whole].reshape(-1, f, self.held.shape[1]).mean(axis=1)
            self.held = self.held[whole:]
            return means
        length = len(self.taps)
        count = (len(self.held) - length) // f + 1 if len(self.held) >= length else 0
        if count == 0:
            return np.zeros((0, self.held.shape[1]))
        window = self.held[:(count - 1) * f + length]
        filtered = np.column_stack([np.convolve(window[:, c], self.taps, mode="valid")
                                    for c in range(window.shape[1])])
        self.held = self.held[count * f:]
        return filtered[::f]


def resample_to(samples, source_rate_per_s, target_rate_per_s):
    """samples: array (n, channels) at source_rate_per_s (whole samples per
    second); returns ceil(n * target / source) samples at target_rate_per_s,
    the first at the first input sample's time.

    SciPy's polyphase resampler does the work, with a low-pass of the same
    requirements as decimate()'s (flat to 80 % of the new Nyquist frequency,
    60 dB down from it on) and the recording continued with its first and
    last values beyond its ends."""
    samples = np.asarray(samples, dtype=np.float64)
    divisor = math.gcd(source_rate_per_s, target_rate_per_s)
    up, down = target_rate_per_s // divisor, source_rate_per_s // divisor
    if len(samples) == 0 or up == down:
        return samples.copy()
    return signal.resample_poly(samples, up, down, axis=0, window=polyphase_lowpass_taps(up, down),
                                padtype="edge")


@functools.lru_cache(maxsize=None)
def polyphase_lowpass_taps(up, down):
    """The anti-aliasing filter at the intermediate rate (up times the source
    rate), each of its up phases scaled to a gain of exactly 1/up at 0 Hz:
    the resampler multiplies by up, and every output sample comes from one
    phase, so gravity is kept to the last bit whichever phase an output
    sample falls on."""
    # Frequencies in cycles per source sample; the filter runs at up per source sample.
    nyquist = 0.5 * min(up, down) / down          # the lower of the two rates' Nyquist frequency
    pass_edge = PASSBAND_FRACTION_OF_NYQUIST * nyquist
    length, beta = signal.kaiserord(STOPBAND_ATTENUATION_DB, (nyquist - pass_edge) / (0.5 * up))
    taps = signal.firwin(length | 1, 0.5 * (pass_edge + nyquist), window=("kaiser", beta), fs=up)
    for phase in range(up):
        taps[phase::up] /= taps[phase::up].sum() * up
    taps.flags.writeable = False                  # shared by every call
    return taps
