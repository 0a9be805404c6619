import math
import subprocess
import sys
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest

from reference import loop_sum, same
from marlox_stats import marlox_stats_rs as m

NAN = float("nan")


# --- oracles: the documented per-window arithmetic, written out in Python ---

def _mean(v):
    return loop_sum(v, -0.0) / len(v)


def _ss(v, mu):
    return loop_sum([(t - mu) * (t - mu) for t in v])


def ref_autocorr(x, lag, w):
    out = []
    for i in range(len(x) - w + 1):
        v = [float(t) for t in x[i:i + w]]
        mu = _mean(v)
        ss = _ss(v, mu)
        if ss <= 0:
            out.append(NAN)
            continue
        out.append(loop_sum([(v[j] - mu) * (v[j - lag] - mu) for j in range(lag, w)]) / ss)
    return np.array(out)


def ref_corr(x, y, w):
    out = []
    for i in range(len(x) - w + 1):
        a, b = [float(t) for t in x[i:i + w]], [float(t) for t in y[i:i + w]]
        ma, mb = _mean(a), _mean(b)
        sxy = loop_sum([(p - ma) * (q - mb) for p, q in zip(a, b)])
        sxx = _ss(a, ma)
        syy = _ss(b, mb)
        p = sxx * syy
        out.append(NAN if p == 0 else sxy / math.sqrt(p))
    return np.array(out)


def ref_cv(x, w):
    x = [float(t) for t in x]

    def emit(m2, mean):
        return math.sqrt(m2 / (w - 1)) / abs(mean) if abs(mean) > 1e-10 and m2 >= 0 else NAN

    mean = m2 = 0.0
    for k in range(1, w + 1):
        d = x[k - 1] - mean
        mean += d / k
        m2 += d * (x[k - 1] - mean)
    out = [emit(m2, mean) if w > 1 else NAN]
    peak, share = m2, min(2.0 ** -8, 0.5 / w)
    for j in range(len(x) - w):
        a, b = x[j], x[j + w]
        d = b - a
        nm = mean + d / w
        m2 += d * ((a + (b - nm)) - mean)
        mean = nm
        peak = m2 if m2 > peak else peak
        if m2 < share * peak:  # M2 has lost its digits: Welford over the window again
            mean = m2 = 0.0
            for k in range(1, w + 1):
                d = x[j + k] - mean
                mean += d / k
                m2 += d * (x[j + k] - mean)
            peak = m2
        out.append(emit(m2, mean) if w > 1 else NAN)
    return np.array(out)


@pytest.fixture
def series():
    return np.random.default_rng(7).standard_normal(80) * 3 + 1


# --- rolling autocorrelation ---

@pytest.mark.parametrize("lag,w", [(0, 5), (1, 5), (3, 10), (1, 80), (9, 10)])
def test_autocorr_exact(series, lag, w):
    assert same(m.rolling_autocorr(series, lag, w), ref_autocorr(series, lag, w))


def test_autocorr_multi_columns_in_given_order(series):
    r = m.rolling_autocorr_multi(series, [2, 1, 2], 12)
    assert r.shape == (69, 3)
    for j, lag in enumerate([2, 1, 2]):
        assert same(r[:, j], m.rolling_autocorr(series, lag, 12))


def test_autocorr_lag0_and_constant_windows():
    x = np.array([2.0, 2, 2, 2, 5, 1, 2, NAN, 3, 4])
    r = m.rolling_autocorr(x, 0, 4)
    assert same(r, [NAN, 1, 1, 1, NAN, NAN, NAN])
    mm = m.rolling_autocorr_multi(x, [1, 0], 4)
    assert np.isnan(mm[0]).all() and np.isnan(mm[4:]).all()
    assert same(mm[1:4, 1], [1, 1, 1])


# equal values whose mean rounds (ten 0.1 average to 0.09999999999999999) and
# values whose mean is exact
CONSTANTS = [0.1, 0.7, 1 / 3, 2.0, 1e-300 * 3, 1e300 / 3, -0.1, -2 / 3]


@pytest.mark.parametrize("v", CONSTANTS)
@pytest.mark.parametrize("w", [1, 3, 10])
def test_constant_windows_are_nan_whatever_their_mean(v, w):
    # a run of ten equal values amid others: every window inside the run is
    # NaN, as for a constant window of exact mean. Where squared deviations
    # neither underflow nor overflow, lag 0 is 1.0 in every other window, and a
    # window one ulp away from constant is not constant.
    z = np.random.default_rng(4).standard_normal(12) * abs(v)
    x = np.r_[z[:6], np.full(10, v), z[6:]]
    inside = np.zeros(len(x) - w + 1, bool)
    inside[6:17 - w] = True
    moderate = w > 1 and 1e-100 < abs(v) < 1e100
    r0 = m.rolling_autocorr(x, 0, w)
    assert np.isnan(r0[inside]).all() and (not moderate or (r0[~inside] == 1.0).all())
    assert np.isnan(m.rolling_autocorr(x, w - 1, w)[inside]).all()
    mm = m.rolling_autocorr_multi(x, [w - 1, 0], w)
    assert same(mm[:, 1], r0) and np.isnan(mm[inside]).all()
    y = np.sin(np.arange(len(x)))
    for r in (m.rolling_correlation(x, y, w), m.rolling_correlation(y, x, w), m.rolling_correlation(x, x, w)):
        assert np.isnan(r[inside]).all() and (not moderate or np.isfinite(r[~inside]).all())
    if moderate:
        x[11] = np.nextafter(v, math.inf)
        near = slice(max(6, 12 - w), min(11, 16 - w) + 1)  # windows of the run holding x[11]
        assert (m.rolling_autocorr(x, 0, w)[near] == 1.0).all()
        assert np.isfinite(m.rolling_correlation(x, y, w)[near]).all()
        assert np.isfinite(m.rolling_correlation(y, x, w)[near]).all()


def test_autocorr_degenerate_shapes(series):
    assert m.rolling_autocorr(series[:10], 1, 50).shape == (0,)
    assert m.rolling_autocorr(series, 1, 80).shape == (1,)
    assert m.rolling_autocorr_multi(series[:10], [1, 2], 50).shape == (0, 2)
    assert m.rolling_autocorr_multi(series, [], 50).shape == (31, 0)
    assert m.rolling_autocorr(series).shape == (31,)


@pytest.mark.parametrize("call,msg", [
    (lambda x: m.rolling_autocorr(x, 5, 0), "window must be >= 1"),
    (lambda x: m.rolling_autocorr(x, 50, 50), "lag must be smaller than window"),
    (lambda x: m.rolling_autocorr(x[:3], 5, 4), "lag must be smaller than window"),
    (lambda x: m.rolling_autocorr_multi(x, [60], 0), "window must be >= 1"),
    (lambda x: m.rolling_autocorr_multi(x, [3, 60, 70], 50), "all lags must be smaller than window, got lag=60"),
    (lambda x: m.rolling_autocorr_multi(x[:3], [50], 50), "all lags must be smaller than window, got lag=50"),
    (lambda x: m.rolling_correlation(x[:10], x[:11], 0), "x and y must have same length"),
    (lambda x: m.rolling_correlation(x, x, 0), "window must be >= 1"),
])
def test_autocorr_errors(series, call, msg):
    with pytest.raises(ValueError) as e:
        call(series)
    assert str(e.value) == msg


def test_autocorr_multi_lags_conversion(series):
    with pytest.raises(TypeError, match="^argument 'lags': Can't extract `str` to `Vec`$"):
        m.rolling_autocorr_multi(series, "12")
    with pytest.raises(TypeError, match="^argument 'lags': "):
        m.rolling_autocorr_multi(series, 3)
    with pytest.raises(OverflowError):
        m.rolling_autocorr_multi(series, [-1])
    assert same(m.rolling_autocorr_multi(series, (1, 2), 10), m.rolling_autocorr_multi(series, [1, 2], 10))


@pytest.mark.parametrize("w", [1, 2, 7, 80])
def test_correlation_exact(series, w):
    y = np.sin(np.arange(80.0))
    assert same(m.rolling_correlation(series, y, w), ref_corr(series, y, w))
    r = m.rolling_correlation(series, series, max(w, 2))
    assert np.allclose(r, 1.0, atol=1e-14, rtol=0)


def test_correlation_constant_nan_and_short():
    x = np.array([1.0, 2, 3, 4, 5, NAN])
    y = np.array([2.0, 2, 2, 7, 1, 3])
    assert same(m.rolling_correlation(x, y, 3), ref_corr(x, y, 3))
    assert np.isnan(m.rolling_correlation(x, y, 3)[[0, 3]]).all()
    assert m.rolling_correlation(x, y, 7).shape == (0,)
    assert m.rolling_correlation(x, y).shape == (0,)


@pytest.mark.parametrize("k", [-1010, -530, -515, 509, 510, 1000])
def test_series_scaled_by_a_power_of_two_answer_as_unscaled(series, k):
    # Squared deviations of such data overflow or go subnormal; every window is
    # read in its series' unit, so the answers are the unscaled ones to the bit
    # (pandas' rolling correlation the oracle up to rounding).
    x, y = np.ldexp(series, k), np.ldexp(np.sin(np.arange(80.0)) + 2.0, k)
    bx, by = np.ldexp(x, -k), np.ldexp(y, -k)  # the values that survive the scaling
    for lag, w in [(1, 5), (3, 10), (1, 80)]:
        assert same(m.rolling_autocorr(x, lag, w), ref_autocorr(bx, lag, w))
    want = np.column_stack([ref_autocorr(bx, lag, 12) for lag in (2, 1, 11)])
    assert same(m.rolling_autocorr_multi(x, [2, 1, 11], 12), want)
    for w in (2, 7, 80):
        r = m.rolling_correlation(x, y, w)
        assert same(r, ref_corr(bx, by, w))
        np.testing.assert_allclose(r, pd.Series(bx).rolling(w).corr(pd.Series(by)).to_numpy()[w - 1:], rtol=1e-9,
                                   atol=1e-12)


# --- extrema, CV and threshold counts ---

EXTREMA = [m.rolling_min, m.rolling_max, m.rolling_range, m.rolling_cv]
COUNTS = [m.rolling_count_above, m.rolling_pct_above]


@pytest.mark.parametrize("w", [1, 2, 5, 33, 80])
def test_extrema_match_pandas(series, w):
    s = pd.Series(series).rolling(w)
    lo, hi = s.min().to_numpy()[w - 1:], s.max().to_numpy()[w - 1:]
    assert same(m.rolling_min(series, w), lo)
    assert same(m.rolling_max(series, w), hi)
    assert same(m.rolling_range(series, w), hi - lo)


def test_extrema_small_cases():
    assert same(m.rolling_max(np.array([1.0, 3, 3, 2]), 2), [3, 3, 3])
    assert same(m.rolling_min(np.array([-0.0, 0.0, 1.0]), 2), [0.0, 0.0])  # latest of equal extremes
    assert same(m.rolling_max(np.array([0.0, -0.0, -1.0]), 2), [-0.0, -0.0])


def test_extrema_nan_windows():
    x = np.array([1.0, NAN, 5, 0, 2, 3, -np.inf])
    # a window holding a NaN is NaN, whatever the NaN's place in the deque
    assert same(m.rolling_max(x, 3), [NAN, NAN, 5, 3, 3])
    assert same(m.rolling_min(x, 3), [NAN, NAN, 0, 0, -np.inf])
    assert same(m.rolling_range(x, 3), [NAN, NAN, 5, 3, np.inf])
    assert same(m.rolling_range(x, 1), [0, NAN, 0, 0, 0, 0, NAN])
    assert same(m.rolling_min(x, 1), x) and same(m.rolling_max(x, 1), x)


def test_cv_exact(series):
    for w in (2, 5, 20, 80):
        assert same(m.rolling_cv(series, w), ref_cv(series, w))
    assert np.isnan(m.rolling_cv(series, 1)).all()
    assert np.allclose(m.rolling_cv(series + 10, 20),
                       pd.Series(series + 10).rolling(20).std().to_numpy()[19:] / np.abs(pd.Series(series + 10).rolling(20).mean().to_numpy()[19:]),
                       rtol=1e-9)


@pytest.mark.parametrize("x, w, later", [
    (np.array([1, 2, 3, 1e10, 1, 2, 3, 4, 5.0]), 3, [4, 5, 6]),
    (np.array([0.3, 0.1, -2e12, 0.7, 0.2, 0.9, 0.4, 0.6]), 2, range(3, 7)),
    (np.concatenate([np.linspace(1, 40, 12), np.full(9, 2.7), [3.0, 1.0]]), 4, range(12, 20)),
])
def test_cv_after_a_large_value_or_in_a_constant_run(x, w, later):
    # windows of ordinary values: their own cv, exactly 0 for a constant run
    got = m.rolling_cv(x, w)
    for k in later:
        f = [Fraction(float(v)) for v in x[k:k + w]]
        mu = sum(f) / w
        want = math.sqrt(float(sum((v - mu) ** 2 for v in f) / (w - 1))) / abs(float(mu))
        assert got[k] == want == 0.0 or abs(got[k] - want) <= 1e-12 * want, (k, got[k], want)


def test_cv_tiny_mean_and_nonfinite_recovery():
    assert same(m.rolling_cv(np.array([1e-11 + 5, 1e-11 - 5]) - np.array([5.0, -5.0]) + np.array([5, -5.0]), 2),
                [NAN])
    x = np.array([1.0, 2, NAN, 4, 5, 6, 7, np.inf, 1, 2, 3])
    r = m.rolling_cv(x, 3)
    fresh = [ref_cv(x[j:j + 3], 3)[0] for j in range(9)]
    # windows clean of NaN/inf get their own value once the bad value has left
    assert same(r, fresh)
    assert np.isnan(r[[0, 1, 2, 5, 6, 7]]).all() and np.isfinite(r[[3, 4, 8]]).all()


def test_counts():
    x = np.array([1.0, -1, 1, -1])
    assert same(m.rolling_pct_above(x, 0.0, 2), [0.5, 0.5, 0.5])
    assert same(m.rolling_count_above(x, 0.0, 2), [1, 1, 1])
    y = np.array([0.0, 1, NAN, 2, 0, 3])
    assert same(m.rolling_count_above(y, 0.0, 3), [1, 2, 1, 2])
    assert same(m.rolling_count_above(y, NAN, 2), [0] * 5)
    assert same(m.rolling_pct_above(y, 1.0, 3), [0, 1 / 3, 1 / 3, 2 / 3])
    assert same(m.rolling_count_above(np.arange(30.0)), [19.0] + [20.0] * 10)


@pytest.mark.parametrize("f", EXTREMA + COUNTS)
def test_windows_and_errors(series, f):
    assert f(series[:10]).shape == (0,)
    assert f(series[:20]).shape == (1,)
    assert f(series, window=80).shape == (1,)
    with pytest.raises(ValueError, match="^window must be >= 1$"):
        f(series, window=0)
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        f(np.arange(40.0)[::2], window=0)
    x = series.copy()
    f(x, window=3)
    assert same(x, series)


def test_results_independent_of_threads(series):
    code = ("import numpy as np; from marlox_stats import marlox_stats_rs as m;"
            "x=np.random.default_rng(3).standard_normal(5000);"
            "print(m.rolling_autocorr_multi(x,[1,4],40).tobytes().hex()[:4000], m.rolling_cv(x,30).sum().hex(),"
            "m.rolling_correlation(x,x[::-1].copy(),25).sum().hex())")
    outs = {subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                           env={"OMP_NUM_THREADS": t, "PATH": "/usr/bin"}).stdout for t in ("1", "4")}
    assert len(outs) == 1
