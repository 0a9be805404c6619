import math
import sys
from fractions import Fraction

import numpy as np
import pytest

from reference import clamp_corr, close_scaled, first_finite, messy, same, share
from marlox_stats import marlox_stats_rs as m

NAN = math.nan
INF = math.inf
PLAIN = ["rolling_cov_np", "rolling_corr_np"]
AWARE = ["rolling_cov_nan_np", "rolling_corr_nan_np", "rolling_cov_skipna", "rolling_corr_skipna",
         "rolling_beta_skipna", "rolling_linreg_skipna"]


def arr(*v):
    return np.array(v, dtype=np.float64)


def walk(x, y, w, usable_only):
    """(c, Sx, Sy, Sxx, Syy, Sxy, sx, sy) per full window in the documented
    order: the plain family slides by differences, the NaN-aware one removes the
    leaving usable pair and adds the entering one; the shifts are the first
    finite value of each side among the pairs that enter. A window left without
    non-finite values (usable ones, for the NaN-aware family) whose sums are not
    finite is summed afresh; then, with two or more pairs, when either side's
    c*Sqq - Sq^2 falls below c*share*(largest Sqq since the last build), the
    sums start again around the window's first pair."""
    x = [float(v) for v in x]
    y = [float(v) for v in y]
    use = [not usable_only or not (math.isnan(a) or math.isnan(b)) for a, b in zip(x, y)]
    flag = [u and not (math.isfinite(a) and math.isfinite(b)) for u, a, b in zip(use, x, y)]
    sx = first_finite([a for a, u in zip(x, use) if u])
    sy = first_finite([b for b, u in zip(y, use) if u])

    def fresh(k):
        S = [0.0] * 5
        for i in range(k, k + w):
            if use[i]:
                dx, dy = x[i] - sx, y[i] - sy
                S = [S[0] + dx, S[1] + dy, S[2] + dx * dx, S[3] + dy * dy, S[4] + dx * dy]
        return S

    def lost(K, S1, S2, peak):
        return K * S2 - S1 * S1 < K * share(w) * peak

    S = fresh(0)
    pxx, pyy = S[2], S[3]
    c = sum(use[:w])
    out = [(c, *S, sx, sy)]
    for k in range(1, len(x) - w + 1):
        o, i = k - 1, k + w - 1
        dxo, dyo, dxn, dyn = x[o] - sx, y[o] - sy, x[i] - sx, y[i] - sy
        if usable_only:
            if use[o]:
                S = [S[0] - dxo, S[1] - dyo, S[2] - dxo * dxo, S[3] - dyo * dyo, S[4] - dxo * dyo]
                c -= 1
            if use[i]:
                S = [S[0] + dxn, S[1] + dyn, S[2] + dxn * dxn, S[3] + dyn * dyn, S[4] + dxn * dyn]
                c += 1
        else:
            S = [S[0] + (dxn - dxo), S[1] + (dyn - dyo), S[2] + (dxn * dxn - dxo * dxo),
                 S[3] + (dyn * dyn - dyo * dyo), S[4] + (dxn * dyn - dxo * dyo)]
        pxx, pyy = (S[2] if S[2] > pxx else pxx), (S[3] if S[3] > pyy else pyy)
        if not any(flag[k:k + w]):
            if not all(math.isfinite(v) for v in S):
                S = fresh(k)
                pxx, pyy = S[2], S[3]
            if c >= 2 and (lost(float(c), S[0], S[2], pxx) or lost(float(c), S[1], S[3], pyy)):
                f = next(q for q in range(k, k + w) if use[q])
                sx, sy = x[f], y[f]
                S = fresh(k)
                pxx, pyy = S[2], S[3]
        out.append((c, *S, sx, sy))
    return out


def ref_plain(x, y, w):
    W = float(w)
    cov, corr = [], []
    for _, Sx, Sy, Sxx, Syy, Sxy, _, _ in walk(x, y, w, False):
        mx, my = Sx / W, Sy / W
        cov.append((Sxy - my * (mx * W)) / (W - 1) if w > 1 else NAN)
        vx = (Sxx - mx * (mx * W)) / (W - 1) if w > 1 else NAN
        vy = (Syy - my * (my * W)) / (W - 1) if w > 1 else NAN
        vx = 0.0 if math.isnan(vx) else max(vx, 0.0)
        vy = 0.0 if math.isnan(vy) else max(vy, 0.0)
        den = math.sqrt(vx) * math.sqrt(vy)
        corr.append(NAN if den == 0 or math.isnan(den) else clamp_corr(((Sxy - (mx * W) * my) / (W - 1)) / den))
    return cov, corr


def ref_aware(x, y, w):
    cov, corr, beta, icpt = [], [], [], []
    for c, Sx, Sy, Sxx, Syy, Sxy, sx, sy in walk(x, y, w, True):
        K = float(c)
        full = c == w and w >= 2
        cov.append((Sxy - (Sx * Sy) / K) / (K - 1) if full else NAN)
        r = NAN
        if full:
            vy = (Syy - (Sy * Sy) / K) / (K - 1)
            vx = (Sxx - (Sx * Sx) / K) / (K - 1)
            cxy = (Sxy - (Sx * Sy) / K) / (K - 1)
            if math.isfinite(vx) and vx > 0 and math.isfinite(vy) and vy > 0 and math.isfinite(cxy):
                p = vx * vy  # kept whenever it is a normal number
                r = clamp_corr(cxy / (math.sqrt(p) if p == 0 or sys.float_info.min <= p < INF
                                 else math.sqrt(vx) * math.sqrt(vy)))
        corr.append(r)
        b = a = NAN
        if c >= 2:
            vx = (Sxx - (Sx * Sx) / K) / (K - 1)
            if math.isfinite(vx) and vx > 0:
                b = ((Sxy - (Sx * Sy) / K) / (K - 1)) / vx
                a = (sy + (Sy / K - (Sx / K) * b)) - sx * b
        beta.append(b)
        icpt.append(a)
    return cov, corr, beta, icpt


def check(x, y, w):
    cov, corr = ref_plain(x, y, w)
    assert same(m.rolling_cov_np(x, y, w), cov)
    assert same(m.rolling_corr_np(x, y, w), corr)
    cov, corr, beta, icpt = ref_aware(x, y, w)
    assert same(m.rolling_cov_nan_np(x, y, w), cov) and same(m.rolling_cov_skipna(x, y, w), cov)
    assert same(m.rolling_corr_nan_np(x, y, w), corr) and same(m.rolling_corr_skipna(x, y, w), corr)
    assert same(m.rolling_beta_skipna(x, y, w), beta)
    s, a = m.rolling_linreg_skipna(x, y, w)
    assert same(s, beta) and same(a, icpt)


def test_documented_examples():
    x, y = arr(1, 2, 3, 4), arr(2, 4, 6, 8)
    assert m.rolling_cov_np(x, y, 2).tolist() == [1.0] * 3
    assert m.rolling_corr_np(x, y, 2).tolist() == [0.9999999999999998] * 3
    assert m.rolling_corr_nan_np(x, y, 2).tolist() == [1.0] * 3
    assert m.rolling_corr_np(x, y[::-1].copy(), 2).tolist() == [-0.9999999999999998] * 3
    x3 = arr(1, 2, NAN, 4)
    assert m.rolling_beta_skipna(x3, y, 3).tolist() == [2.0, 2.0]
    s, a = m.rolling_linreg_skipna(x3, y, 3)
    assert s.tolist() == [2.0, 2.0] and a.tolist() == [0.0, 0.0]
    assert np.isnan(m.rolling_cov_nan_np(x3, y, 3)).all()
    check(x, y, 2)
    check(x3, y, 3)


def test_nan_pair_spoils_only_its_windows():
    x, y = arr(1, NAN, 3, 4, 5), arr(1, 2, 3, 4, 5)
    for f in ("rolling_cov_nan_np", "rolling_cov_skipna"):
        assert same(getattr(m, f)(x, y, 2), [NAN, NAN, 0.5, 0.5])
    # the plain form, too, gives windows after the NaN their own value
    assert same(m.rolling_cov_np(x, y, 2), [NAN, NAN, 0.5, 0.5])
    check(x, y, 2)


@pytest.mark.parametrize("f", ["rolling_corr_np", "rolling_corr_nan_np", "rolling_corr_skipna"])
def test_constant_side_has_no_correlation(f):
    assert np.isnan(getattr(m, f)(arr(1, 2, 3, 4, 5), np.full(5, 3.0), 3)).all()
    assert np.isnan(getattr(m, f)(np.full(5, 3.0), arr(1, 2, 3, 4, 5), 3)).all()


def test_window_one():
    x, y = arr(1, 2, 3), arr(3, 1, 2)
    for f in ["rolling_cov_nan_np", "rolling_corr_nan_np", "rolling_beta_skipna"]:
        assert np.isnan(getattr(m, f)(x, y, 1)).all()
    s, a = m.rolling_linreg_skipna(x, y, 1)
    assert np.isnan(s).all() and np.isnan(a).all()
    check(x, y, 1)


@pytest.mark.parametrize("n,w,offset", [(60, 5, 0.0), (80, 13, 1e8), (30, 30, -5.0), (41, 2, 3.0),
                                        (400, 7, 1e6), (330, 64, 0.0)])
def test_matches_documented_order(n, w, offset):
    rng = np.random.default_rng(n + w)
    x = offset + rng.standard_normal(n)
    y = 0.5 * x + rng.standard_normal(n)
    check(x, y, w)
    x[rng.random(n) < 0.1] = NAN
    y[rng.random(n) < 0.1] = NAN
    check(x, y, w)
    # a large value and an infinity that come and go, deep into long series
    x[n // 3], y[n // 2] = 3e12, INF
    check(x, y, w)


def test_infinities_and_overflow():
    x = arr(1, 2, INF, 4, 5, 7, 6, 9, -INF, 1, 2, 4)
    y = arr(2, 1, 3, NAN, 5, 8, 6, 3, 2, 2, 1, 0)
    for w in (2, 3, 4):
        check(x, y, w)
        # the windows past both infinities have their own values
        assert np.isfinite(m.rolling_beta_skipna(x, y, w)[9:]).all()
    # squares would overflow: the windows that held the large values, and the ones after them
    x, y = arr(1e200, -1e200, 1, 2, 3, 5), arr(1, 2, 3, 4, 6, 5)
    check_exact_pairs(x, y, 2, range(2, 5))
    np.testing.assert_allclose(m.rolling_cov_np(x, y, 2)[:2], [-1e200, 5e199], rtol=1e-14)
    np.testing.assert_allclose(m.rolling_beta_skipna(x, y, 2)[:2], [-5e-201, 1e-200], rtol=1e-14)
    check(arr(NAN, INF, 2, 3, 1), arr(NAN, 1, 2, 4, 3), 2)  # shifts skip non-finite values


def test_degenerate_slope():
    # every usable x equal: no slope; one usable pair: none either
    x, y = arr(2, 2, NAN, 2, 5), arr(1, 2, 3, 4, 5)
    out = m.rolling_beta_skipna(x, y, 3)
    assert np.isnan(out[:2]).all() and out[2] == pytest.approx(1 / 3, abs=1e-15)
    assert same(m.rolling_beta_skipna(arr(1, NAN, NAN, 4), arr(1, 2, 3, 4), 3), [NAN, NAN])
    check(x, y, 3)


def test_errors_and_empty_results():
    x4, x5 = np.ones(4), np.ones(5)
    for f in PLAIN + AWARE:
        fn = getattr(m, f)
        msg = "x and y must have the same length" if f in PLAIN else "length mismatch"
        with pytest.raises(ValueError, match=f"^{msg}$"):
            fn(x4, x5, 2)
        with pytest.raises(ValueError, match=f"^{msg}$"):
            fn(x4, x5, 0)  # lengths come before the window
        with pytest.raises(ValueError, match="^window must be >= 1$"):
            fn(x4, x4, 0)
        with pytest.raises(TypeError, match="^The given array is not contiguous$"):
            fn(np.ones(8)[::2], x5, 0)
        with pytest.raises(TypeError, match="^The given array is not contiguous$"):
            fn(x4, np.ones(10)[::2], 0)
        res = fn(x4, x4, 5)
        for r in res if f == "rolling_linreg_skipna" else (res,):
            assert r.shape == (0,) and r.dtype == np.float64
        assert isinstance(res, tuple) == (f == "rolling_linreg_skipna")
        assert fn.__doc__ is None or fn.__doc__.strip() == ""


def test_inputs_unchanged():
    rng = np.random.default_rng(9)
    x, y = rng.standard_normal(50), rng.standard_normal(50)
    x[3] = NAN
    cx, cy = x.copy(), y.copy()
    for f in PLAIN + AWARE:
        getattr(m, f)(x, y, 6)
    assert same(x, cx) and same(y, cy)


# ---------------------------------------------------------------- exact windows
# The running sums of pairs against each window's exact statistics
# (fractions), over the pairs each function uses.


def exact_pairs(xw, yw):
    """(mx, my, vx, vy, cxy) of the pairs, as fractions; None below two pairs."""
    fx = [Fraction(float(a)) for a in xw]
    fy = [Fraction(float(b)) for b in yw]
    n = len(fx)
    if n < 2:
        return None
    mx, my = sum(fx) / n, sum(fy) / n
    vx = sum((a - mx) ** 2 for a in fx) / (n - 1)
    vy = sum((b - my) ** 2 for b in fy) / (n - 1)
    cxy = sum((a - mx) * (b - my) for a, b in zip(fx, fy)) / (n - 1)
    return mx, my, vx, vy, cxy


def check_exact_pairs(x, y, w, windows=None):
    """Covariance within 1e-12 of sqrt(vx * vy), correlation within 1e-12, the
    slope within 1e-12 of |b| + sqrt(vy / vx) and the intercept of the
    magnitudes it is formed from; no correlation or slope without spread."""
    got = {f: getattr(m, f)(x, y, w) for f in PLAIN + AWARE[:-1]}
    slope, got["intercept"] = m.rolling_linreg_skipna(x, y, w)
    assert same(slope, got["rolling_beta_skipna"])
    for k in windows if windows is not None else range(len(x) - w + 1):
        xw, yw = x[k:k + w], y[k:k + w]
        ok = ~(np.isnan(xw) | np.isnan(yw))
        full = exact_pairs(xw, yw) if ok.all() else None
        used = exact_pairs(xw[ok], yw[ok])
        for f, g in ((f, got[f][k]) for f in got):
            e = used if f in ("rolling_beta_skipna", "intercept") else full
            if e is None:
                if f not in PLAIN:  # the plain family lets a NaN through
                    assert np.isnan(g), (f, k)
                continue
            mx, my, vx, vy, cxy = e
            if "cov" in f:
                good = abs(g - float(cxy)) <= 1e-12 * math.sqrt(float(vx * vy))
            elif vx == 0 or ("corr" in f and vy == 0):
                good = np.isnan(g)
            elif "corr" in f:
                good = abs(g - float(cxy) / math.sqrt(float(vx)) / math.sqrt(float(vy))) <= 1e-12
            else:
                b = cxy / vx
                spread = math.sqrt(float(vy / vx))
                if f == "intercept":
                    a = my - b * mx
                    good = abs(g - float(a)) <= 1e-12 * (abs(float(a)) + abs(float(my)) +
                                                         (abs(float(b)) + spread) * abs(float(mx)))
                else:
                    good = abs(g - float(b)) <= 1e-12 * (abs(float(b)) + spread)
            assert good, (f, w, k, list(xw), list(yw), g)


def test_large_value_that_left_spoils_no_later_window():
    x, y = arr(1, 2, 3, 1e10, 1, 2, 3, 4, 5), arr(1, 2, 3, 0.5, 1, 2, 3, 4, 5)
    for a, b in ((x, x), (x, y), (y, x), (0.1 * x, np.sqrt(y))):
        check_exact_pairs(a, b, 3, [4, 5, 6])
    assert same(m.rolling_cov_np(x, x, 3)[-3:], [1.0] * 3)
    assert same(m.rolling_beta_skipna(x, y, 3)[-3:], [1.0] * 3)
    check_exact_pairs(arr(3, 1, 4, -2e11, 5, 9, 2, 6, 5, 3), arr(2, 7, 1, 8, 2, 8, 1, 8, 2, 8), 2, range(4, 9))


def test_shift_far_from_the_window_is_moved():
    # plain sums shift by each side's first value, the NaN-skipping ones by
    # the first pair they use; either may lie far from later windows
    x = arr(0, NAN, 5, 1e9 + 1, 1e9 + 2, 1e9 + 3, 1e9 + 5, 1e9 + 4)
    y = arr(NAN, 0, 6, 1e9 + 1, 1e9 + 2, 1e9 + 4, 1e9 + 3, 1e9 + 3)
    check_exact_pairs(x, y, 3)
    assert same(m.rolling_cov_nan_np(x, y, 3)[3:], [1.5, 0.5, -0.5])
    t = np.arange(60.0)
    check_exact_pairs(np.where(t < 20, 0.0, 1e12) + np.sin(t), np.where(t < 30, -3e8, 4e9) + np.cos(t), 6)


def test_one_pair_has_no_sample_covariance():
    x, y = arr(1, 2.5, 1e10, 0.1, -3), arr(4, 0.3, 7, 7, 1e-9)
    for f in PLAIN + AWARE[:-1]:
        assert np.isnan(getattr(m, f)(x, y, 1)).all(), f
    assert all(np.isnan(a).all() for a in m.rolling_linreg_skipna(x, y, 1))


@pytest.mark.parametrize("k", [2.0 ** 400, 2.0 ** -400, 1e150, 1e-150])
def test_correlation_of_scaled_data(k):
    rng = np.random.default_rng(3)
    x = rng.standard_normal(40)
    y = 0.4 * x + rng.standard_normal(40)
    for f in (m.rolling_corr_np, m.rolling_corr_nan_np, m.rolling_corr_skipna, m.rolling_correlation):
        np.testing.assert_allclose(f(k * x, k * y, 7), f(x, y, 7), rtol=1e-12, atol=0)


@pytest.mark.parametrize("kx, ky", [(510, 510), (-540, -540), (1000, -300), (-1060, 0), (600, -1000)])
def test_series_far_from_one_agree_with_pandas_scaled(kx, ky):
    # Each series read in its own unit: against pandas on the series as read,
    # scaled back exactly by the powers of x's and y's units each output carries.
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(kx % 7)
    x0 = rng.standard_normal(500)
    x, y = np.ldexp(x0, kx), np.ldexp(0.4 * x0 + rng.standard_normal(500), ky)
    x[[50, 51]] = NAN
    sx, sy = pd.Series(np.ldexp(x, -kx)), pd.Series(np.ldexp(y, -ky))
    for w in (2, 9):
        r = lambda s: s.rolling(w)
        cov, corr = r(sx).cov(sy)[w - 1:], r(sx).corr(sy)[w - 1:]
        beta = cov / r(sx).var()[w - 1:]
        icpt = r(sy).mean()[w - 1:] - beta * r(sx).mean()[w - 1:]
        slope, intercept = m.rolling_linreg_skipna(x, y, w)
        for got, want, e in ((m.rolling_cov_nan_np(x, y, w), cov, kx + ky), (m.rolling_corr_nan_np(x, y, w), corr, 0),
                             (m.rolling_cov_np(x, y, w), cov, kx + ky), (m.rolling_corr_np(x, y, w), corr, 0)):
            close_scaled(got, want, e, rtol=1e-8, atol=1e-11)
        # the slope keeps the windows that hold a NaN pair; pandas' does not
        held = np.isnan(cov)
        for got, want, e in ((m.rolling_beta_skipna(x, y, w), beta, ky - kx), (slope, beta, ky - kx),
                             (intercept, icpt, ky)):
            close_scaled(np.where(held, NAN, got), want, e, rtol=1e-8, atol=1e-11)


@pytest.mark.parametrize("w", [2, 3, 5, 8, 17])
@pytest.mark.parametrize("seed", range(6))
def test_running_sums_match_exact_windows(w, seed):
    x = messy(90, seed * 7 + w)
    y = messy(90, seed * 7 + w + 100, scale=[1.0, 1e-3, 250.0][seed % 3]) + 0.3 * x
    check_exact_pairs(x, y, w)
    rng = np.random.default_rng(seed)
    x[rng.random(90) < 0.1] = NAN
    y[rng.random(90) < 0.1] = NAN
    check_exact_pairs(x, y, w)
