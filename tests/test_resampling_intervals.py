import itertools
import math
import os
import subprocess
import sys
from fractions import Fraction

import numpy as np
import pytest

from reference import floor_interval, interp_percentile, loop_sum, median_of, NAN, NAN3, Pcg, rep_gen, same, UNSUPPORTED
from marlox_stats import marlox_stats_rs as m

# ---------------------------------------------------------------- the model
# Each function's rules with Python floats, in the same order of operations.


def interp_ends(d, conf):
    a = (1 - conf) * 0.5
    return interp_percentile(d, a), interp_percentile(d, 1 - a)


def se_of_mean(v, mu):
    n = len(v)
    return math.sqrt(loop_sum((a - mu) * (a - mu) for a in v) / (n - 1)) / math.sqrt(n)


def model_t(x, B, conf, seed):
    x = [float(a) for a in x]
    n = len(x)
    xbar = loop_sum(x) / n
    se = se_of_mean(x, xbar)
    ts = []
    for i in range(B):
        g = rep_gen(seed, i)
        r = [x[g.below(n)] for _ in range(n)]
        mu = loop_sum(r) / n
        sb = se_of_mean(r, mu)
        t = (mu - xbar) / sb if sb > 0 else NAN
        if math.isfinite(t):
            ts.append(t)
    if not ts:
        return xbar, NAN, NAN
    lo, hi = interp_ends(sorted(ts), conf)
    return xbar, xbar - se * hi, xbar - se * lo


def root(var):
    """A rounded-negative variance is 0; a NaN one stays NaN."""
    return math.sqrt(var) if var > 0 else var if math.isnan(var) else 0.0


def one_pass_sstd(v):
    s = q = 0.0
    for a in v:
        s += a
        q += a * a
    n = len(v)
    mu = s / n
    return root((q - mu * (mu * n)) / (n - 1))


PPF_A = (-39.69683028665376, 220.9460984245205, -275.9285104469687, 138.357751867269, -30.66479806614716,
         2.506628277459239)
PPF_B = (-54.47609879822406, 161.5858368580409, -155.6989798598866, 66.80131188771972, -13.28068155288572)
PPF_C = (-0.007784894002430293, -0.3223964580411365, -2.400758277161838, -2.549732539343734, 4.374664141464968,
         2.938163982698783)
PPF_D = (0.007784695709041462, 0.3224671290700398, 2.445134137142996, 3.754408661907416)


def horner(cs, v, last=None):
    acc = cs[0]
    for c in cs[1:]:
        acc = acc * v + c
    return acc if last is None else acc * v + last


def ppf(p):
    if not 0 < p < 1:
        return NAN
    if p < 0.02425:
        q = math.sqrt(-2 * math.log(p))
        return horner(PPF_C, q) / horner(PPF_D, q, 1.0)
    if p > 0.97575:
        q = math.sqrt(-2 * math.log(1 - p))
        return -horner(PPF_C, q) / horner(PPF_D, q, 1.0)
    q = p - 0.5
    r = q * q
    return q * horner(PPF_A, r) / horner(PPF_B, r, 1.0)


def cdf(z):
    t = 1 / (1 + 0.2316419 * abs(z))
    q = math.exp(z * (z * -0.5)) * 0.3989422804014327 * t * (
        t * (t * (t * (t * 1.330274429 - 1.821255978) + 1.781477937) - 0.356563782) + 0.31938153)
    return 1 - q if z >= 0 else q


def model_bca(x, stat, B, conf, seed):
    x = [float(a) for a in x]
    n = len(x)
    s = loop_sum(x)
    q = loop_sum(a * a for a in x)
    fn = {"mean": lambda v: loop_sum(v) / len(v), "median": median_of, "std": one_pass_sstd}[stat]
    theta = fn(x)
    reps = sorted(fn([x[g.below(n)] for _ in range(n)]) for g in (rep_gen(seed, i) for i in range(B)))
    c = sum(r < theta for r in reps)
    z0 = ppf(min(max(c / B, 1e-10), 0.9999999999))
    if stat == "mean":
        jack = [(s - a) / (n - 1) for a in x]
    elif stat == "std":
        jack = []
        for a in x:
            mi = (s - a) / (n - 1)
            vi = ((q - a * a) - mi * (mi * (n - 1))) / (n - 2)
            jack.append(root(vi))
    else:
        jack = [median_of(x[:i] + x[i + 1:]) for i in range(n)]
    jbar = loop_sum(jack) / n
    N = loop_sum((jbar - j) * ((jbar - j) * (jbar - j)) for j in jack)
    D = loop_sum((jbar - j) * (jbar - j) for j in jack)
    acc = N / (6 * D**1.5) if D > 0 else 0.0
    alpha = (1 - conf) * 0.5

    def level(z):
        w = z0 + z
        v = cdf(z0 + w / (1 - acc * w))
        return v if math.isnan(v) else min(max(v, 0.0), 1.0)

    return theta, interp_percentile(reps, level(ppf(alpha))), interp_percentile(reps, level(ppf(1 - alpha)))


def weighted(x, w, stat):
    n = len(x)
    if stat == "mean":
        return loop_sum(w[k] * x[k] for k in range(n))
    if stat == "std":
        mu = loop_sum(w[k] * x[k] for k in range(n))
        return root(loop_sum((x[k] - mu) * (w[k] * (x[k] - mu)) for k in range(n)))
    cum = 0.0
    pairs = sorted(zip(x, w), key=lambda p: p[0])
    for v, wk in pairs:
        cum += wk
        if cum >= 0.5:
            return v
    return pairs[-1][0]


def model_bayes(x, stat, B, conf, seed):
    x = [float(a) for a in x]
    n = len(x)
    theta = {"mean": lambda v: loop_sum(v) / n, "median": median_of, "std": one_pass_sstd}[stat](x)
    reps = []
    for i in range(B):
        g = rep_gen(seed, i)
        e, T = [], 0.0
        for _ in range(n):
            e.append(g.exp_weight())
            T += e[-1]
        inv = 1 / T
        v = weighted(x, [a * inv for a in e], stat)
        if math.isfinite(v):
            reps.append(v)
    return (theta, *interp_ends(sorted(reps), conf))


def model_block(x, L, B, conf, seed, scheme):
    x = [float(a) for a in x]
    n = len(x)
    nb = (n + L - 1) // L
    g = Pcg(seed)
    reps = []
    for _ in range(B):
        s, taken, blocks = 0.0, 0, 0
        if scheme == "moving":
            while True:
                start = g.below(n)
                end = min(n, start + L)
                for k in range(start, end):
                    s += x[k]
                taken += end - start
                blocks += 1
                if taken >= n or blocks >= nb:
                    break
        elif scheme == "circular":
            while True:
                start = g.below(n)
                blocks += 1
                j = 0
                while j < L and taken < n:
                    s += x[(start + j) % n]
                    taken += 1
                    j += 1
                if taken >= n or blocks >= nb:
                    break
        else:
            p = min(max(1 / L, 1e-12), 1.0)
            cur = g.below(n)
            for _ in range(n):
                if g.uniform() < p:
                    k = g.below(n)
                    s += x[cur]
                    cur = k
                else:
                    s += x[cur]
                    cur = (cur + 1) % n
            taken = n
        reps.append(s / taken)
    return (loop_sum(x) / n, *interp_ends(sorted(reps), conf))


def count_p(stats, obs, alternative, B):
    # A tie recomputed in another order may land a few ulps off: 256 ulps of
    # the observed value count as reaching it.
    tol = 256 * sys.float_info.epsilon * abs(obs)
    test = {"two-sided": lambda t: abs(t) >= abs(obs) - tol, "less": lambda t: t <= obs + tol,
            "greater": lambda t: t >= obs - tol}.get(alternative, lambda t: False)
    return (sum(1 for t in stats if test(t)) + 1) / (B + 1)


def shuffled(data, seed, i):
    v = list(data)
    if len(v) >= 2:
        rep_gen(seed, i).shuffle(v)
    return v


def model_perm_corr(x, y, B, alternative, seed):
    # moments of the deviations from each sample's first value
    x, y = [float(a) - float(x[0]) for a in x], [float(b) - float(y[0]) for b in y]
    n = len(x)
    sx, sy = loop_sum(x), loop_sum(y)
    sxx, syy = loop_sum(a * a for a in x), loop_sum(b * b for b in y)
    sxy = loop_sum(a * b for a, b in zip(x, y))
    mx, my = sx / n, sy / n
    vx, vy = sxx / n - mx * mx, syy / n - my * my
    if vx <= 0 or vy <= 0:
        return NAN, NAN
    r = (sxy / n - mx * my) / math.sqrt(vx * vy)
    stats = []
    for i in range(B):
        v = shuffled(x, seed, i)
        s, ss, sp = loop_sum(v), loop_sum(a * a for a in v), loop_sum(a * b for a, b in zip(v, y))
        mu = s / n
        vv = ss / n - mu * mu
        t = (sp / n - mu * my) / math.sqrt(vy * vv) if vv > 0 else NAN
        stats.append(t if math.isfinite(t) else NAN)
    return r, count_p(stats, r, alternative, B)


def model_perm_diff(x, y, B, alternative, seed):
    x, y = [float(a) for a in x], [float(b) for b in y]
    nx, ny = len(x), len(y)
    obs = loop_sum(x) / nx - loop_sum(y) / ny
    stats = []
    for i in range(B):
        v = shuffled(x + y, seed, i)
        stats.append(loop_sum(v[:nx]) / nx - loop_sum(v[nx:]) / ny)
    return obs, count_p(stats, obs, alternative, B)


def loo(x):
    s = loop_sum(x)
    return s, [(s - a) / (len(x) - 1) for a in x]


def model_combine(theta, xbar):
    m = len(theta)
    tb = loop_sum(theta) / m
    ss = loop_sum((t - tb) * (t - tb) for t in theta)
    est = xbar * m - (m - 1) * tb
    return est, est - xbar, math.sqrt(((m - 1) / m) * ss)


def model_jab(x, B, seed):
    x = [float(a) for a in x]
    n = len(x)
    ses = []
    for i in range(n):
        sub = x[:i] + x[i + 1:]
        g = rep_gen(seed, i)
        means = [loop_sum(sub[g.below(n - 1)] for _ in range(n - 1)) / (n - 1) for _ in range(B)]
        mu = loop_sum(means) / B
        ses.append(math.sqrt(loop_sum((a - mu) * (a - mu) for a in means) / max(B - 1, 1)))
    sb = loop_sum(ses) / n
    return math.sqrt(((n - 1) / n) * loop_sum((s - sb) * (s - sb) for s in ses))


RNG = np.random.default_rng(17)
X = RNG.standard_normal(37)
Y = 0.4 * X + RNG.standard_normal(37)
SMALL = np.array([3.0, -1.0, 4.0, 1.0, -5.0, 9.0, 2.0, 6.0, -5.0, 3.0])

# ------------------------------------------------------------ known answers


@pytest.mark.parametrize("x", [X, SMALL, X[:2]], ids=["n37", "n10", "n2"])
@pytest.mark.parametrize("conf,seed", [(0.95, None), (0.8, 7)])
def test_bootstrap_t_known_answer(x, conf, seed):
    got = m.bootstrap_t_ci_mean(x, 301, conf, seed)
    assert same(got, model_t(x, 301, conf, seed or 0))


@pytest.mark.parametrize("stat", ["mean", "median", "std"])
@pytest.mark.parametrize("x", [X, SMALL, SMALL[:3], SMALL[:4]], ids=["n37", "n10", "n3", "n4"])
def test_bca_known_answer(stat, x):
    assert same(m.bootstrap_bca_ci(x, stat, 257, 0.9, 3), model_bca(x, stat, 257, 0.9, 3))


@pytest.mark.parametrize("stat", ["mean", "median", "std"])
@pytest.mark.parametrize("x", [X, SMALL, SMALL[:2]], ids=["n37", "n10", "n2"])
def test_bayesian_known_answer(stat, x):
    assert same(m.bayesian_bootstrap_ci(x, stat, 211, 0.9, 5), model_bayes(x, stat, 211, 0.9, 5))


@pytest.mark.parametrize("scheme", ["moving", "circular", "stationary"])
@pytest.mark.parametrize("L", [1, 3, 10, 11, 1000])
def test_block_known_answer(scheme, L):
    fn = getattr(m, f"{scheme}_block_bootstrap_mean_ci" if scheme != "stationary" else "stationary_bootstrap_mean_ci")
    assert same(fn(SMALL, L, 203, 0.9, 11), model_block(SMALL, L, 203, 0.9, 11, scheme))
    assert same(fn(X, L, 50), model_block(X, L, 50, 0.95, 0, scheme))


@pytest.mark.parametrize("alternative", ["two-sided", "less", "greater"])
def test_permutation_known_answer(alternative):
    assert same(m.permutation_corr_test(X, Y, 199, alternative, 4), model_perm_corr(X, Y, 199, alternative, 4))
    assert same(m.permutation_mean_diff_test(X, Y[:20], 199, alternative, 4),
                model_perm_diff(X, Y[:20], 199, alternative, 4))


def test_jackknife_known_answers():
    for x in (X, SMALL, SMALL[:2]):
        xs = [float(a) for a in x]
        s, th = loo(xs)
        n = len(xs)
        xbar = s / n
        assert same(m.influence_mean(x), [(n - 1) * (xbar - t) for t in th])
        assert same(m.jackknife_mean(x), model_combine(th, xbar))
        for conf in (0.95, 0.5, 2.0):
            assert same(m.jackknife_mean_ci(x), (model_combine(th, xbar)[0], *floor_interval(sorted(th), 0.95)))
            assert same(m.jackknife_mean_ci(x, conf)[1:], floor_interval(sorted(th), conf))
    for d in (1, 3, 7, 8):
        xs = [float(a) for a in SMALL]
        s, n = loop_sum(xs), len(xs)
        th = [(s - loop_sum(xs[lo:lo + d])) / (n - len(xs[lo:lo + d])) for lo in range(0, n, d)]
        assert same(m.delete_d_jackknife_mean(SMALL, d), model_combine(th, s / n))
    for B, seed in ((1, 0), (7, 3), (40, None)):
        assert same(m.jackknife_after_bootstrap_se_mean(SMALL, B, seed), model_jab(SMALL, B, seed or 0))


@pytest.mark.parametrize("k", [0, -515, -1000, 530, 1000])
def test_jackknife_against_numpy(k):
    # A leave-one-out computation in NumPy on the unscaled data, scaled by
    # 2^k: the squares of data at 2^+-515 and beyond leave the normal range.
    loo = np.array([np.delete(X, i).mean() for i in range(len(X))])
    n = len(X)
    se_loo = math.sqrt((n - 1) / n * np.sum((loo - loo.mean()) ** 2))
    xs = np.ldexp(X, k)
    est, bias, se = np.ldexp(m.jackknife_mean(xs), -k)
    assert est == pytest.approx(X.mean(), abs=1e-14) and abs(bias) < 1e-14
    assert se == pytest.approx(X.std(ddof=1) / math.sqrt(len(X)), rel=1e-12) and se == pytest.approx(se_loo, rel=1e-12)
    assert np.allclose(np.ldexp(m.influence_mean(xs), -k), (n - 1) * (X.mean() - loo), rtol=1e-10, atol=1e-13)
    assert np.allclose(np.ldexp(m.delete_d_jackknife_mean(xs, 1), -k), (est, bias, se), rtol=1e-12, atol=1e-14)
    assert m.jackknife_after_bootstrap_se_mean(xs, 1) == 0.0
    assert loop_sum(np.ldexp(m.influence_mean(xs), -k)) == pytest.approx(0.0, abs=1e-12)
    assert same(m.influence_mean(np.ldexp([1.0, 4.0], k)), np.ldexp([-1.5, 1.5], k))


# --------------------------------------------------------- degenerate rules


def test_defaults_and_seed_none():
    assert same(m.bootstrap_t_ci_mean(X), m.bootstrap_t_ci_mean(X, 1000, 0.95, 0))
    assert same(m.bootstrap_bca_ci(X), m.bootstrap_bca_ci(X, "mean", 1000, 0.95, 0))
    assert same(m.bayesian_bootstrap_ci(X), m.bayesian_bootstrap_ci(X, "mean", 1000, 0.95, 0))
    assert same(m.stationary_bootstrap_mean_ci(X, 4), m.stationary_bootstrap_mean_ci(X, 4, 1000, 0.95, 0))
    assert same(m.permutation_corr_test(X, Y), m.permutation_corr_test(X, Y, 1000, "two-sided", 0))
    assert same(m.jackknife_after_bootstrap_se_mean(X), m.jackknife_after_bootstrap_se_mean(X, 200, 0))
    assert same(m.jackknife_mean_ci(X), m.jackknife_mean_ci(X, 0.95))


E = np.array([])


@pytest.mark.parametrize("call", [
    lambda: m.bootstrap_t_ci_mean(X, 0), lambda: m.bootstrap_t_ci_mean(X[:1]),
    lambda: m.bootstrap_bca_ci(X, "nope", 0), lambda: m.bootstrap_bca_ci(X[:2], "nope"),
    lambda: m.bayesian_bootstrap_ci(X, "nope", 0), lambda: m.bayesian_bootstrap_ci(E, "nope"),
    lambda: m.bayesian_bootstrap_ci(X, "nope", conf=1.0), lambda: m.bayesian_bootstrap_ci(X, conf=0.0),
    lambda: m.bayesian_bootstrap_ci(X[:1], "std"),
    lambda: m.moving_block_bootstrap_mean_ci(X, 0), lambda: m.circular_block_bootstrap_mean_ci(X, 2, 0),
    lambda: m.stationary_bootstrap_mean_ci(E, 2),
    lambda: m.jackknife_mean(X[:1]), lambda: m.jackknife_mean_ci(E),
    lambda: m.delete_d_jackknife_mean(X, 0), lambda: m.delete_d_jackknife_mean(X[:2], 1),
    lambda: m.delete_d_jackknife_mean(X[:5], 4), lambda: m.delete_d_jackknife_mean(np.array([1.0, np.nan, 2, 3]), 1),
])
def test_nan_triples(call):
    assert same(call(), NAN3)


def test_other_degenerate_results():
    assert same(m.permutation_corr_test(X, Y, 0), (NAN, NAN))
    assert same(m.permutation_corr_test(X, Y[:-1]), (NAN, NAN))
    assert same(m.permutation_corr_test(X[:1], Y[:1]), (NAN, NAN))
    assert same(m.permutation_corr_test(X, np.ones(37)), (NAN, NAN))
    assert same(m.permutation_mean_diff_test(E, Y), (NAN, NAN))
    assert same(m.permutation_mean_diff_test(X, Y, 0), (NAN, NAN))
    assert m.influence_mean(X[:1]).shape == (0,) and m.influence_mean(E).dtype == np.float64
    assert math.isnan(m.jackknife_after_bootstrap_se_mean(X[:2])) and math.isnan(m.jackknife_after_bootstrap_se_mean(X, 0))
    c = np.full(12, 2.5)
    assert same(m.bootstrap_t_ci_mean(c), (2.5, NAN, NAN))
    assert same(m.bootstrap_bca_ci(c, "median"), (2.5, 2.5, 2.5))
    # Weights sum to 1 only up to rounding; a constant still has no spread.
    for v in (np.zeros(12), c):
        assert same(m.bayesian_bootstrap_ci(v, "std", 100), (0.0, 0.0, 0.0))
    for fn in (m.moving_block_bootstrap_mean_ci, m.circular_block_bootstrap_mean_ci, m.stationary_bootstrap_mean_ci):
        assert same(fn(c, 3), (2.5, 2.5, 2.5))


@pytest.mark.parametrize("fn", [m.bootstrap_bca_ci, m.bayesian_bootstrap_ci])
@pytest.mark.parametrize("stat", ["Mean", "mean ", "var", ""])
def test_unsupported_stat(fn, stat):
    with pytest.raises(ValueError) as e:
        fn(X, stat)
    assert str(e.value) == UNSUPPORTED


ALTERNATIVE = "alternative must be one of: 'two-sided', 'less', 'greater'"


@pytest.mark.parametrize("fn", [m.permutation_corr_test, m.permutation_mean_diff_test])
@pytest.mark.parametrize("alternative", ["Two-Sided", "two_sided", "", "less ", "GREATER"])
def test_unknown_alternative(fn, alternative):
    # Counting nothing would report p = 1/(B + 1), the strongest finding possible.
    with pytest.raises(ValueError) as e:
        fn(X, Y, 50, alternative)
    assert str(e.value) == ALTERNATIVE
    with pytest.raises(ValueError):
        fn(X, Y, alternative=alternative)
    for constant in (np.full(37, 2.0), np.full(37, 0.1)):  # usable sizes: still an error
        with pytest.raises(ValueError):
            fn(constant, Y, 50, alternative)
    # The size checks come first.
    assert same(fn(X, Y, 0, alternative), (NAN, NAN))
    assert same(fn(E, Y, 50, alternative), (NAN, NAN))
    if fn is m.permutation_corr_test:
        assert same(fn(X, Y[:-1], 50, alternative), (NAN, NAN))


def exact_permutation_p(x, y, alternative, corr):
    """The permutation p-value by enumeration, in exact rational arithmetic on
    the decimals the data were written as: every order of x against y
    (correlation), or every split of the pooled sample (mean difference).
    Ties are exact here."""
    x, y = [Fraction(repr(float(a))) for a in x], [Fraction(repr(float(b))) for b in y]
    if corr:
        # Only the cross sum moves under a permutation of x; r is n*Sxy - Sx*Sy
        # over a denominator that every order shares.
        shift = sum(x) * sum(y)
        stats = [len(x) * sum(a * b for a, b in zip(v, y)) - shift for v in itertools.permutations(x)]
        obs = len(x) * sum(a * b for a, b in zip(x, y)) - shift
    else:
        pool, nx, total = x + y, len(x), sum(x) + sum(y)
        stats = [sum(pool[i] for i in c) / nx - (total - sum(pool[i] for i in c)) / len(y)
                 for c in itertools.combinations(range(len(pool)), nx)]
        obs = sum(x) / nx - sum(y) / len(y)
    hit = {"two-sided": lambda t: abs(t) >= abs(obs), "less": lambda t: t <= obs, "greater": lambda t: t >= obs}
    return sum(map(hit[alternative], stats)) / len(stats)


LINE = np.array([0.1, 0.2, 0.3, 0.4])
ON_LINE = np.array([0.27, 0.44, 0.61, 0.78])  # 1.7 * LINE + 0.1


@pytest.mark.parametrize("corr,x,y", [
    (True, LINE, ON_LINE), (True, np.array([0.1, 0.2, 0.3, 0.4, 0.5]), np.array([0.3, 0.1, 0.2, 0.5, 0.4])),
    (True, np.array([-0.3, -0.1, 0.1, 0.3]), np.array([0.7, -0.1, 0.1, 0.5])),
    (True, np.array([0.1, 0.1, 0.2, 0.3, 0.3]), np.array([1.1, 0.7, 0.7, 0.3, 0.1])),
    (False, np.array([0.1, 0.2, 0.3]), np.array([0.4, 0.5, 0.6])),
    (False, np.array([0.1, 0.7, 0.3, 1.1]), np.array([0.4, 0.55, 0.6, 0.9])),
    (False, np.array([-0.3, 0.1, 0.7]), np.array([-0.1, 0.3, 0.5, 0.9])),
    (False, np.array([0.1, 0.3, 0.3, 0.6]), np.array([0.2, 0.2, 0.4, 0.5, 0.7]))])
@pytest.mark.parametrize("alternative", ["two-sided", "less", "greater"])
def test_permutation_p_matches_exact_enumeration(corr, x, y, alternative):
    # Evenly spaced or symmetric values tie often; a tie recomputed in another
    # summation order lands an ulp off, and must still count as reaching the
    # observed statistic. 20000 permutations put the Monte Carlo p within 5
    # standard errors (at most 0.018) of the exact one; a missed tie moves it
    # by a whole class of orders (1/120 or more of the mass, often half of p).
    B = 20000
    fn = m.permutation_corr_test if corr else m.permutation_mean_diff_test
    stat, p = fn(x, y, B, alternative, 11)
    exact = exact_permutation_p(x, y, alternative, corr)
    assert abs(p - exact) <= 5 * math.sqrt(max(exact * (1 - exact), 1 / B) / B) + 1 / B
    if exact == 1.0:
        assert p == 1.0
    if corr:
        assert -1.0 <= stat <= 1.0 and stat == pytest.approx(np.corrcoef(x, y)[0, 1], rel=1e-13)
    else:
        assert stat == pytest.approx(np.mean(x) - np.mean(y), rel=1e-13)


def test_permutation_rules():
    # A perfect line has r = 1 exactly, not an ulp above.
    assert m.permutation_corr_test(LINE, 1.7 * LINE + 0.1, 10)[0] == 1.0
    assert m.permutation_corr_test(LINE, -ON_LINE, 10)[0] == -1.0
    assert m.permutation_mean_diff_test(X[:1], Y[:1], 50) == (X[0] - Y[0], 1.0)
    assert m.permutation_mean_diff_test(X, X.copy(), 50) == (0.0, 1.0)
    assert m.permutation_corr_test(X, Y, 1)[1] in (0.5, 1.0)
    nan_x = X.copy()
    nan_x[3] = np.nan
    assert same(m.permutation_corr_test(nan_x, Y), (NAN, NAN))
    # NaN data has no mean difference to test: no p-value either.
    for alternative in ("two-sided", "less", "greater"):
        assert same(m.permutation_mean_diff_test(nan_x, Y, 99, alternative), (NAN, NAN))
        assert same(m.permutation_mean_diff_test(Y[:5], nan_x, 99, alternative), (NAN, NAN))
        assert same(m.permutation_mean_diff_test(np.array([np.inf, 1.0]), np.array([np.inf]), 9, alternative),
                    (NAN, NAN))
    # Data whose squares overflow are read in their unit: a perfect line still.
    big = np.array([0.0, 1e300, -1e300])
    assert same(m.permutation_corr_test(big, big), (1.0, m.permutation_corr_test(big / 1e300, big / 1e300)[1]))


def exact_bca_mean(x, B, conf, seed):
    """The BCa interval of the mean with SciPy's normal CDF and quantile, read
    from the same replicate means (the percentile bootstrap's draws)."""
    special = pytest.importorskip("scipy.special")
    d = np.sort(m.bootstrap_ci_with_draws(x, "mean", B, conf, seed)[3])
    theta = loop_sum(x) / len(x)
    z0 = special.ndtri(min(max(np.count_nonzero(d < theta) / B, 1e-10), 0.9999999999))
    jack = (math.fsum(x) - x) / (len(x) - 1)
    dev = jack.mean() - jack
    a = np.sum(dev**3) / (6 * np.sum(dev**2) ** 1.5)
    w = z0 + special.ndtri(np.array([(1 - conf) / 2, (1 + conf) / 2]))
    levels = special.ndtr(z0 + w / (1 - a * w))
    # A level off by e moves an end by at most e*(B - 1) gaps between replicates.
    slack = (B - 1) * np.max(np.diff(d))
    return theta, np.quantile(d, levels), slack


@pytest.mark.parametrize("x", [np.arange(-3.0, 4) * 1.25, X, np.random.default_rng(8).exponential(size=25),
                               -np.random.default_rng(8).exponential(size=25), np.random.default_rng(1).standard_normal(50)],
                         ids=["grid", "normal", "exp", "-exp", "n50"])
@pytest.mark.parametrize("conf", [0.5, 0.8, 0.95, 0.99, 0.999])
@pytest.mark.parametrize("k", [0, 500, -500])
def test_bca_levels_follow_the_normal_cdf(x, conf, k):
    # The CDF's polynomial is within 7.5e-8 of the normal CDF, the quantile
    # within about 1e-9: the ends sit where the exact levels put them. Data
    # scaled by 2^+-500, whose jackknife cubes overflow or vanish, keep the
    # same levels: the interval scales with them.
    B = 2000
    theta, (lo, hi), slack = exact_bca_mean(x, B, conf, 3)
    est, got_lo, got_hi = np.ldexp(m.bootstrap_bca_ci(np.ldexp(x, k), "mean", B, conf, 3), -k)
    assert est == theta
    assert abs(got_lo - lo) <= 8e-8 * slack and abs(got_hi - hi) <= 8e-8 * slack


def test_bca_levels():
    # Both ends fall between equal replicates, -13.75 / 7 and 11.25 / 7.
    assert same(m.bootstrap_bca_ci(np.arange(-3.0, 4) * 1.25, "mean", 2000, 0.95, 3),
                (0.0, -13.75 / 7, 11.25 / 7))
    assert ppf(0.5) == 0.0 and m.bootstrap_bca_ci(X, "mean", 1)[1] == m.bootstrap_bca_ci(X, "mean", 1)[2]
    # conf >= 1: NaN quantiles read the smallest replicate at both ends.
    lo, hi = m.bootstrap_bca_ci(X, "mean", 100, 1.0)[1:]
    assert lo == hi == min(m.bootstrap_ci_with_draws(X, "mean", 100, 0.9, 0)[3])
    assert same(m.bootstrap_bca_ci(X, "std", 64, 2.0, 1), model_bca(X, "std", 64, 2.0, 1))


@pytest.mark.parametrize("n", [10, 400])
@pytest.mark.parametrize("c", [0.1, 0.3, 0.7, 1e-3, 5.1, 2.0, 1e9 + 0.1])
def test_constant_samples_have_no_spread(c, n):
    # Ten copies of 0.1 average to 0.09999999999999999 and so keep a trace of
    # spread around their mean; they are as constant as ten copies of 2.0:
    # they sit at c, with no bias, spread, influence or acceleration.
    const = np.full(n, c)
    mean = loop_sum(const) / n
    other = np.random.default_rng(n).standard_normal(n)
    assert same(m.bootstrap_t_ci_mean(const, 200), (mean, NAN, NAN))
    for alternative in ("two-sided", "less", "greater"):
        assert same(m.permutation_corr_test(const, other, 50, alternative), (NAN, NAN))
        assert same(m.permutation_corr_test(other, const, 50, alternative), (NAN, NAN))
    assert same(m.jackknife_mean(const), (c, 0.0, 0.0))
    assert same(m.jackknife_mean_ci(const, 0.9), (c, c, c))
    assert same(m.delete_d_jackknife_mean(const, 3), (c, 0.0, 0.0))
    assert same(m.influence_mean(const), np.zeros(n))
    assert m.jackknife_after_bootstrap_se_mean(const, 5) == 0.0
    # Every replicate is the sample again: no bias correction, no acceleration,
    # so both ends are the replicates' common value.
    assert same(m.bootstrap_bca_ci(const, "mean", 200), (mean, mean, mean))
    assert same(m.bootstrap_bca_ci(const, "median", 200), (c, c, c))
    assert same(m.bootstrap_bca_ci(const, "std", 200), (0.0, 0.0, 0.0))
    assert same(m.bayesian_bootstrap_ci(const, "std", 200), (0.0, 0.0, 0.0))
    # One value apart is no longer constant.
    almost = np.append(np.full(n - 1, c), 2 * c)
    r = m.permutation_corr_test(almost, other, 50)[0]
    assert r == pytest.approx(np.corrcoef(almost, other)[0, 1], rel=1e-9)
    loo = (math.fsum(almost) - almost) / (n - 1)
    assert np.allclose(m.jackknife_mean(almost), (almost.mean(), 0.0, math.sqrt((n - 1) / n * np.sum((loo - loo.mean())**2))),
                       rtol=1e-9, atol=1e-9 * c)


@pytest.mark.parametrize("base,scale", [
    ([1.0, 1.0, 2.0], 0.1), ([1.0, 1.0, 2.0], 0.7), ([5.0, 5.0, 1.0], 1 / 3), ([1.0, 1.0, 2.0, 2.0, 2.0], 0.007),
    ([3.0, 3.0, 3.0, 1.0, 2.0], 0.3), ([3.0, 3.0, 3.0, 1.0, 2.0], 1.1), ([3.0, 1.0, 1.0, 1.0], 0.1),
    ([1.0, 1.0, 2.0], 2.0**-30)])
def test_studentized_resamples_of_one_value_are_dropped(base, scale):
    # Small integer samples: many resamples draw one value only and have no
    # spread at all. Scaled by an inexact factor, such a resample of 3 or 5
    # values averages to an inexact mean, yet still has no spread, so the
    # interval scales with the data (the t values do not depend on the scale).
    base = np.array(base)
    for conf, seed in ((0.95, 4), (0.8, 9)):
        ref = np.array(m.bootstrap_t_ci_mean(base, 500, conf, seed)) * scale
        got = np.array(m.bootstrap_t_ci_mean(base * scale, 500, conf, seed))
        assert np.all(np.abs(got - ref) <= 1e-12 * np.abs(ref).max())


@pytest.mark.parametrize("k", [2.0**400, 2.0**-400, 1e150, 1e-150])
def test_correlation_of_scaled_data(k):
    # The product of the two variances over- or underflows long before the
    # data do; the correlation does not depend on the scale.
    ref = m.bootstrap_corr(X, Y, 300, 0.9, 5)
    assert np.allclose(m.bootstrap_corr(X * k, Y * k, 300, 0.9, 5), ref, rtol=1e-12, atol=0)
    assert np.allclose(m.bootstrap_corr(-X * k, Y * k, 300, 0.9, 5), [-ref[0], -ref[2], -ref[1]], rtol=1e-12, atol=0)
    r0 = np.corrcoef(X, Y)[0, 1]
    for alternative in ("two-sided", "less", "greater"):
        r, p = m.permutation_corr_test(X * k, Y * k, 300, alternative, 5)
        assert r == pytest.approx(r0, rel=1e-12) and p == m.permutation_corr_test(X, Y, 300, alternative, 5)[1]
    line = np.array([1.0, 2.0, 3.0]) * k
    assert np.allclose(m.bootstrap_corr(line, line, 50), 1.0, rtol=1e-14, atol=0)
    assert m.permutation_corr_test(line, line, 50)[0] == pytest.approx(1.0, rel=1e-14)


@pytest.mark.parametrize("c", [1e4, 1e8, 1e9, 1e10, 1e12])
def test_resampled_correlation_of_shifted_data(c):
    # Far from zero the raw moments cancel every digit; r is the correlation
    # of the data as stored, and neither the test nor the bootstrap sees the
    # common offset.
    rng = np.random.default_rng(6)
    line = np.r_[0:9, 10.0]
    x50 = rng.standard_normal(50)
    for x, y in ((line, line), (x50, 0.5 * x50 + rng.standard_normal(50)), (X, Y)):
        u, v = (x + c) - c, (y - c) + c  # the values a shift by c stores, recovered exactly
        for alternative in ("two-sided", "less", "greater"):
            r, p = m.permutation_corr_test(u + c, v - c, 199, alternative, 3)
            assert r == pytest.approx(m.corr_np(u + c, v - c), rel=1e-12, abs=1e-15)
            assert r == pytest.approx(np.corrcoef(u, v)[0, 1], rel=1e-12)
            assert same((r, p), m.permutation_corr_test(u, v, 199, alternative, 3))
        assert same(m.bootstrap_corr(u + c, v - c, 199, 0.9, 3), m.bootstrap_corr(u, v, 199, 0.9, 3))


def test_t_interval_for_two_values():
    x = np.array([1.0, 3.0])
    assert same(m.bootstrap_t_ci_mean(x, 50), (2.0, 2.0, 2.0))
    assert same(m.bootstrap_t_ci_mean(x, 1, random_state=0), model_t(x, 1, 0.95, 0))


def test_nan_inputs_do_not_fail():
    x = X.copy()
    x[::5] = np.nan
    assert same(m.bootstrap_t_ci_mean(x, 100), NAN3)
    for stat in ("mean", "median", "std"):
        est = m.bootstrap_bca_ci(x, stat, 100)[0]
        if stat != "median":
            assert math.isnan(est)
        assert len(m.bayesian_bootstrap_ci(x, stat, 100)) == 3
    # A NaN variance is no standard deviation of 0: every weighted replicate
    # holds the NaN, so nothing is left to read an interval from.
    for bad in (x, np.array([1.0, 2.0, np.inf]), np.array([np.nan, 1.0])):
        assert same(m.bayesian_bootstrap_ci(bad, "std", 50), NAN3)
        assert same(m.bayesian_bootstrap_ci(bad, "mean", 50)[1:], (NAN, NAN))
        if len(bad) >= 3:
            assert math.isnan(m.bootstrap_bca_ci(bad, "std", 50)[0])
    # A rounded variance below zero is still a spread of 0: ten copies of
    # values whose sum of squares rounds below the square of their sum.
    for c in (0.7, 1e-3, 5.1):
        const = np.full(10, c)
        assert m.bootstrap_bca_ci(const, "std", 60)[0] == 0.0 == m.bayesian_bootstrap_ci(const, "std", 60)[0]
    assert math.isnan(m.stationary_bootstrap_mean_ci(x, 3, 100)[0])
    assert math.isnan(m.jackknife_mean_ci(x)[0]) and math.isnan(m.jackknife_after_bootstrap_se_mean(x, 5))


def test_inputs_unchanged():
    x, y = X.copy(), Y.copy()
    m.permutation_corr_test(x, y, 50)
    m.permutation_mean_diff_test(x, y, 50)
    m.bootstrap_bca_ci(x, "median", 50)
    m.bayesian_bootstrap_ci(x, "median", 50)
    m.jackknife_mean_ci(x)
    assert same(x, X) and same(y, Y)


@pytest.mark.parametrize("B", [2**61, 2**64 - 1])
def test_unallocatable_counts_raise_memory_error(B):
    calls = [lambda: m.bootstrap_t_ci_mean(X, B), lambda: m.bootstrap_bca_ci(X, "std", B),
             lambda: m.bayesian_bootstrap_ci(X, "median", B), lambda: m.moving_block_bootstrap_mean_ci(X, 3, B),
             lambda: m.circular_block_bootstrap_mean_ci(X, 3, B), lambda: m.stationary_bootstrap_mean_ci(X, 3, B),
             lambda: m.permutation_corr_test(X, Y, B), lambda: m.permutation_mean_diff_test(X, Y, B),
             lambda: m.jackknife_after_bootstrap_se_mean(X, B)]
    for call in calls:
        with pytest.raises(MemoryError):
            call()


def test_huge_block_length():
    for L in (2**63, 2**64 - 1):
        assert same(m.moving_block_bootstrap_mean_ci(SMALL, L, 20, 0.9, 2), model_block(SMALL, L, 20, 0.9, 2, "moving"))
        assert same(m.circular_block_bootstrap_mean_ci(SMALL, L, 20), model_block(SMALL, L, 20, 0.95, 0, "circular"))
        assert same(m.stationary_bootstrap_mean_ci(SMALL, L, 20), model_block(SMALL, L, 20, 0.95, 0, "stationary"))
    assert same(m.delete_d_jackknife_mean(SMALL, 2**64 - 1), NAN3)


# ------------------------------------------------ independence of the pool

PARALLEL_SCRIPT = r"""
import sys, numpy as np
from marlox_stats import marlox_stats_rs as m
x = np.random.default_rng(3).standard_normal(3001)
y = x * 0.5 + np.random.default_rng(4).standard_normal(3001)
out = [m.bootstrap_t_ci_mean(x, 2001, 0.9, 5)]
out += [m.bootstrap_bca_ci(x, s, 2001, 0.9, 6) for s in ("mean", "median", "std")]
out += [m.bayesian_bootstrap_ci(x[:500], s, 2001, 0.9, 7) for s in ("mean", "median", "std")]
out += [m.permutation_corr_test(x, y, 2001, "two-sided", 8), m.permutation_mean_diff_test(x, y[:999], 2001, "less", 8)]
out += [(m.jackknife_after_bootstrap_se_mean(x[:400], 300, 9),)]
result = np.concatenate([np.asarray(v, dtype=float) for v in out]).tobytes().hex()
"""


def test_results_independent_of_worker_count():
    def run(threads):
        env = dict(os.environ)
        env.pop("OMP_NUM_THREADS", None)
        if threads is not None:
            env["OMP_NUM_THREADS"] = str(threads)
        return subprocess.run([sys.executable, "-c", PARALLEL_SCRIPT + "sys.stdout.write(result)\n"], env=env,
                              check=True, capture_output=True, text=True).stdout

    ns = {}
    exec(PARALLEL_SCRIPT, ns)
    assert run(1) == ns["result"] and run(3) == ns["result"] and run(None) == ns["result"]


# ------------------------------------------------- statistical agreement


def test_agrees_with_scipy():
    stats = pytest.importorskip("scipy.stats")
    x = np.random.default_rng(21).exponential(size=150)
    sample_std = lambda v, axis=-1: np.std(v, ddof=1, axis=axis)  # noqa: E731
    for stat, fn, noise in (("mean", np.mean, 1), ("median", np.median, 2.5), ("std", sample_std, 1)):
        res = stats.bootstrap((x,), fn, n_resamples=20000, method="BCa", confidence_level=0.95,
                              random_state=np.random.default_rng(1))
        _, lo, hi = m.bootstrap_bca_ci(x, stat, 20000, 0.95, 1)
        # Two independent sets of 20000 replicates put a 2.5% quantile about
        # 0.03 standard errors apart (more for the lumpy median); levels read
        # through a wrong CDF move the ends by 0.15 to 0.3.
        tol = 0.08 * noise * res.standard_error
        assert abs(lo - res.confidence_interval.low) < tol and abs(hi - res.confidence_interval.high) < tol
    y = x + np.random.default_rng(2).normal(0.1, 1, 150)
    ref = stats.permutation_test((x, y), lambda a, b, axis=-1: np.mean(a, axis=axis) - np.mean(b, axis=axis),
                                 n_resamples=20000, random_state=np.random.default_rng(3))
    d, p = m.permutation_mean_diff_test(x, y, 20000)
    assert d == pytest.approx(ref.statistic, rel=1e-12) and abs(p - ref.pvalue) < 0.02


def test_nan_conf_reads_smallest_replicate():
    got = m.bayesian_bootstrap_ci(X, "mean", 50, NAN, 3)
    assert got[1] == got[2] and same(got, model_bayes(X, "mean", 50, NAN, 3))
    assert same(m.bootstrap_t_ci_mean(X, 50, NAN, 3), model_t(X, 50, NAN, 3))
    assert same(m.stationary_bootstrap_mean_ci(X, 3, 50, NAN), model_block(X, 3, 50, NAN, 0, "stationary"))
