import inspect
import math
from fractions import Fraction
import subprocess
import sys

import numpy as np
import pytest

from reference import (check_fused, close_scaled, engine, fused, loop_sum, messy, nan_engine, outputs_by_thread_count,
                       same, STATS)
from marlox_stats import marlox_stats_rs as m

NAN = math.nan
INF = math.inf
PLAIN = ["rolling_mean_np", "rolling_var_np", "rolling_std_np", "rolling_mean_std_np", "rolling_zscore_np"]
NANFAM = ["rolling_mean_nan_np", "rolling_std_nan_np", "rolling_zscore_nan_np"]


def arr(*v):
    return np.array(v, dtype=np.float64)


def ref_nan(x, w):
    return nan_engine(x, w)[:2]


def series(n, seed, offset=0.0, nan=0.0, inf=0.0):
    rng = np.random.default_rng(seed)
    x = offset + rng.standard_normal(n)
    x[rng.random(n) < nan] = NAN
    x[rng.random(n) < inf] = INF
    x[rng.random(n) < inf / 2] = -INF
    return x


# ---------------------------------------------------------------- options


def multi(x=arr(1, 2, 3, 4, 5), window=3, **kw):
    return m.rolling_multi_np(x, window, **kw)


@pytest.mark.parametrize("kw, message", [
    (dict(alignment="centred"), "Invalid alignment: 'centred'. Must be 'trailing' or 'centered'"),
    (dict(alignment=" trailing"), "Invalid alignment: ' trailing'. Must be 'trailing' or 'centered'"),
    (dict(alignment="TRA\u0130LING"), "Invalid alignment: 'TRA\u0130LING'. Must be 'trailing' or 'centered'"),
    (dict(nan_policy="omit"),
     "Invalid nan_policy: 'omit'. Must be 'propagate', 'ignore', or 'require_min_periods'"),
    (dict(alignment="x", window=0), "Invalid alignment: 'x'. Must be 'trailing' or 'centered'"),
    (dict(nan_policy="x", window=0),
     "Invalid nan_policy: 'x'. Must be 'propagate', 'ignore', or 'require_min_periods'"),
    (dict(window=0, min_periods=0), "window must be >= 1"),
    (dict(window=5, min_periods=0), "min_periods must be >= 1 (or None)"),
    (dict(window=5, min_periods=6), "min_periods (6) cannot exceed window (5)"),
    (dict(window=5, min_periods=6, stats=["nope"]), "min_periods (6) cannot exceed window (5)"),
    (dict(stats=[]), "No valid statistics specified"),
    (dict(stats=[""]), "No valid statistics specified"),
    (dict(stats=[" ", ""]), "No valid statistics specified"),
    (dict(stats=["\u3000\u00a0"]), "No valid statistics specified"),
    (dict(stats=["mean", "median", "bogus"]), "Unknown stat: median"),
    (dict(stats=["mean, MEDIAN ", ""]), "Unknown stat: median"),
    (dict(stats=["\u00c9CART"]), "Unknown stat: \u00e9cart"),
    (dict(stats=["\u0130"]), "Unknown stat: " + "\u0130".lower()),
    (dict(stats=["\u200bmean"]), "Unknown stat: \u200bmean"),  # not White_Space
    # names that pass only once trimmed or split fail as the caller wrote them
    (dict(stats=["mean", " Std "]), "Unknown stat:  Std "),
    (dict(stats=["mean", ""]), "Unknown stat: "),
    (dict(stats=["mean,,max,"]), "Unknown stat: mean,,max,"),
    (dict(stats=["\u3000mean\u2029"]), "Unknown stat: \u3000mean\u2029"),
])
def test_option_errors(kw, message):
    with pytest.raises(ValueError) as e:
        multi(**kw)
    assert str(e.value) == message
    for fn, x in ((m.rolling_multi_axis0_np, np.ones((5, 2))), (m.rolling_multi_np, arr())):
        with pytest.raises(ValueError) as e:
            fn(x, **{"window": 3, **kw})
        assert str(e.value) == message


def test_options_accepted():
    x = arr(1, 2, 3, 4, 5)
    assert same(multi(alignment="CENTERED")[0], multi(alignment="centered")[0])
    assert same(multi(alignment="Trailing")[0], [2, 3, 4])
    assert same(multi(nan_policy="IGNORE", min_periods=1)[0], [2, 3, 4])
    assert same(multi(nan_policy="Require_Min_Periods")[0], [2, 3, 4])
    assert same(m.rolling_multi_np(x, 5, 5)[0], [3.0])
    mean, std = multi(stats=("MEAN", "Std"))
    assert same(mean, [2, 3, 4]) and same(std, [1, 1, 1])
    assert len(multi(stats=["mean", "mean"])) == 2


def test_conversion_errors_and_order():
    x = arr(1, 2, 3, 4, 5)
    with pytest.raises(TypeError, match=r"^argument 'stats': Can't extract `str` to `Vec`$"):
        multi(stats="mean")
    with pytest.raises(TypeError, match=r"^argument 'stats': 'int' object cannot be converted to 'PyString'$"):
        multi(stats=["mean", 1])
    with pytest.raises(TypeError, match=r"^argument 'alignment': 'NoneType' object cannot be converted"):
        multi(alignment=None)
    with pytest.raises(OverflowError):
        multi(min_periods=-1)
    # layout before options
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        m.rolling_multi_np(np.arange(10.0)[::2], 0, alignment="bad")
    with pytest.raises(ValueError, match="^Array must be contiguous$"):
        m.rolling_multi_axis0_np(np.ones((2, 5)).T, 0, alignment="bad")
    # the plain family checks the window before the layout
    for name in PLAIN + NANFAM:
        with pytest.raises(ValueError, match="^window must be >= 1$"):
            getattr(m, name)(x[::2], 0)
        with pytest.raises(TypeError, match="^The given array is not contiguous$"):
            getattr(m, name)(x[::2], 2)
        assert getattr(m, name)(a=x, window=2) is not None


# ---------------------------------------------------------------- one series


def test_plain_family_small_cases():
    x = arr(1, 2, 3, 4, 5)
    assert same(m.rolling_mean_np(x, 3), [2, 3, 4])
    assert same(m.rolling_std_np(x, 3), [1, 1, 1])
    assert same(m.rolling_var_np(x, 3), [1, 1, 1])
    mean, sd = m.rolling_mean_std_np(x, 3)
    assert same(mean, [2, 3, 4]) and same(sd, [1, 1, 1])
    assert same(m.rolling_zscore_np(x, 3), [-1, -1, -1])
    assert same(m.rolling_zscore_np(np.full(6, 7.0), 3), [0, 0, 0, 0])
    for name in PLAIN[:3] + PLAIN[4:]:
        assert getattr(m, name)(x, 6).shape == (0,)
        assert getattr(m, name)(arr(), 1).shape == (0,)
    # one value per window has no spread, at every position
    assert same(m.rolling_std_np(arr(1, 2, 3, 0.1, 0.7), 1), [NAN] * 5)
    assert same(m.rolling_var_np(arr(0.1, 0.2, 0.3), 1), [NAN] * 3)
    assert same(m.rolling_zscore_np(arr(0.1, 0.2, 0.3), 1), [NAN] * 3)


def test_nan_family_small_cases():
    x = arr(1, 2, 3, 4, 5)
    assert same(m.rolling_zscore_nan_np(x, 3), [NAN, 0.7071067811865475, 1, 1, 1])
    assert same(m.rolling_zscore_nan_np(np.full(4, 2.0), 3), [NAN] * 4)
    assert same(m.rolling_mean_nan_np(arr(1, NAN, 3), 2), [1, 1, 3])
    assert same(m.rolling_std_nan_np(arr(1, NAN, 3, 5), 2), [NAN, NAN, NAN, 1.4142135623730951])
    assert same(m.rolling_std_nan_np(arr(1, 2, 3), 1), [NAN] * 3)
    assert same(m.rolling_mean_nan_np(arr(1, 2, 3), 10), [1, 1.5, 2])
    # a large value that has left takes its rounding with it
    assert same(m.rolling_mean_nan_np(arr(1e17, 1, 2, 3, 4), 2), [1e17, 5e16, 1.5, 2.5, 3.5])
    assert same(m.rolling_mean_nan_np(arr(1e15, 3.0585), 1), [1e15, 3.0585])
    for name in NANFAM:
        assert same(getattr(m, name)(np.full(4, NAN), 2), [NAN] * 4)
        assert getattr(m, name)(arr(), 3).shape == (0,)


@pytest.mark.parametrize("w", [1, 2, 3, 7, 40])
@pytest.mark.parametrize("offset, nan, inf", [(0.0, 0, 0), (1e7, 0, 0), (-3.5, 0.05, 0.03), (1e3, 0.2, 0.1)])
def test_running_sums_match_oracle(w, offset, nan, inf):
    x = series(300, w, offset, nan, inf)
    x[0] = [1.0, INF, NAN][w % 3] if nan else x[0]
    keep = x.copy()
    means, sds = engine(x, w)
    assert same(m.rolling_mean_np(x, w), means)
    assert same(m.rolling_std_np(x, w), sds)
    assert same(m.rolling_var_np(x, w), [v * v for v in sds])
    both = m.rolling_mean_std_np(x, w)
    assert same(both[0], means) and same(both[1], sds)
    z = [NAN if not math.isfinite(sd) else (x[k] - mu) / sd if sd > 0 else 0.0
         for k, (mu, sd) in enumerate(zip(means, sds))]
    assert same(m.rolling_zscore_np(x, w), z)
    nmeans, nsds = ref_nan(x, w)
    assert same(m.rolling_mean_nan_np(x, w), nmeans)
    assert same(m.rolling_std_nan_np(x, w), nsds)
    assert same(x, keep)


def test_non_finite_values_leave_the_window():
    # while in the window a non-finite value leaves the sums as the arithmetic
    # makes them (a compensated sum turns NaN at its next addition)
    x = arr(1, NAN, 3, 4, 5, INF, 7, 8, 9, -INF, INF, 12, 13)
    mean = m.rolling_mean_np(x, 2)
    assert same(mean, [NAN, NAN, 3.5, 4.5, NAN, NAN, 7.5, 8.5, NAN, NAN, NAN, 12.5])
    assert same(m.rolling_mean_np(arr(1, INF, 3, 4), 2), [INF, NAN, 3.5])
    sd = m.rolling_std_np(x, 2)
    assert same(sd[[0, 1, 4, 5, 8, 9, 10]], [NAN] * 7)
    assert same(sd[[2, 3, 6, 7, 11]], [0.7071067811865476] * 5)
    assert same(m.rolling_mean_nan_np(x, 2)[[1, 5, 6, 9, 10, 11, 12]], [1, INF, INF, -INF, NAN, NAN, 12.5])
    assert same(m.rolling_mean_np(arr(INF, 1, 2, -INF, 5, 6, 7), 3), [NAN, NAN, NAN, NAN, 6])
    # the NaN-skipping sd keeps the NaN variance of an infinity
    sdn = m.rolling_std_nan_np(x, 2)
    assert same(sdn[[5, 6, 9, 10, 11]], [NAN] * 5) and same(sdn[[7, 12]], [0.7071067811865476] * 2)
    assert same(m.rolling_zscore_nan_np(x, 2)[[5, 6, 7]], [NAN, NAN, 0.7071067811865475])


def windows(x, w):
    return np.lib.stride_tricks.sliding_window_view(x, w)


def close(ours, peer, scale=1.0):
    """1e-10 relative, with an absolute floor for values near zero."""
    np.testing.assert_allclose(ours, peer, rtol=1e-10, atol=1e-13 * scale)


@pytest.mark.parametrize("offset", [0.0, 1e4, 1e7])
def test_agrees_with_bottleneck_pandas_and_two_pass(offset):
    bn = pytest.importorskip("bottleneck")
    pd = pytest.importorskip("pandas")
    x = series(2000, 3, offset)
    y = x.copy()
    y[::7] = NAN
    for w in (2, 5, 20, 250):
        mean, sd = m.rolling_mean_std_np(x, w)
        close(mean, windows(x, w).mean(axis=1), offset + 1)
        close(sd ** 2, windows(x, w).var(axis=1, ddof=1))
        if offset == 0.0:  # the peers' plain sums lose digits to an offset
            close(mean, bn.move_mean(x, w)[w - 1:])
            close(sd ** 2, bn.move_std(x, w, ddof=1)[w - 1:] ** 2)
            close(m.rolling_mean_nan_np(y, w), pd.Series(y).rolling(w, min_periods=1).mean(), 10)
            close(m.rolling_std_nan_np(y, w) ** 2, pd.Series(y).rolling(w, min_periods=2).var(), 1e3)


# ---------------------------------------------------------------- fused kernel


def test_fused_small_cases():
    x = arr(1, 2, 3, 4, 5)
    s1, mu, s2 = multi(stats=["std", "mean", "std"])
    assert same(s1, [1, 1, 1]) and same(mu, [2, 3, 4]) and same(s2, s1) and s1 is not s2
    y = arr(1, NAN, 3, 4)
    assert all(same(a, b) for a, b in zip(m.rolling_multi_np(y, 2, stats=["mean", "count"]),
                                          ([NAN, NAN, 3.5], [NAN, NAN, 2])))
    mean, count = m.rolling_multi_np(y, 2, 1, nan_policy="ignore", stats=["mean", "count"])
    assert same(mean, [1, 3, 3.5]) and same(count, [1, 1, 2])
    mean, count = m.rolling_multi_np(y, 2, nan_policy="ignore", stats=["mean", "count"])
    assert same(mean, [NAN, NAN, 3.5]) and same(count, [1, 1, 2])
    var, sd = m.rolling_multi_np(y, 1, stats=["var", "std"])
    assert same(var, [0, NAN, 0, 0]) and same(sd, var)
    var = m.rolling_multi_np(y, 1, nan_policy="ignore", stats=["var"])[0]
    assert same(var, [NAN] * 4)
    assert same(multi(alignment="centered")[0], [1.5, 2, 3, 4, 4.5])
    assert same(multi(alignment="centered", min_periods=3)[0], [NAN, 2, 3, 4, NAN])
    assert same(multi(window=4, alignment="centered")[0][2], 3.0)
    mean, count = multi(window=10, min_periods=10, alignment="centered", stats=["mean", "count"])
    assert same(mean, [NAN] * 5) and same(count, [5] * 5)
    assert [a.shape for a in multi(window=6, stats=["min", "max"])] == [(0,), (0,)]
    assert multi(arr(), 1, alignment="centered")[0].shape == (0,)


def test_fused_infinities_and_extremes():
    # under propagate an infinity has no finite spread; extremes are the
    # values themselves
    var, sd, lo, hi = m.rolling_multi_np(arr(1, INF, 2, 3), 2, stats=["var", "std", "min", "max"])
    assert same(var, [NAN, NAN, 0.5]) and same(sd, [NAN, NAN, math.sqrt(0.5)])
    assert same(lo, [1, 2, 2]) and same(hi, [INF, INF, 3])
    lo, hi = m.rolling_multi_np(arr(-INF, 1e17, 1.0), 2, stats=["min", "max"])
    assert same(lo, [-INF, 1.0]) and same(hi, [1e17, 1e17])
    var = m.rolling_multi_np(arr(INF, 1, 2, 3), 1, stats=["var"])[0]
    assert same(var, [NAN, 0, 0, 0])
    # every policy keeps the NaN variance of an infinity
    var = m.rolling_multi_np(arr(INF, 1, 2), 2, nan_policy="ignore", stats=["var"])[0]
    assert same(var, [NAN, 0.5])


@pytest.mark.parametrize("align, policy, minp", [
    ("trailing", "propagate", None), ("trailing", "ignore", None), ("trailing", "require_min_periods", 3),
    ("centered", "propagate", None), ("centered", "ignore", 2), ("centered", "propagate", 1)])
@pytest.mark.parametrize("w", [1, 2, 5, 8, 13])
def test_fused_matches_oracle(align, policy, minp, w):
    minp = minp if minp is None else min(minp, w)
    check_fused(series(61, w, offset=1e6, nan=0.1, inf=0.03), w, minp, align, policy)


@pytest.mark.parametrize("offset", [0.0, 1e7])
def test_fused_agrees_with_pandas(offset):
    pd = pytest.importorskip("pandas")
    x = series(3000, 11, offset, nan=0.02)
    for w, minp, center in ((5, None, False), (20, 3, False), (21, 4, True), (7, None, True)):
        policy = "propagate" if minp is None else "ignore"
        align = "centered" if center else "trailing"
        ours = dict(zip(STATS, m.rolling_multi_np(x, w, minp, align, policy, STATS)))
        roll = pd.Series(x).rolling(w, min_periods=minp, center=center)
        cut = slice(w // 2, -(w // 2)) if center else slice(w - 1, None)  # pandas stops at short windows
        ours = {k: v[cut] if center else v for k, v in ours.items()}
        for name in ("mean", "min", "max", "count"):
            peer = getattr(roll, name)().to_numpy()[cut]
            if name == "count":  # where both give one
                keep = ~np.isnan(peer) & ~np.isnan(ours[name])
                assert keep.mean() > 0.5
                peer, ours[name] = peer[keep], ours[name][keep]
            close(ours[name], peer, offset + 1)
        for name in ("var", "std") if offset == 0.0 else ():
            close(ours[name], getattr(roll, name)().to_numpy()[cut])
    # with an offset, a two-pass variance is the sharper oracle (pandas
    # loses digits there)
    z = series(2000, 5, offset)
    close(m.rolling_multi_np(z, 20, stats=["var"])[0], windows(z, 20).var(axis=1, ddof=1))


def test_fused_axis0():
    x = np.column_stack([np.arange(1.0, 6), np.arange(10.0, 60, 10)])
    (mean,) = m.rolling_multi_axis0_np(x, 2)
    assert same(mean, [[1.5, 15], [2.5, 25], [3.5, 35], [4.5, 45]])
    with pytest.raises(ValueError, match="^Array must be contiguous$"):
        m.rolling_multi_axis0_np(np.ascontiguousarray(x.T).T, 2)
    assert [a.shape for a in m.rolling_multi_axis0_np(x, 6, stats=["mean", "max"])] == [(0, 0), (0, 0)]
    assert m.rolling_multi_axis0_np(np.ones((4, 0)), 2)[0].shape == (3, 0)
    assert m.rolling_multi_axis0_np(np.ones((0, 3)), 2, alignment="centered")[0].shape == (0, 0)
    # strides of a length-1 dimension do not matter
    assert same(m.rolling_multi_axis0_np(np.arange(6.0)[:, None], 2)[0], np.arange(0.5, 5)[:, None])
    assert m.rolling_multi_axis0_np(np.ones((4, 6))[::2][:1], 1)[0].shape == (1, 6)
    with pytest.raises(ValueError, match="^Array must be contiguous$"):
        m.rolling_multi_axis0_np(np.ones((6, 4))[:, :2], 2)
    # columns long enough to be computed in pieces, windows short and long
    # against a piece: every entry is that of the column on its own
    y = series(400 * 7, 2, 10.0, nan=0.05).reshape(400, 7)
    z = series(12_000 * 3, 4, 1e3, nan=0.01, inf=0.002).reshape(12_000, 3)
    for data, window in ((y, 9), (z, 9), (z, 700), (np.ascontiguousarray(z[:, :2]), 5_001)):
        for align, policy in (("trailing", "propagate"), ("centered", "ignore"), ("centered", "propagate")):
            out = m.rolling_multi_axis0_np(data, window, None, align, policy, STATS)
            for j in range(data.shape[1]):
                col = m.rolling_multi_np(np.ascontiguousarray(data[:, j]), window, None, align, policy, STATS)
                for a, b in zip(out, col):
                    assert same(a[:, j], b)
    # new arrays, one per name, duplicates separate: writing one leaves the
    # other (and the input) as they were
    a, b = m.rolling_multi_axis0_np(x, 2, stats=["max", "max"])
    assert a is not b and same(a, b) and same(a, x[1:])
    for r in (a, b, mean):
        assert r.flags.writeable and r.flags.c_contiguous and not np.shares_memory(r, x)
    a[...] = -1.0
    assert same(b, x[1:]) and not np.shares_memory(a, b)
    assert [r.shape for r in m.rolling_multi_axis0_np(x, 6, stats=["mean", "count"])] == [(0, 0), (0, 0)]
    assert m.rolling_multi_axis0_np(np.ones((0, 4)), 1)[0].shape == (0, 0)
    assert m.rolling_multi_axis0_np(np.ones((0, 4)), 1, alignment="centered")[0].shape == (0, 0)
    # every column against the transcribed fused kernel
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


def test_fused_axis0_results_are_its_buffers():
    # The filled buffers become the arrays: the call's peak memory is its
    # outputs (plus a small scratch), not twice them.
    code = (
        "import resource, numpy as np\n"
        "from marlox_stats import marlox_stats_rs as m\n"
        "x = np.random.default_rng(0).standard_normal((2_000_000, 4))\n"
        "m.rolling_multi_axis0_np(x[:1000], 20, stats=['mean'])\n"
        "before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
        "out = m.rolling_multi_axis0_np(x, 20, stats=['mean', 'std', 'max'])\n"
        "peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before\n"
        "print(peak * 1024 / sum(a.nbytes for a in out))\n")
    ratio = float(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout)
    assert ratio < 1.25, ratio


def test_results_do_not_depend_on_thread_count():
    code = (
        "import numpy as np, hashlib, sys\n"
        "from marlox_stats import marlox_stats_rs as m\n"
        "x = np.random.default_rng(1).standard_normal(300_000) + 1e5\n"
        "x[::97] = np.nan\n"
        "y = x[:60_000].reshape(3000, 20)\n"
        "h = hashlib.sha256()\n"
        "for a in ('trailing', 'centered'):\n"
        "    for p in ('propagate', 'ignore'):\n"
        "        for r in m.rolling_multi_np(x, 37, None, a, p, ['mean','std','var','count','min','max']):\n"
        "            h.update(r.tobytes())\n"
        "        for r in m.rolling_multi_axis0_np(y, 40, 5, a, p, ['mean','std','min']):\n"
        "            h.update(r.tobytes())\n"
        "print(h.hexdigest())\n")
    assert len(outputs_by_thread_count(code, ("1", "3", "8"))) == 1


# ---------------------------------------------------------------- exact windows
# Running sums against the exact statistics of each window (fractions): a
# large value that has left, data far from the first shift and constant runs
# must not leave rounding in place of a spread.


def exact(v):
    """(mean, sample variance) of the values, as fractions."""
    f = [Fraction(float(a)) for a in v]
    mu = sum(f) / len(f)
    return mu, (sum((a - mu) ** 2 for a in f) / (len(f) - 1) if len(f) > 1 else None)


def one_series(x, w):
    """Every running statistic of one series, per full window k (x[k .. k+w-1]),
    as (name, kind, values)."""
    col = np.ascontiguousarray(x[:, None])
    mean, sd = m.rolling_mean_std_np(x, w)
    amean, asd = m.rolling_mean_std_axis0_np(col, w)
    return [
        ("rolling_mean_np", "mean", m.rolling_mean_np(x, w)),
        ("rolling_std_np", "sd", m.rolling_std_np(x, w)),
        ("rolling_var_np", "var", m.rolling_var_np(x, w)),
        ("rolling_mean_std_np", "mean", mean), ("rolling_mean_std_np", "sd", sd),
        ("rolling_zscore_np", "z_first", m.rolling_zscore_np(x, w)),
        ("rolling_std_nan_np", "sd", m.rolling_std_nan_np(x, w)[w - 1:]),
        ("rolling_zscore_nan_np", "z_last", m.rolling_zscore_nan_np(x, w)[w - 1:]),
        ("rolling_std_axis0_np", "sd", m.rolling_std_axis0_np(col, w)[:, 0]),
        ("rolling_mean_std_axis0_np", "mean", amean[:, 0]), ("rolling_mean_std_axis0_np", "sd", asd[:, 0]),
        ("rolling_multi_np", "sd", m.rolling_multi_np(x, w, stats=["std"])[0]),
    ]


def check_exact_one(x, w, windows=None):
    """Each statistic within 1e-12 of its window's exact value, relative to the
    value (sd, var), to the window's magnitude (mean) or to the magnitudes
    the score is formed from (z); a window without spread gets exactly 0."""
    for name, kind, got in one_series(x, w):
        for k in windows if windows is not None else range(len(x) - w + 1):
            win = x[k:k + w]
            mu, var = exact(win)
            g = got[k]
            if w == 1:
                continue
            sd = math.sqrt(float(var))
            if kind == "mean":
                ok = abs(g - float(mu)) <= 1e-12 * float(np.abs(win).mean())
            elif kind in ("sd", "var"):
                want = sd if kind == "sd" else float(var)
                ok = g == want == 0.0 or abs(g - want) <= 1e-12 * want
            elif var == 0:
                ok = same(g, 0.0 if kind == "z_first" else NAN)
            else:
                v = win[0] if kind == "z_first" else win[-1]
                want = float(Fraction(float(v)) - mu) / sd
                ok = abs(g - want) <= 1e-12 * (abs(want) + float(np.abs(win).max()) / sd)
            assert ok, (name, kind, w, k, list(win), g)


SPIKE = arr(1, 2, 3, 1e10, 1, 2, 3, 4, 5)
SPIKE_Y = arr(1, 2, 3, 0.5, 1, 2, 3, 4, 5)


@pytest.mark.parametrize("x, w, later", [
    (SPIKE, 3, [4, 5, 6]),
    (arr(0.1, 0.2, 0.3, 1e10, 0.1, 0.2, 0.3, 0.4, 0.5), 3, [4, 5, 6]),  # inexact values: the means too
    (arr(5, 7, -3e12, 2.5, 2.5, 2.5, 6, 1, 0.25, 3), 2, range(3, 9)),
    (np.concatenate([np.arange(20.0), [4e15], np.linspace(0.5, 3, 30)]), 7, range(21, 44)),
])
def test_large_value_that_left_spoils_no_later_window(x, w, later):
    # the windows after the large value hold only ordinary values
    check_exact_one(x, w, later)
    assert same(m.rolling_std_np(SPIKE, 3)[-3:], [1.0, 1.0, 1.0])
    assert same(m.rolling_zscore_np(SPIKE, 3)[-3:], [-1.0, -1.0, -1.0])


@pytest.mark.parametrize("x, w", [
    (arr(0, 1e9 + 1, 1e9 + 2, 1e9 + 3, 1e9 + 4), 3),
    (np.concatenate([[0.0], 1e12 + np.arange(1.0, 40.0) * 0.25]), 4),
    (np.concatenate([-5e8 + np.sin(np.arange(30.0)), 7e8 + np.cos(np.arange(30.0))]), 5),
])
def test_shift_far_from_the_window_is_moved(x, w):
    check_exact_one(x, w)
    assert same(m.rolling_std_np(arr(0, 1e9 + 1, 1e9 + 2, 1e9 + 3, 1e9 + 4), 3)[1:], [1.0, 1.0])


def test_constant_runs_have_no_spread():
    # a constant run after other values, whatever its rounded mean
    for c in (0.1, 2.0, 1e9 + 0.3, -7.7):
        x = np.concatenate([np.linspace(-4, 9, 13), np.full(12, c), [1.0, 2.0]])
        check_exact_one(x, 4)
        assert same(m.rolling_std_np(x, 4)[13:22], [0.0] * 9)


@pytest.mark.parametrize("align", ["trailing", "centered"])
@pytest.mark.parametrize("policy", ["propagate", "ignore", "require_min_periods"])
def test_infinity_in_window_has_no_variance(align, policy):
    # a NaN variance stays NaN under every alignment and policy; a negative
    # rounded variance still clamps to 0.0
    x = arr(1, INF, 3, 4, 5, 6)
    var, sd = m.rolling_multi_np(x, 3, None, align, policy, ["var", "std"])
    held = [0, 1, 2] if align == "centered" else [0, 1]
    assert np.isnan(var[held]).all() and np.isnan(sd[held]).all()
    assert same(var[-2:], [1.0, 0.5] if align == "centered" else [1.0, 1.0])
    assert same(m.rolling_std_nan_np(x, 3)[1:4], [NAN] * 3)
    var = m.rolling_multi_np(np.full(7, 0.1), 3, None, align, policy, ["var"])[0]
    assert same(var[1:-1], [0.0] * (len(var) - 2))


@pytest.mark.parametrize("w", [2, 3, 5, 8, 17])
@pytest.mark.parametrize("seed", range(6))
def test_running_sums_match_exact_windows(w, seed):
    check_exact_one(messy(90, seed * 31 + w, scale=[1.0, 1e-3, 250.0][seed % 3]), w)


@pytest.mark.parametrize("spike", [1e15, -3e16, 1e17])
@pytest.mark.parametrize("w", [1, 2, 5, 50])
def test_means_forget_a_spike_that_has_left(spike, w):
    # Every rolling mean against math.fsum of its window: once the spike has
    # left, within 1e-12 of the window's magnitude. NaN runs: skipped by the
    # NaN-aware mean, NaN in the windows of the others that hold them.
    rng = np.random.default_rng([w, int(abs(spike) % 97)])
    x = np.round(rng.uniform(-3, 3, 400), 4)
    x[[30, 31, 200]] = [spike, -0.7 * spike, spike / 3]
    x[[32, 201]] = [3.0585, 1.0 + 2 ** -40]  # digits a sum around the spike would round off
    x[100:110] = NAN
    x[260:263] = NAN
    col = np.ascontiguousarray(x[:, None])
    full = {"rolling_mean_np": m.rolling_mean_np(x, w), "rolling_mean_std_np": m.rolling_mean_std_np(x, w)[0],
            "rolling_mean_axis0_np": m.rolling_mean_axis0_np(col, w)[:, 0],
            "rolling_mean_std_axis0_np": m.rolling_mean_std_axis0_np(col, w)[0][:, 0],
            "rolling_multi_np": m.rolling_multi_np(x, w)[0]}
    nan_mean = m.rolling_mean_nan_np(x, w)
    big = np.abs(x) >= 1e15
    for i in range(len(x)):
        win = x[max(0, i - w + 1):i + 1]
        vals = win[~np.isnan(win)]
        if big[max(0, i - w + 1):i + 1].any():
            continue
        tol = 1e-12 * (np.abs(vals).max() if len(vals) else 0.0)
        want = math.fsum(vals) / len(vals) if len(vals) else NAN
        assert abs(nan_mean[i] - want) <= tol or (np.isnan(want) and np.isnan(nan_mean[i])), (i, nan_mean[i], want)
        if i >= w - 1:
            for name, got in full.items():
                g = got[i - w + 1]
                assert (np.isnan(g) if len(vals) < w else abs(g - want) <= tol), (name, i, g, want)


# ============================= options, running sums, fused kernel: transcribed

def both(fn, x, window, **kw):
    """The error text of fn on a series and of the column form on a matrix."""
    texts = []
    for f, data in ((m.rolling_multi_np, x), (m.rolling_multi_axis0_np, np.ascontiguousarray(x[:, None]))):
        with pytest.raises(ValueError) as e:
            f(data, window, **kw)
        texts.append(str(e.value))
    assert texts[0] == texts[1]
    return texts[0]


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


def test_running_family_examples():
    # beside the documented examples above: the mirror image and other
    # constants
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


@pytest.mark.parametrize("w", [2, 5, 50])
@pytest.mark.parametrize("k", [510, -540, 1000, -1000, -1060])
def test_data_far_from_one_agree_with_peers_scaled(k, w):
    # Data far from 1, each output against the peers' value on the data as
    # read, scaled back up exactly (np.ldexp), times 2^(k p) for an output
    # carrying the p-th power of the data's unit. Windows away from an
    # infinity keep the unit of the finite values.
    pd = pytest.importorskip("pandas")
    x0 = np.random.default_rng(3).standard_normal(1000)
    x0[[100, 400]] = [INF, -INF]
    x = np.ldexp(x0, k)
    xr = np.ldexp(x, -k)  # as read: subnormal data keep only some bits
    win = windows(xr, w)
    held = ~np.isfinite(win).all(axis=1)
    with np.errstate(invalid="ignore"):
        mean, var = win.mean(axis=1), win.var(axis=1, ddof=1)
        zs = (xr[:len(mean)] - mean) / np.sqrt(var)
    got_mean, got_sd = m.rolling_mean_std_np(x, w)
    fused = m.rolling_multi_np(x, w, stats=STATS)
    cases = [(m.rolling_mean_np(x, w), mean, 1), (m.rolling_std_np(x, w), np.sqrt(var), 1),
             (m.rolling_var_np(x, w), var, 2), (got_mean, mean, 1), (got_sd, np.sqrt(var), 1),
             (m.rolling_zscore_np(x, w), zs, 0)]
    cases += list(zip(fused, [mean, np.sqrt(var), var, np.full(len(mean), float(w)), win.min(axis=1),
                              win.max(axis=1)], [1, 1, 2, 0, 1, 1]))
    for got, want, p in cases:
        close_scaled(np.where(held, NAN, got), np.where(held, NAN, want), k * p, rtol=1e-9, atol=1e-12)
    # NaN runs, NaN-skipping windows
    xn = np.where(np.isinf(x0), NAN, x)
    xn[300:320] = NAN
    s = pd.Series(np.ldexp(xn, -k))
    mean_p, sd_p = s.rolling(w, min_periods=1).mean(), s.rolling(w, min_periods=2).std()
    zs_p = (s - s.rolling(w, min_periods=2).mean()) / sd_p
    for got, want, p in ((m.rolling_mean_nan_np(xn, w), mean_p, 1), (m.rolling_std_nan_np(xn, w), sd_p, 1),
                         (m.rolling_zscore_nan_np(xn, w), zs_p, 0)):
        close_scaled(got, want, k * p, rtol=1e-9, atol=1e-12)
    if k == 510:  # the report's window: NumPy's variance of the same five values
        assert m.rolling_var_np(x, 5)[17] == pytest.approx(np.var(x[17:22], ddof=1), rel=1e-12)


# ---------------------------------------------------------------- fused kernel


def test_fused_examples():
    (mean,) = m.rolling_multi_np(X5, 3)
    assert same(mean, [2.0, 3.0, 4.0])
    a, b, c = m.rolling_multi_np(X5, 3, stats=["std", "mean", "std"])
    assert same(a, [1.0] * 3) and same(b, [2, 3, 4]) and same(c, a) and a is not c
    c[0] = 9.0
    assert a[0] == 1.0
    # (the documented examples on [1, NaN, 3, 4] are in test_fused_small_cases)
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


def test_fused_aggregates_and_centered_minimum_agree_with_pandas():
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
