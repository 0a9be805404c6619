"""Spectral estimates and features against scipy.signal and numpy.fft.

The features have no single peer call: the peer is the numpy expression a user
would write over the periodogram (rfft, |X|^2 and the reduction).
"""
import numpy as np
from scipy import signal

from marlox_stats import marlox_stats_rs as m


def _power(x):
    n = x.size
    p = np.abs(np.fft.rfft(x)) ** 2 / (n * n)
    p[1:(n + 1) // 2] *= 2
    return np.fft.rfftfreq(n), p


def _entropy(x):
    _, p = _power(x)
    q = p[p > 0] / p.sum()
    return -np.sum(q * np.log(q))


def _centroid(x):
    f, p = _power(x)
    return np.sum(f * p) / p.sum()


def _dominant(x):
    f, p = _power(x)
    return f[1 + np.argmax(p[1:])]


def benchmarks():
    rng = np.random.default_rng(0)
    for n in (48, 1_000, 1_000_000):
        x = rng.standard_normal(n)
        yield "periodogram", n, lambda: m.periodogram(x), \
            lambda: signal.periodogram(x, detrend=False, scaling="spectrum"), "scipy.signal.periodogram"
        yield "periodogram vs rfft", n, lambda: m.periodogram(x), lambda: _power(x), "np.fft.rfft |X|^2"
        yield "welch_psd", n, lambda: m.welch_psd(x), lambda: signal.welch(x, nperseg=min(256, n)), \
            "scipy.signal.welch"
        yield "bartlett_psd", n, lambda: m.bartlett_psd(x), \
            lambda: signal.welch(x, nperseg=min(256, n), noverlap=0), "scipy.signal.welch(noverlap=0)"
        yield "cumulative_periodogram", n, lambda: m.cumulative_periodogram(x), \
            lambda: np.cumsum(_power(x)[1]) / _power(x)[1].sum(), "numpy rfft + cumsum"
        yield "spectral_entropy", n, lambda: m.spectral_entropy(x), lambda: _entropy(x), "numpy rfft expression"
        yield "spectral_centroid", n, lambda: m.spectral_centroid(x), lambda: _centroid(x), "numpy rfft expression"
        yield "dominant_frequency", n, lambda: m.dominant_frequency(x), lambda: _dominant(x), \
            "numpy rfft expression"
