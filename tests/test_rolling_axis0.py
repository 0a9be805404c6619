import math

import numpy as np
import pytest

from reference import close_scaled, loop_sum, outputs_by_thread_count, same
from marlox_stats import marlox_stats_rs as m

NAN = math.nan
INF = math.inf
FUNCS = ["rolling_mean_axis0_np", "rolling_std_axis0_np", "rolling_mean_std_axis0_np"]


def ref(x, w):
    """Column by column, in the documented order: running sums of the raw values
    (mean) and of values shifted by the column's first finite value (pair, sd);
    a window left without non-finite values whose sums are not finite is summed
    afresh, and so is the raw sum when the running sum of |v| falls below
    share of its largest value since the last build, and the shifted sums
    around the window's first value when w*S2 - S1^2 falls below
    w*share*(largest S2 since the last build). A window of one value is its
    own shift: its pair mean is the value."""
    r, p = x.shape
    L = r - w + 1
    wd = float(w)
    share = min(0.5 / w, 2.0 ** -8)
    mean = np.empty((L, p))
    pm = np.empty((L, p))
    sd = np.empty((L, p))
    for j in range(p):
        col = [float(v) for v in x[:, j]]
        s = col[0] if math.isfinite(col[0]) else 0.0

        def sums(k, shift, squares):
            a = b = 0.0
            for v in col[k:k + w]:
                d = v - shift
                a += d
                if squares:
                    b += d * d
            return a, b

        S, _ = sums(0, 0.0, False)
        mag = mag_peak = loop_sum(abs(v) for v in col[:w])
        S1, S2 = sums(0, s, True)
        peak = S2
        for k in range(L):
            if k:
                new, old = col[k + w - 1], col[k - 1]
                S = S + (new - old)
                mag += abs(new) - abs(old)
                mag_peak = mag if mag > mag_peak else mag_peak
                dn, do = new - s, old - s
                S1 = S1 + (dn - do)
                S2 = S2 + (dn * dn - do * do)
                peak = S2 if S2 > peak else peak
                if all(math.isfinite(v) for v in col[k:k + w]):
                    if not (math.isfinite(S) and math.isfinite(mag)) or mag < share * mag_peak:
                        S, _ = sums(k, 0.0, False)
                        mag = mag_peak = loop_sum(abs(v) for v in col[k:k + w])
                    if not (math.isfinite(S1) and math.isfinite(S2)):
                        S1, S2 = sums(k, s, True)
                        peak = S2
                    if w > 1 and wd * S2 - S1 * S1 < wd * share * peak:  # the spread is lost: shift into the window
                        s = col[k]
                        S1, S2 = sums(k, s, True)
                        peak = S2
            mean[k, j] = S / wd
            pm[k, j] = col[k] if w == 1 else s + S1 / wd
            if w == 1:
                sd[k, j] = NAN
            else:
                V = (S2 - (S1 * S1) / wd) / (wd - 1.0)
                sd[k, j] = NAN if math.isnan(V) else math.sqrt(max(V, 0.0))
    return mean, pm, sd


def check(x, w):
    mean, pm, sd = ref(x, w)
    assert same(m.rolling_mean_axis0_np(x, w), mean)
    assert same(m.rolling_std_axis0_np(x, w), sd)
    a, b = m.rolling_mean_std_axis0_np(x, w)
    assert same(a, pm) and same(b, sd)


def test_documented_example():
    x = np.array([[1, 10], [2, 20], [3, 30], [4, 40], [5, 50]], dtype=float)
    assert m.rolling_mean_axis0_np(x, 2).tolist() == [[1.5, 15], [2.5, 25], [3.5, 35], [4.5, 45]]
    sd = m.rolling_std_axis0_np(x, 2)
    assert sd.shape == (4, 2)
    assert (sd[:, 0] == 0.7071067811865476).all() and (sd[:, 1] == 7.0710678118654755).all()
    check(x, 2)


@pytest.mark.parametrize("shape,w", [((50, 3), 5), ((40, 130), 7), ((9, 65), 9), ((30, 1), 1), ((1, 70), 1),
                                     ((25, 64), 24)])
def test_matches_documented_order(shape, w):
    rng = np.random.default_rng(shape[1] + w)
    x = 1e6 + rng.standard_normal(shape) * 3
    check(x, w)
    x[rng.random(shape) < 0.03] = NAN
    x[rng.random(shape) < 0.02] = INF
    x[rng.random(shape) < 0.01] = -INF
    check(x, w)


def test_window_one():
    x = np.arange(12.0).reshape(4, 3)
    x[1, 1] = 1e17  # a large value that has left takes its rounding with it
    x[2:, 2] = [-INF, NAN]
    assert np.isnan(m.rolling_std_axis0_np(x, 1)).all()
    assert same(m.rolling_mean_axis0_np(x, 1), x)
    a, b = m.rolling_mean_std_axis0_np(x, 1)
    assert same(a, x) and np.isnan(b).all()
    assert same(m.rolling_mean_std_axis0_np(np.array([[1e17], [1.5], [2.5]]), 1)[0], [[1e17], [1.5], [2.5]])


def test_constant_column_has_zero_sd():
    x = np.full((6, 2), 0.1)
    assert (m.rolling_std_axis0_np(x, 3) == 0.0).all()


def test_non_finite_stays_in_its_column_and_windows():
    x = np.column_stack([np.arange(1.0, 7.0), np.arange(10.0, 70.0, 10.0)])
    x[2, 0] = NAN
    mean = m.rolling_mean_axis0_np(x, 2)
    sd = m.rolling_std_axis0_np(x, 2)
    # the windows holding row 2 are NaN; the ones after it have their own value
    assert np.isnan(mean[1:3, 0]).all() and np.isnan(sd[1:3, 0]).all()
    assert mean[3:, 0].tolist() == [4.5, 5.5] and (sd[3:, 0] == 0.7071067811865476).all()
    assert mean[:, 1].tolist() == [15, 25, 35, 45, 55]
    check(x, 2)
    y = x.copy()
    y[1, 1] = INF
    y[4, 0] = -INF
    check(y, 3)
    # squares would overflow: each window against NumPy on its values brought near 1
    y = np.array([[1e200, 1.0], [1e200, 1e17], [1.0, 1.5], [2.0, 2.5], [3.0, 3.5]])
    mean, sd = m.rolling_mean_std_axis0_np(y, 2)
    assert same(m.rolling_mean_axis0_np(y, 2), mean) and same(m.rolling_std_axis0_np(y, 2), sd)
    for k, win in enumerate(np.lib.stride_tricks.sliding_window_view(y, 2, axis=0)):
        e = np.frexp(np.abs(win).max(axis=1))[1]
        near = np.ldexp(win, -e[:, None])
        np.testing.assert_allclose(mean[k], np.ldexp(near.mean(axis=1), e), rtol=1e-15, atol=0)
        np.testing.assert_allclose(sd[k], np.ldexp(near.std(axis=1, ddof=1), e), rtol=1e-15, atol=0)


@pytest.mark.parametrize("w", [1, 3, 20])
def test_columns_far_from_one_agree_with_bottleneck_scaled(w):
    # Columns at very different scales side by side, each read in its own
    # unit: against bottleneck on the columns as read, scaled back exactly.
    bn = pytest.importorskip("bottleneck")
    rng = np.random.default_rng(w)
    ks = rng.choice([600, -600, 0, 1000, -1000, -1060], 70)
    x = np.ldexp(rng.standard_normal((300, 70)), ks)
    xr = np.ldexp(x, -ks)  # as read: subnormal columns keep only some bits
    with np.errstate(invalid="ignore", divide="ignore"):
        mean, sd = bn.move_mean(xr, w, axis=0)[w - 1:], bn.move_std(xr, w, axis=0, ddof=1)[w - 1:]
    if w == 1:
        sd[:] = NAN
    pm, psd = m.rolling_mean_std_axis0_np(x, w)
    for got, want in ((m.rolling_mean_axis0_np(x, w), mean), (pm, mean), (m.rolling_std_axis0_np(x, w), sd),
                      (psd, sd)):
        for j, k in enumerate(ks):
            close_scaled(got[:, j], want[:, j], k, rtol=1e-9, atol=1e-12)


def test_first_value_not_finite_shifts_by_zero():
    x = np.array([[NAN, INF], [1.0, 2.0], [2.0, 4.0], [4.0, 8.0]])
    check(x, 2)
    a, b = m.rolling_mean_std_axis0_np(x, 2)
    assert a[1:].tolist() == [[1.5, 3.0], [3.0, 6.0]]


@pytest.mark.parametrize("f", FUNCS)
def test_shapes_and_layout(f):
    fn = getattr(m, f)
    parts = lambda r: r if isinstance(r, tuple) else (r,)
    for res in parts(fn(np.ones((3, 2)), 4)):
        assert res.shape == (0, 2) and res.dtype == np.float64
    for res in parts(fn(np.ones((3, 0)), 2)):
        assert res.shape == (2, 0)
    t = np.arange(10.0).reshape(5, 2).T
    with pytest.raises(ValueError, match="^array must be contiguous$"):
        fn(t, 1)
    with pytest.raises(ValueError, match="^array must be contiguous$"):
        fn(np.ones((6, 4))[:, ::2], 2)
    for res in parts(fn(t, 3)):
        assert res.shape == (0, 5)
    with pytest.raises(ValueError, match="^array must be contiguous$"):
        fn(np.ones((6, 4))[:, :1], 2)
    # the stride of a dimension of length 1 does not matter
    for res in parts(fn(np.ones((4, 3))[::2][:1], 1)):
        assert res.shape == (1, 3)
    for res in parts(fn(np.lib.stride_tricks.as_strided(np.ones(4), (4, 1), (8, 16)), 2)):  # one column
        assert res.shape == (3, 1)
    with pytest.raises(ValueError, match="^window must be >= 1$"):
        fn(t, 0)
    with pytest.raises(ValueError, match="^window must be >= 1$"):
        fn(np.ones((0, 0)), 0)
    r = parts(fn(np.ones((5, 3)), 2))[0]
    assert r.flags.c_contiguous and r.flags.writeable


def test_pair_mean_differs_only_in_formula():
    x = np.array([[0.1], [0.2], [0.7], [-0.3]])
    mean, pm, _ = ref(x, 3)
    assert same(m.rolling_mean_axis0_np(x, 3), mean)
    assert same(m.rolling_mean_std_axis0_np(x, 3)[0], pm)


def test_input_unchanged():
    x = np.random.default_rng(1).standard_normal((20, 70))
    c = x.copy()
    for f in FUNCS:
        getattr(m, f)(x, 4)
    assert same(x, c)


def test_same_bits_whatever_the_thread_count():
    code = ("import numpy as np;from marlox_stats import marlox_stats_rs as m;"
            "x=np.random.default_rng(5).standard_normal((300,200));"
            "print(m.rolling_mean_std_axis0_np(x,10)[1].tobytes().hex()[:4000],"
            "m.rolling_mean_axis0_np(x,10).sum().hex())")
    assert len(outputs_by_thread_count(code, ("1", "4"))) == 1
