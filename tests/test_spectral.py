"""Spectral estimates and the features read off the periodogram."""
import math
import subprocess
import sys

import numpy as np
import pytest
from scipy import signal

from reference import loop_sum, same
from marlox_stats import marlox_stats_rs as m

NAN = math.nan
TWO_PI = 6.283185307179586


def rng(n, seed=0):
    return np.random.default_rng(seed).standard_normal(n)


def ref_direct(x):
    """The direct transform in its documented order of operations."""
    n = len(x)
    P = []
    for k in range(n // 2 + 1):
        re = im = 0.0
        for t in range(n):
            a = (float(k) * -TWO_PI * float(t)) / n
            re += float(x[t]) * math.cos(a)
            im += float(x[t]) * math.sin(a)
        P.append((re * re + im * im) / (float(n) * float(n)))
    return fold(P, n)


def fold(P, n):
    end = len(P) - 1 if n % 2 == 0 else len(P)
    return np.array([2.0 * v if 0 < k < end else v for k, v in enumerate(P)])


def freqs(n):
    return np.array([k / n for k in range(n // 2 + 1)])


# ---------------------------------------------------------------- periodogram


@pytest.mark.parametrize("n", [1, 2, 3, 7, 10, 63])
def test_periodogram_direct_exact(n):
    x = rng(n, n)
    f, p = m.periodogram(x)
    assert same(f, freqs(n))
    assert same(p, ref_direct(x))


def test_periodogram_small_by_hand():
    f, p = m.periodogram(np.array([3.0]))
    assert same(f, [0.0]) and same(p, [9.0])
    # n = 2: X0 = 3, X1 = -1; the Nyquist bin is not doubled.
    f, p = m.periodogram(np.array([1.0, 2.0]))
    assert same(f, [0.0, 0.5])
    assert p[0] == 9.0 / 4 and abs(p[1] - 1.0 / 4) < 1e-16
    # n = 3: the last bin is doubled.
    x = np.array([1.0, 0.0, 0.0])
    f, p = m.periodogram(x)
    assert same(f, [0.0, 1 / 3]) and p[0] == 1 / 9 and abs(p[1] - 2 / 9) < 1e-16


@pytest.mark.parametrize("n", [64, 65, 97, 128, 1000, 1009])
def test_periodogram_fft_path(n):
    x = rng(n, n)
    f, p = m.periodogram(x)
    X = np.fft.fft(x)[: n // 2 + 1]
    assert same(f, freqs(n))
    np.testing.assert_allclose(p, fold(list(np.abs(X) ** 2 / (n * n)), n), rtol=1e-11, atol=1e-15)
    _, q = signal.periodogram(x, detrend=False, scaling="spectrum")
    np.testing.assert_allclose(p, q, rtol=1e-10, atol=1e-15)


def test_direct_and_fast_paths_agree():
    x = rng(64, 5)
    _, p64 = m.periodogram(x)
    # the same series computed by the direct order of operations
    np.testing.assert_allclose(p64, ref_direct(x), rtol=1e-10, atol=1e-15)


@pytest.mark.parametrize("n,k0", [(16, 3), (100, 7), (101, 50)])
def test_pure_cosine(n, k0):
    t = np.arange(n)
    _, p = m.periodogram(np.cos(2 * np.pi * k0 * t / n))
    assert abs(p[k0] - 0.5) < 1e-12
    assert np.max(np.delete(p, k0)) < 1e-20


def test_empty_everywhere():
    e = np.array([], dtype=np.float64)
    for fn in (m.periodogram, m.welch_psd, m.bartlett_psd, m.cumulative_periodogram, m.spectral_peaks):
        f, p = fn(e)
        assert f.shape == (0,) and p.shape == (0,) and f.dtype == np.float64
    for fn in (m.band_power, m.spectral_entropy, m.spectral_rolloff, m.spectral_centroid,
               m.spectral_flatness, m.dominant_frequency):
        assert math.isnan(fn(e))


@pytest.mark.parametrize("x", [np.r_[rng(10), NAN, rng(89)], np.array([1, 2, NAN, 4, 5, 6.0])])
def test_nan_propagates(x):
    # a NaN anywhere in the series leaves no bin of the spectrum known: every
    # scalar feature is NaN, whatever the band or percentile asked for
    _, p = m.periodogram(x)
    assert np.all(np.isnan(p))
    for fn in (m.spectral_entropy, m.spectral_rolloff, m.dominant_frequency, m.spectral_centroid,
               m.spectral_flatness, m.band_power):
        assert math.isnan(fn(x))
    assert math.isnan(m.spectral_rolloff(x, 2.0)) and math.isnan(m.spectral_rolloff(x, 0.0))
    assert math.isnan(m.band_power(x, NAN, 0.5)) and math.isnan(m.band_power(x, 0.4, 0.1))
    f, q = m.spectral_peaks(x)
    assert f.size == 0 and q.size == 0


# ---------------------------------------------------------------- welch / bartlett


@pytest.mark.parametrize("n,N,o", [(1000, 256, None), (1000, 100, 30), (20, 8, 4), (777, 64, 63), (300, 65, 0)])
def test_welch_against_scipy(n, N, o):
    x = rng(n, 3)
    f, p = m.welch_psd(x, N, o)
    fs, ps = signal.welch(x, nperseg=N, noverlap=o, window="hann", detrend="constant")
    assert same(f, freqs(N))
    np.testing.assert_allclose(p, ps, rtol=1e-10, atol=1e-16)


def test_welch_segment_count():
    # N = 8, o = 4 on 22 points: S = 4 segments at 0, 4, 8, 12; the last 2 points are unused.
    x = rng(22, 9)
    assert same(m.welch_psd(x, 8, 4)[1], m.welch_psd(x[:20].copy(), 8, 4)[1])
    w = 0.5 * (1 - np.cos(np.arange(8) * TWO_PI / 8))
    acc = np.zeros(5)
    for s0 in (0, 4, 8, 12):
        seg = x[s0:s0 + 8]
        acc += np.abs(np.fft.fft(w * (seg - seg.mean()))[:5]) ** 2 / np.sum(w * w)
    acc /= 4
    acc[1:4] *= 2
    np.testing.assert_allclose(m.welch_psd(x, 8, 4)[1], acc, rtol=1e-12)


def test_bartlett_is_welch_without_overlap():
    x = rng(20, 4)
    assert same(m.bartlett_psd(x, 8)[1], m.welch_psd(x, 8, 0)[1])
    y = x.copy()
    y[16:] = -5.0  # the last 4 points are ignored
    assert same(m.bartlett_psd(y, 8)[1], m.bartlett_psd(x, 8)[1])
    _, ps = signal.welch(x, nperseg=8, noverlap=0)
    np.testing.assert_allclose(m.bartlett_psd(x, 8)[1], ps, rtol=1e-10)
    assert same(m.bartlett_psd(rng(600))[1], m.welch_psd(rng(600), 256, 0)[1])


@pytest.mark.parametrize("v", [0.1, 1 / 3, 0.7, 2.0])
def test_welch_segments_of_equal_values_have_no_power(v):
    # Each segment is detrended by its mean: equal values leave no power,
    # whether or not their mean rounds, in whole series and in the segments of
    # a constant run amid noise (SciPy's welch the oracle).
    for x, N, o in [(np.full(10, v), 8, None), (np.full(300, v), 64, 0), (np.r_[np.full(64, v), rng(64, 5)], 16, 8)]:
        for p in [m.welch_psd(x, N, o)[1]] + ([m.bartlett_psd(x, N)[1]] if o == 0 else []):
            _, ps = signal.welch(x, nperseg=N, noverlap=o, window="hann", detrend="constant")
            np.testing.assert_allclose(p, ps, rtol=1e-10, atol=1e-28)
            if (x == v).all():  # all equal: exactly nothing
                assert same(p, np.zeros(N // 2 + 1))
    run = np.r_[np.full(64, v), rng(64, 5)]
    segs = [run[s0:s0 + 16] for s0 in range(0, 113, 8)]
    w = 0.5 * (1 - np.cos(np.arange(16) * TWO_PI / 16))
    # The first seven segments lie in the run: only the later ones add power.
    acc = sum(np.abs(np.fft.fft(w * (sg - sg.mean()))[:9]) ** 2 for sg in segs[7:]) / np.sum(w * w) / len(segs)
    acc[1:8] *= 2
    np.testing.assert_allclose(m.welch_psd(run, 16, 8)[1], acc, rtol=1e-12)


@pytest.mark.parametrize("args", [(256,), (0,), (8, 8), (8, 9), (200, None)])
def test_welch_falls_back_to_periodogram(args):
    x = rng(100, 2)
    per = m.periodogram(x)
    f, p = m.welch_psd(x, *args)
    assert same(f, per[0]) and same(p, per[1]) and len(f) == 51


def test_welch_defaults_and_one_point_window():
    x = rng(1000, 6)
    assert same(m.welch_psd(x)[1], m.welch_psd(x, 256, 128)[1])
    assert same(m.welch_psd(x, nperseg=256, noverlap=None)[1], m.welch_psd(x)[1])
    f, p = m.welch_psd(x, 1)
    assert same(f, [0.0]) and math.isnan(p[0])


# ---------------------------------------------------------------- cumulative periodogram


def test_cumulative_periodogram():
    x = rng(50, 7)
    f, r = m.cumulative_periodogram(x)
    _, p = m.periodogram(x)
    run, acc = [], 0.0
    for v in p:
        acc += float(v)
        run.append(acc)
    assert same(f, freqs(50))
    assert same(r, np.array(run) / acc) and r[-1] == 1.0
    f, r = m.cumulative_periodogram(np.zeros(10))
    assert same(r, np.zeros(6))


# ---------------------------------------------------------------- features


def spec(x):
    return m.periodogram(x)


@pytest.mark.parametrize("lo,hi", [(0.0, 0.5), (0.1, 0.3), (0.2, 0.2), (0.3, 0.1), (NAN, 0.5), (-1.0, 2.0)])
def test_band_power(lo, hi):
    x = rng(40, 1)
    f, p = spec(x)
    want = loop_sum([v for fk, v in zip(f, p) if lo <= fk <= hi])
    assert same(m.band_power(x, lo, hi), want)
    assert same(m.band_power(x), loop_sum(p))


def test_spectral_peaks():
    n = 64
    t = np.arange(n)
    # peaks at bins 5, 9 and 20, a stronger one in bin 1 (never tested)
    x = 2 * np.cos(2 * np.pi * 5 * t / n) + np.cos(2 * np.pi * 9 * t / n) + 3 * np.cos(2 * np.pi * t / n) \
        + 0.5 * np.cos(2 * np.pi * 20 * t / n)
    f, p = m.spectral_peaks(x, 5, 1e-6)
    assert list(f) == [5 / 64, 9 / 64, 20 / 64]
    _, P = spec(x)
    assert same(p, P[[5, 9, 20]])
    assert list(m.spectral_peaks(x, 1, 1e-6)[0]) == [5 / 64]
    assert m.spectral_peaks(x, 0)[0].size == 0
    assert list(m.spectral_peaks(x, 5, 0.3)[0]) == [5 / 64, 9 / 64]
    for n in (0, 1, 5):
        assert m.spectral_peaks(rng(n), 5)[0].size == 0  # m < 4: no candidates
    assert m.spectral_peaks(np.zeros(30))[0].size == 0


def test_spectral_peaks_sorted_by_power():
    x = rng(200, 11)
    f, p = m.spectral_peaks(x, 1000)
    _, P = spec(x)
    idx = [i for i in range(2, len(P) - 1) if P[i] > P[i - 1] and P[i] > P[i + 1]]
    idx.sort(key=lambda i: -P[i])
    assert same(f, np.array(idx) / 200) and same(p, P[idx])


def ref_entropy(p):
    tot = loop_sum(p)
    h = 0.0
    for v in p:
        if v > 0:
            q = float(v) / tot
            h = h - q * math.log(q)
    return h


def ref_flatness(x):
    _, p = spec(x)
    v = [max(float(a), 1e-10) for a in p]
    return math.exp(loop_sum(math.log(a) for a in v) / len(v)) / (loop_sum(v) / len(v))


@pytest.mark.parametrize("kind", ["tone", "tone in faint noise", "two tones", "white noise"])
def test_spectral_flatness_raises_empty_bins_to_the_floor(kind):
    # Bins at or below 1e-10 count at the floor instead of dropping out, so a
    # tonal spectrum scores near 0 while white noise keeps its ratio of means
    # (about exp(-Euler's gamma) = 0.56 for a raw periodogram).
    t = np.arange(256)
    x = {"tone": np.cos(2 * np.pi * 8 * t / 256),
         "tone in faint noise": np.cos(2 * np.pi * 8 * t / 256) + 1e-7 * rng(256, 3),
         "two tones": np.cos(2 * np.pi * 8 * t / 256) + 0.5 * np.sin(2 * np.pi * 50 * t / 256),
         "white noise": rng(4096, 5)}[kind]
    flat = m.spectral_flatness(x)
    assert same(flat, ref_flatness(x))
    if kind == "white noise":
        assert abs(flat - math.exp(-np.euler_gamma)) < 0.05
    else:
        assert flat < 1e-6
    assert m.spectral_flatness(np.cos(2 * np.pi * 8 * np.arange(64) / 64)) < 1e-6


@pytest.mark.parametrize("n", [2, 17, 100, 255])
def test_features_exact(n):
    x = rng(n, n + 1)
    f, p = spec(x)
    tot = loop_sum(p)
    assert same(m.spectral_entropy(x), ref_entropy(p))
    assert same(m.spectral_centroid(x), loop_sum(float(a) * float(b) for a, b in zip(f, p)) / tot)
    assert same(m.spectral_flatness(x), ref_flatness(x))
    for pct in (0.0, 0.5, 0.85, 1.0, 1.5):
        c, want = 0.0, f[-1]
        for fk, pk in zip(f, p):
            c += float(pk)
            if c >= pct * tot:
                want = fk
                break
        assert same(m.spectral_rolloff(x, pct), want)
    best = 1
    for k in range(2, len(p)):
        if not p[best] > p[k]:
            best = k
    assert same(m.dominant_frequency(x), f[best])


SCALES = [2.0**k for k in (-600, -520, -300, -64, 3, 200, 400, 510)] + [1e-158, 1e-150, 1e150, 1e153]


@pytest.mark.parametrize("n", [40, 256])  # direct and fast transforms
@pytest.mark.parametrize("scale", SCALES, ids=lambda s: f"{s:.0e}")
def test_scaled_data(n, scale):
    # Features are ratios of the power spectrum: data scaled by a power of two
    # give the unscaled bits, decimal factors the unscaled values up to
    # rounding. Spectra carry the unit squared: those of x * 2^k are those of
    # x times 4^k, rounded once, inf where they truly overflow.
    x = rng(n, 7)
    y = x * scale
    k = math.frexp(scale)[1] - 1 if math.frexp(scale)[0] == 0.5 else None
    ratios = [
        lambda v: m.spectral_entropy(v), lambda v: m.spectral_centroid(v),
        lambda v: m.spectral_rolloff(v, 0.6), lambda v: m.dominant_frequency(v),
        lambda v: m.spectral_peaks(v, 4)[0], lambda v: m.cumulative_periodogram(v)[1],
    ]
    spectra = [
        lambda v: m.periodogram(v)[1], lambda v: m.welch_psd(v, 16)[1], lambda v: m.bartlett_psd(v, 8)[1],
        lambda v: m.band_power(v, 0.1, 0.4), lambda v: m.spectral_peaks(v, 4)[1],
    ]
    for fn in ratios:
        want, got = fn(x), fn(y)
        assert same(got, want) if k is not None else np.allclose(got, want, rtol=1e-12, atol=0)
    # Flatness floors powers below 1e-10 of the data as given: scaled up, the
    # floor bites nowhere and the ratio is the unscaled one up to rounding;
    # scaled far down, every power is under it.
    if scale > 1:
        assert m.spectral_flatness(y) == pytest.approx(m.spectral_flatness(x), rel=1e-12)
    elif scale < 1e-100:
        assert math.isnan(m.spectral_flatness(y))
    for fn in spectra:
        want, got = fn(x), fn(y)
        if k is not None:
            assert same(got, np.ldexp(want, 2 * k))
        else:
            # Subnormal powers (factor 1e-158) keep what digits they can.
            assert np.allclose(got, want * scale * scale, rtol=1e-12, atol=2 * 2.0**-1074)


def test_feature_degenerate():
    z = np.zeros(16)
    assert m.band_power(z) == 0.0
    for fn in (m.spectral_entropy, m.spectral_rolloff, m.spectral_centroid, m.spectral_flatness):
        assert math.isnan(fn(z))
    assert m.dominant_frequency(z) == 0.5
    assert math.isnan(m.dominant_frequency(np.array([4.0])))
    assert m.dominant_frequency(np.array([1.0, 2.0])) == 0.5
    assert m.spectral_rolloff(rng(30), 0.0) == 0.0
    assert math.isnan(m.spectral_flatness(np.full(20, 1e-7)))  # only bin 0 nonzero, 4e-14
    assert m.spectral_rolloff(rng(30), 2.0) == 0.5
    assert m.spectral_rolloff(rng(30), NAN) == 0.5
    t = np.arange(64)
    assert m.dominant_frequency(np.sin(2 * np.pi * 10 * t / 64)) == 10 / 64


# ---------------------------------------------------------------- calling surface


def test_signatures_and_errors():
    assert m.welch_psd.__text_signature__ == "(x, nperseg=256, noverlap=None)"
    assert m.spectral_peaks.__text_signature__ == "(x, n_peaks=5, min_height=0.0)"
    assert m.periodogram.__doc__.startswith("Raw periodogram (automatically chooses FFT or DFT)")
    x = rng(200)
    for fn in (m.periodogram, m.welch_psd, m.band_power, m.spectral_peaks, m.dominant_frequency):
        with pytest.raises(TypeError, match="^The given array is not contiguous$"):
            fn(x[::2])
    with pytest.raises(OverflowError):
        m.welch_psd(x, -1)
    with pytest.raises(OverflowError):
        m.welch_psd(x, 8, -1)


def test_inputs_unchanged():
    x = rng(300)
    keep = x.copy()
    for fn in (m.periodogram, m.welch_psd, m.bartlett_psd, m.cumulative_periodogram, m.spectral_peaks,
               m.band_power, m.spectral_entropy, m.spectral_rolloff, m.spectral_centroid, m.spectral_flatness,
               m.dominant_frequency):
        fn(x)
    assert same(x, keep)


def test_independent_of_thread_count():
    code = ("import numpy as np; from marlox_stats import marlox_stats_rs as m;"
            "x = np.random.default_rng(0).standard_normal(5000);"
            "print(m.periodogram(x)[1].tobytes().hex()[:4000], m.welch_psd(x, 300)[1].tobytes().hex())")
    outs = {subprocess.run([sys.executable, "-c", code], env={"OMP_NUM_THREADS": str(t)},
                           capture_output=True, text=True, check=True).stdout for t in (1, 4)}
    assert len(outs) == 1


def test_keywords():
    x = rng(500, 8)
    assert same(m.welch_psd(x=x, nperseg=64, noverlap=16)[1], m.welch_psd(x, 64, 16)[1])
    assert same(m.bartlett_psd(x, nperseg=64)[1], m.welch_psd(x, 64, 0)[1])
    assert same(m.band_power(x, freq_high=0.25, freq_low=0.1), m.band_power(x, 0.1, 0.25))
    assert same(m.spectral_rolloff(x, percentile=0.5), m.spectral_rolloff(x, 0.5))
    assert same(m.spectral_peaks(x, min_height=0.01, n_peaks=3)[0], m.spectral_peaks(x, 3, 0.01)[0])
