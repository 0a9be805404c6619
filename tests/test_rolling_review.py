"""Rolling options, the running-sum family and the fused kernel, checked
against literal transcriptions of their arithmetic (compared with ==)."""
import inspect
import math

import numpy as np
import pytest

from conftest import loop_sum, same
from marlox_stats import marlox_stats_rs as m

NAN = math.nan
INF = math.inf
STATS = ["mean", "std", "var", "count", "min", "max"]
PLAIN = ["rolling_mean_np", "rolling_var_np", "rolling_std_np", "rolling_mean_std_np", "rolling_zscore_np"]
NANFAM = ["rolling_mean_nan_np", "rolling_std_nan_np", "rolling_zscore_nan_np"]


def arr(*v):
    return np.array(v, dtype=np.float64)


def both(fn, x, window, **kw):
    """The error text of fn on a series and of the column form on a matrix."""
    texts = []
    for f, data in ((m.rolling_multi_np, x), (m.rolling_multi_axis0_np, np.ascontiguousarray(x[:, None]))):
        with pytest.raises(ValueError) as e:
            f(data, window, **kw)
        texts.append(str(e.value))
    assert texts[0] == texts[1]
    return texts[0]


class Kahan:
    def __init__(self):
        self.s = self.e = 0.0

    def add(self, v):
        y = v - self.e
        t = self.s + y
        self.e = (t - self.s) - y
        self.s = t


# ---------------------------------------------------------------- options

X5 = arr(1, 2, 3, 4, 5)


@pytest.mark.parametrize("kw, msg", [
    # the alignment error wins over everything after it
    (dict(alignment="middle", nan_policy="omit", window=0, min_periods=0, stats=["x"]),
     "Invalid alignment: 'middle'. Must be 'trailing' or 'centered'"),
    (dict(alignment="trailing ", window=0), "Invalid alignment: 'trailing '. Must be 'trailing' or 'centered'"),
    (dict(alignment="\tcentered"), "Invalid alignment: '\tcentered'. Must be 'trailing' or 'centered'"),
    (dict(alignment=""), "Invalid alignment: ''. Must be 'trailing' or 'centered'"),
    (dict(alignment="ＴＲＡＩＬＩＮＧ"), "Invalid alignment: 'ＴＲＡＩＬＩＮＧ'. Must be 'trailing' or 'centered'"),
    (dict(nan_policy="Omit", window=0, min_periods=9, stats=[]),
     "Invalid nan_policy: 'Omit'. Must be 'propagate', 'ignore', or 'require_min_periods'"),
    (dict(nan_policy="require-min-periods"),
     "Invalid nan_policy: 'require-min-periods'. Must be 'propagate', 'ignore', or 'require_min_periods'"),
    (dict(nan_policy=" ignore"),
     "Invalid nan_policy: ' ignore'. Must be 'propagate', 'ignore', or 'require_min_periods'"),
    (dict(window=0, min_periods=7, stats=["x"]), "window must be >= 1"),
    (dict(window=3, min_periods=0, stats=["x"]), "min_periods must be >= 1 (or None)"),
    (dict(window=3, min_periods=4, stats=[]), "min_periods (4) cannot exceed window (3)"),
    (dict(window=3, min_periods=2**64 - 1), "min_periods (18446744073709551615) cannot exceed window (3)"),
    (dict(window=2**63, min_periods=2**63 + 1),
     "min_periods (9223372036854775809) cannot exceed window (9223372036854775808)"),
    # the mask parse: trimmed, lower-cased, first unknown token reported
    (dict(stats=["foo", "bar"]), "Unknown stat: foo"),
    (dict(stats=["mean", " MEDIAN\u3000", "bar"]), "Unknown stat: median"),
    (dict(stats=["std,Var, Quantile ,bar"]), "Unknown stat: quantile"),
    (dict(stats=["ＭＥＡＮ"]), "Unknown stat: ｍｅａｎ"),
    (dict(stats=["\u039c\u0395\u0391\u039d"]), "Unknown stat: \u03bc\u03b5\u03b1\u03bd"),
    # U+180E and U+001C are not White_Space (Python's str.strip would drop U+001C)
    (dict(stats=["\u180emean"]), "Unknown stat: \u180emean"),
    (dict(stats=["\x1cmean"]), "Unknown stat: \x1cmean"),
    (dict(stats=["\u200bstd"]), "Unknown stat: \u200bstd"),
    (dict(stats=[]), "No valid statistics specified"),
    (dict(stats=["", ""]), "No valid statistics specified"),
    (dict(stats=[" \t", "\n", ",", "\u0085\u00a0\u1680\u2000\u200a\u2028\u2029\u202f\u205f\u3000"]),
     "No valid statistics specified"),
    # accepted by the mask only once trimmed or split: refused as written
    (dict(stats=["MEAN", " Std "]), "Unknown stat:  Std "),
    (dict(stats=["mean", "\u0085max\u2028"]), "Unknown stat: \u0085max\u2028"),
    (dict(stats=["mean", "\t"]), "Unknown stat: \t"),
    (dict(stats=["max", "mean,std"]), "Unknown stat: mean,std"),
    (dict(stats=["Count", "count", "COUNT,"]), "Unknown stat: COUNT,"),
    (dict(stats=["mean,,max,"]), "Unknown stat: mean,,max,"),
])
def test_option_messages_and_their_order(kw, msg):
    kw = {"window": 3, **kw}
    window = kw.pop("window")
    assert both(None, X5, window, **kw) == msg


def test_options_fold_case_without_trimming():
    for align in ("trailing", "TRAILING", "Trailing", "tRaIlInG"):
        assert same(m.rolling_multi_np(X5, 3, alignment=align)[0], [2, 3, 4])
    for align in ("centered", "CENTERED", "Centered"):
        assert same(m.rolling_multi_np(X5, 3, alignment=align)[0], [1.5, 2, 3, 4, 4.5])
    y = arr(1, NAN, 3, 4)
    for policy in ("ignore", "IGNORE", "Require_Min_Periods", "REQUIRE_MIN_PERIODS"):
        assert same(m.rolling_multi_np(y, 2, 1, nan_policy=policy)[0], [1, 3, 3.5])
    for policy in ("propagate", "PROPAGATE", "Propagate"):
        assert same(m.rolling_multi_np(y, 2, 1, nan_policy=policy)[0], [NAN, NAN, 3.5])
    # window equal to min_periods is fine; None and absent mean the same
    assert same(m.rolling_multi_np(X5, 5, 5)[0], [3.0])
    assert same(m.rolling_multi_np(X5, 3, None, "trailing", "propagate", None)[0], [2, 3, 4])
    # names fold case one by one; a tuple is a sequence too
    out = m.rolling_multi_np(X5, 3, stats=("MAX", "Mean", "min", "COUNT"))
    assert [list(a) for a in out] == [[3, 4, 5], [2, 3, 4], [1, 2, 3], [3, 3, 3]]


@pytest.mark.parametrize("window, minp", [(-1, None), (2**64, None), (3, -1), (3, 2**64)])
def test_counts_out_of_range_fail_at_conversion(window, minp):
    for f, x in ((m.rolling_multi_np, X5), (m.rolling_multi_axis0_np, np.ones((5, 2)))):
        with pytest.raises(OverflowError):
            f(x, window, minp, alignment="bad")


def test_layout_is_checked_before_the_options():
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        m.rolling_multi_np(np.arange(9.0)[::-1], 0, 0, "bad", "bad", ["bad"])
    with pytest.raises(ValueError, match="^Array must be contiguous$"):
        m.rolling_multi_axis0_np(np.ones((4, 6))[:, ::2], 0, 0, "bad", "bad", ["bad"])
    with pytest.raises(ValueError, match="^Array must be contiguous$"):
        m.rolling_multi_axis0_np(np.asfortranarray(np.ones((4, 3))), 2)
    # an empty matrix has no layout to check
    assert m.rolling_multi_axis0_np(np.ones((6, 0))[::2], 2)[0].shape == (2, 0)
    with pytest.raises(ValueError, match="^window must be >= 1$"):
        m.rolling_multi_axis0_np(np.ones((0, 4)).T, 0)


def test_signatures_and_docstrings():
    for name in PLAIN + NANFAM:
        f = getattr(m, name)
        assert str(inspect.signature(f)) == "(a, window)"
        assert not (f.__doc__ or "").strip() or f.__doc__.startswith(name)
    for name in ("rolling_multi_np", "rolling_multi_axis0_np"):
        f = getattr(m, name)
        sig = inspect.signature(f)
        assert str(sig) == ("(x, window, min_periods=None, alignment='trailing', nan_policy='propagate', "
                            "stats=None)")
        doc = f.__doc__
        for word in ("trailing", "centered", "propagate", "ignore", "require_min_periods", "mean", "std", "var"):
            assert word in doc
    assert m.rolling_multi_np(x=X5, window=2, stats=["count"], nan_policy="ignore", min_periods=1,
                              alignment="centered")[0].tolist() == [2, 3, 3, 3, 2]


# ---------------------------------------------------------------- running-sum engine


def share(w):
    """The share of the largest sum (since the last build) below which a sum's
    digits are taken as lost."""
    return min(0.5 / w, 2.0 ** -8)


def engine(x, w):
    """(means, sds): compensated running sums as written. Once the window holds
    only finite values, a sum that is not finite is summed afresh; so is the
    raw sum when the plain running sum of |v| falls below share(w) of its
    largest value since the last build, and the shifted sums, around the
    window's first value, when w*S2 - S1^2 < w*share(w)*(largest S2)."""
    x = [float(v) for v in x]
    n = len(x)
    if n < w:
        return [], []
    s = x[0] if math.isfinite(x[0]) else 0.0
    sh = share(w)

    def raw(k):
        sx, mag = Kahan(), 0.0
        for v in x[k:k + w]:
            sx.add(v)
            mag += abs(v)
        return sx, mag

    def shifted(k):
        s1, s2 = Kahan(), Kahan()
        for v in x[k:k + w]:
            d = v - s
            s1.add(d)
            s2.add(d * d)
        return s1, s2

    sx, mag = raw(0)
    s1, s2 = shifted(0)
    mag_peak, peak = mag, s2.s
    means, sds = [], []
    for k in range(n - w + 1):
        if k:
            new, old = x[k + w - 1], x[k - 1]
            s1.add(new - s)
            s1.add(-(old - s))
            s2.add((new - s) * (new - s))
            s2.add(-((old - s) * (old - s)))
            peak = s2.s if s2.s > peak else peak
            sx.add(new)
            sx.add(-old)
            mag += abs(new) - abs(old)
            mag_peak = mag if mag > mag_peak else mag_peak
            if all(math.isfinite(v) for v in x[k:k + w]):
                if not math.isfinite(sx.s) or mag < sh * mag_peak:
                    sx, mag = raw(k)
                    mag_peak = mag
                if not (math.isfinite(s1.s) and math.isfinite(s2.s)):
                    s1, s2 = shifted(k)
                    peak = s2.s
                if w > 1 and w * s2.s - s1.s * s1.s < w * sh * peak:
                    s = x[k]
                    s1, s2 = shifted(k)
                    peak = s2.s
        means.append(sx.s / w)
        var = (s2.s - (s1.s * s1.s) / w) / (w - 1) if w > 1 else NAN
        sds.append(NAN if math.isnan(var) else math.sqrt(var if var > 0 else 0.0))
    return means, sds


def nan_engine(x, w):
    """(means, sds, zscores) of the NaN-skipping plain running sums. Once no
    infinity is left in the window, sums that are not finite are summed afresh;
    with two or more values, the shifted sums also when c*S2 - S1^2 falls below
    c*share(w)*(largest S2 since the last build), around the window's first
    non-NaN value."""
    x = [float(v) for v in x]
    s = next((v for v in x if math.isfinite(v)), 0.0)
    sh = share(w)
    tot = s1 = s2 = peak = 0.0
    c = 0
    means, sds, zs = [], [], []
    for i, v in enumerate(x):
        if not math.isnan(v):
            tot += v
            s1 += v - s
            s2 += (v - s) * (v - s)
            c += 1
        if i >= w and not math.isnan(x[i - w]):
            o = x[i - w]
            tot -= o
            s1 -= o - s
            s2 -= (o - s) * (o - s)
            c -= 1
        peak = s2 if s2 > peak else peak
        win = [u for u in x[max(0, i - w + 1):i + 1] if not math.isnan(u)]
        if all(math.isfinite(u) for u in win):
            if not math.isfinite(tot):
                tot = loop_sum(win)
            if not (math.isfinite(s1) and math.isfinite(s2)):
                s1 = loop_sum(u - s for u in win)
                s2 = loop_sum((u - s) * (u - s) for u in win)
                peak = s2
            if c >= 2 and c * s2 - s1 * s1 < c * sh * peak:
                s = win[0]
                s1 = loop_sum(u - s for u in win)
                s2 = loop_sum((u - s) * (u - s) for u in win)
                peak = s2
        means.append(tot / c if c >= 1 else NAN)
        if c >= 2:
            var = (s2 - (s1 * s1) / c) / (c - 1)
            var = var if var > 0 or math.isnan(var) else 0.0  # a NaN variance stays NaN
            sds.append(math.sqrt(var))
        else:
            var = NAN
            sds.append(NAN)
        z = NAN
        if not math.isnan(v) and c >= 2 and var > 0:
            sd = math.sqrt(var)
            if not math.isinf(sd):
                z = ((v - s) - s1 / c) / sd
        zs.append(z)
    return means, sds, zs


def test_running_family_examples():
    # the Part's own examples are in test_rolling.py; these add the mirror
    # image and other constants
    assert same(m.rolling_zscore_np(X5[::-1].copy(), 3), [1.0, 1.0, 1.0])
    assert same(m.rolling_zscore_np(np.full(5, 3.25), 2), [0.0] * 4)
    assert same(m.rolling_zscore_nan_np(X5, 3), [NAN, 0.7071067811865475, 1.0, 1.0, 1.0])
    assert same(m.rolling_zscore_nan_np(np.full(5, 3.25), 2), [NAN] * 5)
    assert same(m.rolling_mean_nan_np(arr(1, NAN, 3), 2), [1.0, 1.0, 3.0])
    assert same(m.rolling_std_nan_np(arr(1, NAN, 3, 5), 2), [NAN, NAN, NAN, 1.4142135623730951])
    for name in NANFAM:
        assert same(getattr(m, name)(np.full(6, NAN), 3), [NAN] * 6)


def test_window_longer_than_the_series_and_empty_input():
    for name in PLAIN:
        out = getattr(m, name)(X5, 6)
        for a in out if isinstance(out, tuple) else (out,):
            assert a.shape == (0,) and a.dtype == np.float64
        out = getattr(m, name)(X5, 2**64 - 1)
        assert (out[0] if isinstance(out, tuple) else out).shape == (0,)
    assert same(m.rolling_mean_nan_np(X5, 6), [1, 1.5, 2, 2.5, 3])
    assert same(m.rolling_mean_nan_np(X5, 2**64 - 1), [1, 1.5, 2, 2.5, 3])
    assert same(m.rolling_std_nan_np(arr(1, 3), 10), [NAN, math.sqrt(2.0)])
    assert same(m.rolling_zscore_nan_np(arr(1, 3), 10), [NAN, 0.7071067811865475])
    for name in PLAIN + NANFAM:
        out = getattr(m, name)(arr(), 4)
        assert (out[0] if isinstance(out, tuple) else out).shape == (0,)


def test_window_checked_before_layout():
    strided = np.arange(10.0)[::3]
    for name in PLAIN + NANFAM:
        with pytest.raises(ValueError, match="^window must be >= 1$"):
            getattr(m, name)(strided, 0)
        with pytest.raises(ValueError, match="^window must be >= 1$"):
            getattr(m, name)(a=arr(), window=0)
        with pytest.raises(TypeError, match="^The given array is not contiguous$"):
            getattr(m, name)(strided, 1)
        with pytest.raises(OverflowError):
            getattr(m, name)(strided, -1)


def test_window_one():
    x = arr(0.1, 0.7, -3.0, 1e300)
    assert same(m.rolling_mean_np(x, 1), x)
    assert same(m.rolling_std_np(x, 1), [NAN] * 4)
    assert same(m.rolling_var_np(x, 1), [NAN] * 4)
    assert same(m.rolling_mean_std_np(x, 1)[1], [NAN] * 4)
    assert same(m.rolling_zscore_np(x, 1), [NAN] * 4)
    assert same(m.rolling_mean_nan_np(x, 1), x)
    assert same(m.rolling_std_nan_np(x, 1), [NAN] * 4)
    assert same(m.rolling_zscore_nan_np(x, 1), [NAN] * 4)


def test_non_finite_values_only_spoil_the_windows_that_hold_them():
    assert same(m.rolling_mean_np(arr(1, NAN, 3, 4, 5), 2), [NAN, NAN, 3.5, 4.5])
    mean, sd = m.rolling_mean_std_np(arr(1, NAN, 3, 4, 5), 2)
    assert same(sd, [NAN, NAN, 0.7071067811865476, 0.7071067811865476])
    # a compensated sum that took in an infinity is NaN from its next
    # addition on; unless the infinity came last in the first window
    assert same(m.rolling_mean_np(arr(1, 2, INF, 4, 5, 6), 3), [INF, NAN, NAN, 5.0])
    assert same(m.rolling_mean_np(arr(1, -INF, 4, 5, 6), 2), [-INF, NAN, 4.5, 5.5])
    assert same(m.rolling_mean_np(arr(INF, 2, 3, 4), 2), [NAN, 2.5, 3.5])
    assert same(m.rolling_std_np(arr(1, 2, INF, 4, 5, 6), 3), [NAN, NAN, NAN, 1.0])
    assert same(m.rolling_zscore_np(arr(1, 2, INF, 4, 5, 6), 3), [NAN, NAN, NAN, -1.0])
    # the NaN-skipping sums are plain: an infinity gives an infinite mean and
    # a NaN variance (no sd) while it is in the window
    assert same(m.rolling_mean_nan_np(arr(1, INF, 3, 4, 5), 2), [1, INF, INF, 3.5, 4.5])
    assert same(m.rolling_std_nan_np(arr(1, INF, 3, 4, 5), 2), [NAN, NAN, NAN, 0.7071067811865476] + [
        0.7071067811865476])
    assert same(m.rolling_zscore_nan_np(arr(1, INF, 3, 4, 5), 2), [NAN, NAN, NAN, 0.7071067811865475,
                                                                    0.7071067811865475])
    # both infinities: NaN until both have left
    assert same(m.rolling_mean_nan_np(arr(INF, -INF, 1, 2, 3), 3), [INF, NAN, NAN, NAN, 2.0])


@pytest.mark.parametrize("offset", [0.0, 1e7, -1e12])
@pytest.mark.parametrize("w", [1, 2, 4, 31])
@pytest.mark.parametrize("spoil", ["none", "nan", "inf", "mixed"])
def test_running_family_bit_exact(offset, w, spoil):
    rng = np.random.default_rng([w, int(abs(offset)) % 1000, len(spoil)])
    x = offset + rng.standard_normal(400) * rng.choice([1e-3, 1.0, 1e3], 400)
    if spoil in ("nan", "mixed"):
        x[rng.random(400) < 0.04] = NAN
    if spoil in ("inf", "mixed"):
        x[rng.random(400) < 0.02] = INF
        x[rng.random(400) < 0.02] = -INF
    if spoil != "none":
        x[0] = [NAN, INF, 2.0][w % 3]
    keep = x.copy()
    means, sds = engine(x, w)
    assert same(m.rolling_mean_np(x, w), means)
    assert same(m.rolling_std_np(x, w), sds)
    assert same(m.rolling_var_np(x, w), [v * v for v in sds])
    mean, sd = m.rolling_mean_std_np(x, w)
    assert same(mean, means) and same(sd, sds)
    z = [NAN if not math.isfinite(d) else (x[k] - mu) / d if d > 0 else 0.0
         for k, (mu, d) in enumerate(zip(means, sds))]
    assert same(m.rolling_zscore_np(x, w), z)
    nmeans, nsds, nzs = nan_engine(x, w)
    assert same(m.rolling_mean_nan_np(x, w), nmeans)
    assert same(m.rolling_std_nan_np(x, w), nsds)
    assert same(m.rolling_zscore_nan_np(x, w), nzs)
    assert same(x, keep)


def test_compensation_is_used():
    # a large offset: a plain running sum drifts away from the compensated one
    x = 1e9 + np.random.default_rng(2).random(2000)
    means, sds = engine(x, 4)
    got = m.rolling_mean_np(x, 4)
    assert same(got, means)
    plain, tot = [], loop_sum(x[:4])
    plain.append(tot / 4)
    for k in range(1, len(x) - 3):
        tot += x[k + 3]
        tot -= x[k - 1]
        plain.append(tot / 4)
    assert not same(got, plain)


def test_agrees_with_peers():
    bn = pytest.importorskip("bottleneck")
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(7)
    for offset in (0.0, 1e7):
        x = offset + rng.standard_normal(3000)
        for w in (3, 20, 250):
            ref = np.lib.stride_tricks.sliding_window_view(x, w)
            mean, sd = m.rolling_mean_std_np(x, w)
            np.testing.assert_allclose(mean, ref.mean(axis=1), rtol=1e-12, atol=1e-15 * (offset + 1))
            np.testing.assert_allclose(sd ** 2, ref.var(axis=1, ddof=1), rtol=1e-10)
            np.testing.assert_allclose(m.rolling_var_np(x, w), ref.var(axis=1, ddof=1), rtol=1e-10)
            if offset == 0.0:
                np.testing.assert_allclose(mean, bn.move_mean(x, w)[w - 1:], rtol=1e-10, atol=1e-13)
                np.testing.assert_allclose(sd, bn.move_std(x, w, ddof=1)[w - 1:], rtol=1e-10)
                y = x.copy()
                y[::5] = NAN
                s = pd.Series(y).rolling(w, min_periods=1)
                np.testing.assert_allclose(m.rolling_mean_nan_np(y, w), s.mean(), rtol=1e-9, atol=1e-12)
                s = pd.Series(y).rolling(w, min_periods=2)
                np.testing.assert_allclose(m.rolling_std_nan_np(y, w), s.std(), rtol=1e-9, atol=1e-12)


# ---------------------------------------------------------------- fused kernel


def fused(x, w, minp=None, align="trailing", policy="propagate"):
    """Every window summed afresh around its own shift; raw extremes; a NaN
    variance stays NaN, a negative one clamps to 0.0."""
    x = [float(v) for v in x]
    n = len(x)
    out = {k: [] for k in STATS}
    if align == "trailing":
        spans = [(k, k + w) for k in range(n - w + 1)] if n >= w else []
    else:
        h = w // 2
        spans = [(max(0, i - h), min(n, i + h + 1)) for i in range(n)]

    def put(**kv):
        for k in STATS:
            out[k].append(kv[k])

    for lo, hi in spans:
        win = x[lo:hi]
        t = len(win)
        vals = [v for v in win if not math.isnan(v)]
        c = len(vals)
        if align == "trailing" and policy == "propagate":
            if c < t:
                put(**{k: NAN for k in STATS})
                continue
            s = win[0] if math.isfinite(win[0]) else 0.0
            first = True
            second = True
        elif align == "trailing":
            s = vals[0] if vals else 0.0
            p = minp if minp is not None else w
            first = c >= p
            second = c >= max(p, 2)
        else:
            s = vals[0] if vals else 0.0
            r = minp if minp is not None else t
            usable = policy != "propagate" or c == t
            first = usable and c >= r
            second = first and c >= 2
        sx, s1, s2 = Kahan(), Kahan(), Kahan()
        for v in vals:
            d = v - s
            s1.add(d)
            s2.add(d * d)
            sx.add(v)
        var = NAN
        if second:
            cf = float(c)
            mu = s1.s / cf
            var = (s2.s - mu * (mu * cf)) / (cf - 1.0) if c > 1 else (s2.s - mu * (mu * cf))
            if c == 1:  # a window of one: 0/0 clamps to 0.0, an infinity gives NaN
                var = 0.0 if math.isfinite(vals[0]) else NAN
            elif math.isnan(var):
                var = NAN
            else:
                var = var if var > 0 else 0.0
        put(mean=sx.s / c if first else NAN, var=var, std=math.sqrt(var), count=float(c),
            min=min(vals) if first else NAN, max=max(vals) if first else NAN)
    return out


def check_fused(x, w, minp=None, align="trailing", policy="propagate"):
    keep = x.copy()
    got = m.rolling_multi_np(x, w, minp, align, policy, STATS)
    ref = fused(x, w, minp, align, policy)
    for name, a in zip(STATS, got):
        assert same(a, ref[name]), name
    assert same(x, keep)


def test_fused_examples():
    (mean,) = m.rolling_multi_np(X5, 3)
    assert same(mean, [2.0, 3.0, 4.0])
    a, b, c = m.rolling_multi_np(X5, 3, stats=["std", "mean", "std"])
    assert same(a, [1.0] * 3) and same(b, [2, 3, 4]) and same(c, a) and a is not c
    c[0] = 9.0
    assert a[0] == 1.0
    # (the Part's examples on [1, NaN, 3, 4] are in test_rolling.py)
    var, std = m.rolling_multi_np(arr(1, NAN, 3, 4), 1, nan_policy="ignore", stats=["var", "std"])
    assert same(std, [NAN] * 4)
    assert same(m.rolling_multi_np(X5, 3, alignment="centered")[0], [1.5, 2.0, 3.0, 4.0, 4.5])
    assert same(m.rolling_multi_np(X5, 3, 3, alignment="centered")[0], [NAN, 2.0, 3.0, 4.0, NAN])
    assert same(m.rolling_multi_np(X5, 4, alignment="centered")[0], [2.0, 2.5, 3.0, 3.5, 4.0])
    mean, count = m.rolling_multi_np(X5, 10, alignment="centered", stats=["mean", "count"])
    assert same(mean, [3.0] * 5) and same(count, [5.0] * 5)
    mean, count = m.rolling_multi_np(X5, 10, 10, alignment="centered", stats=["mean", "count"])
    assert same(mean, [NAN] * 5) and same(count, [5.0] * 5)
    out = m.rolling_multi_np(X5, 6, stats=STATS)
    assert len(out) == 6 and all(a.shape == (0,) and a.dtype == np.float64 for a in out)
    assert m.rolling_multi_np(arr(), 1, alignment="centered", stats=["count"])[0].shape == (0,)
    assert m.rolling_multi_np(arr(), 1)[0].shape == (0,)


def test_fused_infinities():
    # propagate: an infinity leaves no finite spread; the count is the window
    var, std, cnt, lo, hi, mean = m.rolling_multi_np(arr(1, INF, 2, 3), 2,
                                                      stats=["var", "std", "count", "min", "max", "mean"])
    assert same(var, [NAN, NAN, 0.5]) and same(std, [NAN, NAN, math.sqrt(0.5)])
    assert same(cnt, [2.0, 2.0, 2.0]) and same(lo, [1.0, 2.0, 2.0]) and same(hi, [INF, INF, 3.0])
    assert same(mean, [INF, NAN, 2.5])  # compensated sums of the window
    # an infinite first value is no shift and does not spoil the extremes
    lo, hi = m.rolling_multi_np(arr(-INF, 5.0, 1.0), 3, stats=["min", "max"])
    assert same(lo, [-INF]) and same(hi, [5.0])
    var = m.rolling_multi_np(arr(INF, -INF, 1.0), 1, stats=["var"])[0]
    assert same(var, [NAN, NAN, 0.0])
    # so do the other policies: the NaN variance of an infinity is no 0.0
    for policy in ("ignore", "require_min_periods"):
        var, std = m.rolling_multi_np(arr(1, INF, 2, 3), 2, nan_policy=policy, stats=["var", "std"])
        assert same(var, [NAN, NAN, 0.5]) and same(std, [NAN, NAN, math.sqrt(0.5)])
    var = m.rolling_multi_np(arr(1, INF, 2), 3, alignment="centered", nan_policy="ignore", stats=["var"])[0]
    assert same(var, [NAN, NAN, NAN])
    var = m.rolling_multi_np(arr(1, INF, 2), 3, alignment="centered", stats=["var"])[0]
    assert same(var, [NAN, NAN, NAN])


def test_fused_counts_and_min_periods():
    y = arr(NAN, 2, NAN, NAN, 5, 6, NAN)
    # trailing, skipping NaN: mean/min/max need p, the spread max(p, 2)
    mean, std, cnt, lo = m.rolling_multi_np(y, 3, 1, nan_policy="ignore", stats=["mean", "std", "count", "min"])
    assert same(cnt, [1, 1, 1, 2, 2])
    assert same(mean, [2, 2, 5, 5.5, 5.5]) and same(lo, [2, 2, 5, 5, 5])
    assert same(std, [NAN, NAN, NAN, math.sqrt(0.5), math.sqrt(0.5)])
    mean, cnt = m.rolling_multi_np(y, 3, 2, nan_policy="require_min_periods", stats=["mean", "count"])
    assert same(mean, [NAN, NAN, NAN, 5.5, 5.5]) and same(cnt, [1, 1, 1, 2, 2])
    # centred: propagate makes a window holding NaN unusable, count stays
    mean, cnt = m.rolling_multi_np(y, 3, alignment="centered", stats=["mean", "count"])
    assert same(cnt, [1, 1, 1, 1, 2, 2, 1]) and same(mean, [NAN] * 7)
    mean = m.rolling_multi_np(arr(1, 2, 3, NAN), 3, 1, alignment="centered", stats=["mean"])[0]
    assert same(mean, [1.5, 2.0, NAN, NAN])
    # centred, ignoring NaN: the required count is the values looked at
    mean = m.rolling_multi_np(y, 3, alignment="centered", nan_policy="ignore", stats=["mean"])[0]
    assert same(mean, [NAN] * 7)
    mean = m.rolling_multi_np(y, 3, 1, alignment="centered", nan_policy="ignore", stats=["mean"])[0]
    assert same(mean, [2, 2, 2, 5, 5.5, 5.5, 6])


@pytest.mark.parametrize("align, policy, minp", [
    ("trailing", "propagate", None), ("trailing", "propagate", 2), ("trailing", "ignore", None),
    ("trailing", "ignore", 1), ("trailing", "require_min_periods", 2), ("centered", "propagate", None),
    ("centered", "propagate", 1), ("centered", "ignore", None), ("centered", "ignore", 2)])
@pytest.mark.parametrize("w", [1, 2, 3, 6, 9, 40])
def test_fused_bit_exact(align, policy, minp, w):
    minp = None if minp is None else min(minp, w)
    rng = np.random.default_rng([w, len(align), len(policy)])
    x = 1e9 + rng.standard_normal(120) * 10.0 ** rng.integers(-3, 4, 120)
    x[rng.random(120) < 0.08] = NAN
    x[rng.random(120) < 0.02] = INF
    x[rng.random(120) < 0.02] = -INF
    check_fused(x, w, minp, align, policy)
    check_fused(x[:5].copy(), w, minp, align, policy)


def test_fused_many_windows_at_once():
    # long series take the vector and worker paths; every window is the same
    rng = np.random.default_rng(3)
    x = 1e6 + rng.standard_normal(5000)
    x[::37] = NAN
    for align, policy in (("trailing", "propagate"), ("trailing", "ignore"), ("centered", "ignore")):
        got = m.rolling_multi_np(x, 25, 3, align, policy, STATS)
        ref = fused(x, 25, 3, align, policy)
        for name, a in zip(STATS, got):
            assert same(a, ref[name]), (align, policy, name)


def test_fused_agrees_with_pandas():
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(11)
    x = rng.standard_normal(2000)
    s = pd.Series(x)
    mean, std = m.rolling_multi_np(x, 20, stats=["mean", "std"])
    agg = s.rolling(20).agg(["mean", "std"]).to_numpy()[19:]
    np.testing.assert_allclose(mean, agg[:, 0], rtol=1e-10, atol=1e-14)
    np.testing.assert_allclose(std, agg[:, 1], rtol=1e-10)
    y = x.copy()
    y[::9] = NAN
    for w, minp in ((5, 1), (21, 7)):
        roll = pd.Series(y).rolling(w, min_periods=minp, center=True)
        mean, var, cnt = m.rolling_multi_np(y, w, minp, "centered", "ignore", ["mean", "var", "count"])
        np.testing.assert_allclose(mean, roll.mean(), rtol=1e-10, atol=1e-14)
        np.testing.assert_allclose(var, roll.var(), rtol=1e-9, atol=1e-14)
        np.testing.assert_allclose(cnt, roll.count(), rtol=0)


def test_fused_axis0():
    x = np.column_stack([np.arange(1.0, 6.0), np.arange(10.0, 60.0, 10.0)])
    (mean,) = m.rolling_multi_axis0_np(x, 2)
    assert same(mean, [[1.5, 15.0], [2.5, 25.0], [3.5, 35.0], [4.5, 45.0]])
    # new arrays, one per name, duplicates separate: writing one leaves the
    # other (and the input) as they were
    a, b = m.rolling_multi_axis0_np(x, 2, stats=["max", "max"])
    assert a is not b and same(a, b) and same(a, x[1:])
    for r in (a, b, mean):
        assert r.flags.writeable and r.flags.c_contiguous and not np.shares_memory(r, x)
    a[...] = -1.0
    assert same(b, x[1:]) and not np.shares_memory(a, b)
    with pytest.raises(ValueError, match="^Array must be contiguous$"):
        m.rolling_multi_axis0_np(np.ascontiguousarray(x.T).T, 2)
    assert [r.shape for r in m.rolling_multi_axis0_np(x, 6, stats=["mean", "count"])] == [(0, 0), (0, 0)]
    assert m.rolling_multi_axis0_np(np.ones((0, 4)), 1)[0].shape == (0, 0)
    assert m.rolling_multi_axis0_np(np.ones((0, 4)), 1, alignment="centered")[0].shape == (0, 0)
    rng = np.random.default_rng(5)
    y = 100.0 + rng.standard_normal((60, 4))
    y[rng.random((60, 4)) < 0.1] = NAN
    keep = y.copy()
    for align, policy, minp in (("trailing", "propagate", None), ("centered", "ignore", 2),
                                ("trailing", "ignore", 3)):
        got = m.rolling_multi_axis0_np(y, 7, minp, align, policy, STATS)
        for j in range(4):
            ref = fused(y[:, j], 7, minp, align, policy)
            for name, r in zip(STATS, got):
                assert same(r[:, j], ref[name]), (align, name)
    assert same(y, keep)
    with pytest.raises(ValueError, match="^Unknown stat: Mean $"):
        m.rolling_multi_axis0_np(y, 3, stats=["mean", "Mean "])
