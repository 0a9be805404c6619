"""Percentile bootstrap family: known answers from a second, independent
model of the generator and of the replicate rules, plus argument handling."""
import inspect
import math

import numpy as np
import pytest

from conftest import loop_sum, same
from marlox_stats import marlox_stats_rs as m

NAN = math.nan
INF = math.inf
NAN3 = (NAN, NAN, NAN)
W64 = 2**64
W128 = 2**128


def rotr(v, r, bits):
    r %= bits
    return ((v >> r) | (v << (bits - r))) % (1 << bits)


class Gen:
    """PCG64 written out step by step, with plain Python integers."""

    M = 0x2360ED051FC65DA4 * W64 + 0x4385DF649FCCF645

    def __init__(self, s):
        t, words = s, []
        for _ in range(8):
            t = (t * 0x5851F42D4C957F2D + 0xA17654E46FBE17F3) % W64
            words.append(rotr(((t >> 45) ^ (t >> 27)) % 2**32, t >> 59, 32))
        w1, w2, w3, w4, w5, w6, w7, w8 = words
        self.state = w4 * 2**96 + w3 * 2**64 + w2 * 2**32 + w1
        self.inc = (w8 * 2**96 + w7 * 2**64 + w6 * 2**32 + w5) | 1
        self.state = (self.state + self.inc) % W128
        self.state = (self.state * self.M + self.inc) % W128

    def out(self):
        self.state = (self.state * self.M + self.inc) % W128
        hi, lo = divmod(self.state, W64)
        return rotr(hi ^ lo, hi >> 58, 64)

    def int_below(self, n):
        zone = ((n << (64 - n.bit_length())) % W64 - 1) % W64
        while True:
            prod = self.out() * n
            if prod % W64 <= zone:
                return prod // W64


def replicate(seed, i):
    return Gen((seed * 0x9E3779B97F4A7C15 + i) % W64)


def indices(seed, i, n):
    g = replicate(seed, i)
    return [g.int_below(n) for _ in range(n)]


def draw_sort(v):
    # Without NaN every stable ascending sort by < gives this buffer.
    return sorted(v)


def floor_ends(d, conf):
    a = (1.0 - conf) * 0.5
    B = len(d)

    def idx(pos):
        f = math.floor(pos) if math.isfinite(pos) else (0 if math.isnan(pos) else (2**63 if pos > 0 else -2**63))
        return min(max(f, 0), B - 1)

    return d[idx(a * B)], d[idx((1.0 - a) * B)]


def st_mean(v):
    return loop_sum(v) / len(v)


def st_median(v):
    d, n = draw_sort(v), len(v)
    return d[n // 2] if n % 2 else (d[n // 2 - 1] + d[n // 2]) * 0.5


def st_pstd(v):
    n = len(v)
    mu = loop_sum(v) / n
    var = loop_sum(a * a for a in v) / n - mu * mu
    return 0.0 if var <= 0.0 else math.sqrt(var)


def st_sstd(v):
    n = len(v)
    if n < 2:
        return NAN
    mu = loop_sum(v) / n
    return math.sqrt(loop_sum((a - mu) ** 2 for a in v) / (n - 1))


def draws(x, stat, B, seed):
    x = [float(a) for a in x]
    return [stat([x[k] for k in indices(seed, i, len(x))]) for i in range(B)]


def ci(d, conf):
    return (loop_sum(d) / len(d), *floor_ends(draw_sort(d), conf))


def se(vals):
    mu = loop_sum(vals) / len(vals)
    return math.sqrt(loop_sum((v - mu) ** 2 for v in vals) / max(len(vals) - 1, 1))


def corr(x, y, B, conf, seed):
    n, vals = len(x), []
    for i in range(B):
        idx = indices(seed, i, n)
        xs, ys = [float(x[k]) for k in idx], [float(y[k]) for k in idx]
        mx, my = loop_sum(xs) / n, loop_sum(ys) / n
        vy = loop_sum(b * b for b in ys) / n - my * my
        vx = loop_sum(a * a for a in xs) / n - mx * mx
        if min(xs) == max(xs) or min(ys) == max(ys) or not vy > 0 or not vx > 0:
            vals.append(NAN)
        else:
            vals.append((loop_sum(a * b for a, b in zip(xs, ys)) / n - my * mx) / math.sqrt(vy * vx))
    fin = [v for v in vals if math.isfinite(v)]
    return ci(fin, conf) if fin else NAN3


# ------------------------------------------------------------ the generator

def test_worked_example():
    assert indices(42, 0, 10) == [4, 5, 4, 8, 4, 0, 2, 3, 0, 2]
    assert indices(42, 1, 10) == [1, 6, 0, 2, 6, 1, 3, 5, 3, 2]
    d = m.bootstrap_ci_with_draws(np.arange(10.0), "mean", 2, 0.95, 42)[3]
    assert d.tolist() == [3.2, 2.9]
    # Base-11 digits recover how often each index was drawn.
    x = 11.0 ** np.arange(10)
    for i, s in enumerate(np.rint(m.bootstrap_ci_with_draws(x, "mean", 2, 0.95, 42)[3] * 10)):
        counts = [int(s) // 11**k % 11 for k in range(10)]
        assert counts == [indices(42, i, 10).count(k) for k in range(10)]


@pytest.mark.parametrize("seed", [0, 1, 42, 2**63, 2**64 - 1])
@pytest.mark.parametrize("n", [1, 2, 3, 4, 7, 8, 16, 33])
def test_mean_draws_follow_the_generator(seed, n):
    x = np.cos(np.arange(n) * 1.7) * 3.0
    B = 5
    got = m.bootstrap_ci_with_draws(x, "mean", B, 0.95, seed)[3]
    assert same(got, draws(x, st_mean, B, seed))


def test_seed_none_absent_and_zero_agree():
    x = np.linspace(-2.0, 3.0, 13)
    ref = m.bootstrap_ci(x, "median", 40, 0.9, 0)
    assert same(m.bootstrap_ci(x, "median", 40, 0.9), ref)
    assert same(m.bootstrap_ci(x, "median", 40, 0.9, None), ref)
    assert same(ref, ci(draws(x, st_median, 40, 0), 0.9))
    assert same(m.bootstrap_mean(x, 40), m.bootstrap_mean(x, 40, None))
    assert same(m.bootstrap_se(x, "std", 40), m.bootstrap_se(x, "std", 40, 0))


# ------------------------------------------------------ the interval rule

X = np.array([0.5, -1.25, 3.0, 0.0, -0.0, 2.0, 7.5, -4.0, 1.0 / 3.0, 0.0, 6.0, -0.0])


@pytest.mark.parametrize("conf", [-0.5, -1.0, -3.0, -1e300, -INF, 0.0, 0.5, 0.95, 1.0, 1.5, INF, NAN])
def test_floor_index_ends_for_any_conf(conf):
    # A negative conf puts the lower index above the upper one; both ends
    # are still the sorted draws at those indices.
    B = 37
    for stat, fn in (("mean", st_mean), ("median", st_median), ("std", st_pstd)):
        d = draws(X, fn, B, 9)
        expect = ci(d, conf)
        assert same(m.bootstrap_ci(X, stat, B, conf, 9), expect), stat
        assert same(m.bootstrap_ci_with_draws(X, stat, B, conf, 9)[:3], expect), stat
    assert same(m.bootstrap_mean_ci(X, B, conf, 9), ci(draws(X, st_mean, B, 9), conf))
    y = np.sin(np.arange(12.0))
    assert same(m.bootstrap_corr(X, y, B, conf, 9), corr(X, y, B, conf, 9))


@pytest.mark.parametrize("conf", [-0.6, -0.2, 0.2, 0.6])
def test_signed_zero_ends_keep_draw_order(conf):
    # Median draws of mostly-zero data are a mix of 0.0 and -0.0; a stable
    # sort keeps them in slot order, and the chosen end keeps its sign.
    x = np.array([0.0, -0.0, -0.0, 0.0, 0.0, -0.0, 1.0])
    for B in (9, 30):
        d = draws(x, st_median, B, 5)
        assert {math.copysign(1.0, v) for v in d} == {1.0, -1.0}
        assert same(m.bootstrap_ci(x, "median", B, conf, 5), ci(d, conf))


def test_signed_zero_sums_start_from_positive_zero():
    z = np.array([-0.0])
    assert same(m.bootstrap_ci(z, "median", 5), (0.0, -0.0, -0.0))
    assert same(m.bootstrap_ci(z, "mean", 5), (0.0, 0.0, 0.0))
    assert same(m.bootstrap_mean(np.array([-0.0, -0.0]), 3), 0.0)
    assert same(m.bootstrap_ci(z, "std", 3), (0.0, 0.0, 0.0))


def test_index_exactly_on_an_integer():
    # B = 40, conf = 0.5: alpha * B = 10 and (1 - alpha) * B = 30 exactly.
    d = draw_sort(draws(X, st_mean, 40, 2))
    assert m.bootstrap_mean_ci(X, 40, 0.5, 2)[1:] == (d[10], d[30])


# ------------------------------------------------------------ statistics

@pytest.mark.parametrize("n", [1, 2, 3, 6])
def test_se_and_var_divisors(n):
    x = X[:n]
    for B in (1, 2, 25):
        for stat, fn in (("mean", st_mean), ("median", st_median), ("std", st_sstd)):
            s = se(draws(x, fn, B, 4))
            assert same(m.bootstrap_se(x, stat, B, 4), s), (stat, B)
            assert same(m.bootstrap_var(x, stat, B, 4), s * s), (stat, B)


def test_se_uses_the_same_resamples_as_the_interval_functions():
    x = np.linspace(0.0, 1.0, 17) ** 2
    for stat in ("mean", "median"):
        d = m.bootstrap_ci_with_draws(x, stat, 50, 0.9, 3)[3].tolist()
        assert same(m.bootstrap_se(x, stat, 50, 3), se(d))


def test_population_std_follows_the_one_pass_formula():
    # Q/n - m*m of a constant rounds below zero for 0.3 (n = 7), so the value
    # is 0; for 0.1 (n = 7) it rounds above zero, and the square root stays.
    x = np.full(7, 0.3)
    assert same(m.bootstrap_ci(x, "std", 6), (0.0, 0.0, 0.0))
    x = np.full(7, 0.1)
    v = st_pstd([0.1] * 7)
    assert v > 0.0 and same(m.bootstrap_ci(x, "std", 6), (v, v, v))


def test_infinite_values():
    x = np.array([1.0, INF, 2.0, 3.0])
    assert same(m.bootstrap_ci(x, "mean", 21, 0.5, 1), ci(draws(x, st_mean, 21, 1), 0.5))
    assert same(m.bootstrap_ci(x, "median", 21, 0.5, 1), ci(draws(x, st_median, 21, 1), 0.5))
    assert math.isnan(m.bootstrap_se(x, "mean", 21, 1))
    # Replicates that draw the infinite value have a NaN variance and drop out.
    y = np.array([0.5, 1.0, -2.0, 4.0])
    assert same(m.bootstrap_corr(x, y, 30, 0.8, 1), corr(x, y, 30, 0.8, 1))


def test_corr_known_answer_and_drops():
    x = np.array([1.0, 2.0, 2.0, 5.0, -1.0])
    y = np.array([0.0, 1.0, 1.0, 0.0, 3.0])
    for seed in (0, 13):
        got = m.bootstrap_corr(x, y, 64, 0.9, seed)
        assert same(got, corr(x, y, 64, 0.9, seed))
    assert same(m.bootstrap_corr(np.array([1.0]), np.array([2.0]), 10), NAN3)
    assert same(m.bootstrap_corr(np.full(8, 0.3), np.arange(8.0), 10), NAN3)


# ------------------------------------------------------ degenerate inputs

def test_empty_and_zero_replicates_win_over_size():
    e = np.array([])
    big = 2**64 - 1
    assert same(m.bootstrap_mean(e, big), NAN)
    assert same(m.bootstrap_mean_ci(e, big), NAN3)
    assert same(m.bootstrap_ci(e, "no", big), NAN3)
    assert same(m.bootstrap_se(e, "std", big), NAN)
    assert same(m.bootstrap_corr(e, e, big), NAN3)
    assert same(m.bootstrap_corr(X, X[:3], big), NAN3)


def test_one_replicate():
    for stat, fn in (("mean", st_mean), ("median", st_median), ("std", st_pstd)):
        (v,) = draws(X, fn, 1, 6)
        assert same(m.bootstrap_ci(X, stat, 1, 0.95, 6), (v, v, v))
    assert m.bootstrap_se(X, "std", 1, 6) == 0.0 and m.bootstrap_var(X, "std", 1, 6) == 0.0


# ------------------------------------------------------- argument handling

def test_signatures_and_docs():
    sigs = {
        "bootstrap_mean": "(x, n_resamples, random_state=None)",
        "bootstrap_mean_ci": "(x, n_resamples, conf=0.95, random_state=None)",
        "bootstrap_ci": "(x, stat='mean', n_resamples=1000, conf=0.95, random_state=None)",
        "bootstrap_ci_with_draws": "(x, stat='mean', n_resamples=1000, conf=0.95, random_state=None)",
        "bootstrap_se": "(x, stat='mean', n_resamples=1000, random_state=None)",
        "bootstrap_var": "(x, stat='mean', n_resamples=1000, random_state=None)",
        "bootstrap_corr": "(x, y, n_resamples, conf=0.95, random_state=None)",
    }
    for name, sig in sigs.items():
        f = getattr(m, name)
        assert str(inspect.signature(f)) == sig
        assert f.__doc__
    doc = m.bootstrap_ci_with_draws.__doc__
    assert "(estimate, ci_lower, ci_upper, draws)" in doc and "bootstrap_ci" in doc


def test_result_kinds():
    for r in (m.bootstrap_mean_ci(X, 3), m.bootstrap_ci(X, "std", 3), m.bootstrap_corr(X, X[::-1].copy(), 3)):
        assert type(r) is tuple and len(r) == 3 and all(type(v) is float for v in r)
    r = m.bootstrap_ci_with_draws(X, "median", 4)
    assert type(r) is tuple and len(r) == 4 and all(type(v) is float for v in r[:3])
    assert isinstance(r[3], np.ndarray) and r[3].dtype == np.float64 and r[3].shape == (4,)
    assert all(type(f(X, n_resamples=3)) is float for f in (m.bootstrap_mean, m.bootstrap_se, m.bootstrap_var))


def test_random_state_conversion():
    x = np.arange(6.0)
    ref = m.bootstrap_ci(x, "mean", 7, 0.9, 1)
    assert same(m.bootstrap_ci(x, "mean", 7, 0.9, True), ref)
    assert same(m.bootstrap_ci(x, "mean", 7, 0.9, np.uint64(1)), ref)
    assert same(m.bootstrap_ci(x, "mean", 7, 0.9, 2**64 - 1), ci(draws(x, st_mean, 7, 2**64 - 1), 0.9))
    for bad in (-1, 2**64, np.int64(-3)):
        with pytest.raises(OverflowError) as e:
            m.bootstrap_ci(x, random_state=bad)
        assert type(e.value) is OverflowError and "random_state" not in str(e.value)
    with pytest.raises(TypeError, match=r"^argument 'random_state': "):
        m.bootstrap_mean(x, 5, 1.0)
    with pytest.raises(TypeError, match=r"^argument 'random_state': "):
        m.bootstrap_se(x, random_state="1")


def test_n_resamples_conversion():
    x = np.arange(6.0)
    assert same(m.bootstrap_ci(x, "mean", True), m.bootstrap_ci(x, "mean", 1))
    with pytest.raises(OverflowError):
        m.bootstrap_mean(x, -1)
    with pytest.raises(OverflowError):
        m.bootstrap_corr(x, x, 2**64)
    with pytest.raises(TypeError, match=r"^argument 'n_resamples': "):
        m.bootstrap_ci(x, "mean", 10.0)
    with pytest.raises(TypeError, match=r"^bootstrap_mean_ci\(\) missing 1 required positional argument: "
                                        r"'n_resamples'$"):
        m.bootstrap_mean_ci(x)


def test_stat_conversion_and_conf_kinds():
    x = np.arange(6.0)
    with pytest.raises(TypeError, match=r"^argument 'stat': 'int' object cannot be converted to 'PyString'$"):
        m.bootstrap_ci(x, 1)
    with pytest.raises(TypeError, match=r"^argument 'stat': "):
        m.bootstrap_se(x, None)
    assert same(m.bootstrap_ci(x, "mean", 9, 1), m.bootstrap_ci(x, "mean", 9, 1.0))
    assert same(m.bootstrap_mean_ci(x, 9, np.float32(0.5)), m.bootstrap_mean_ci(x, 9, 0.5))


def test_contiguity():
    x = np.arange(20.0)
    for call in (lambda: m.bootstrap_mean(x[::2], 5), lambda: m.bootstrap_mean_ci(x[::2], 0),
                 lambda: m.bootstrap_ci(x[::-1], "bogus", 0), lambda: m.bootstrap_ci_with_draws(x[::2]),
                 lambda: m.bootstrap_se(x[::3]), lambda: m.bootstrap_var(x[::2], "x", 0),
                 lambda: m.bootstrap_corr(x[:10], x[::2], 5)):
        with pytest.raises(TypeError, match=r"^The given array is not contiguous$"):
            call()
    # Conversions come first: a bad conf is reported before the strided array.
    with pytest.raises(TypeError, match=r"^argument 'conf': "):
        m.bootstrap_corr(x[::2], x[::2], 5, "0.9")


def test_inputs_unchanged():
    x = X.copy()
    y = np.sin(np.arange(12.0))
    for stat in ("mean", "median", "std"):
        m.bootstrap_ci_with_draws(x, stat, 33)
        m.bootstrap_se(x, stat, 33)
    m.bootstrap_corr(x, y, 33)
    assert same(x, X) and same(y, np.sin(np.arange(12.0)))
