import math
from fractions import Fraction

import numpy as np
import pytest

from reference import clamp_corr, first_finite, outputs_by_thread_count, same
from marlox_stats import marlox_stats_rs as m

NAN = math.nan
INF = math.inf
TYPE_MSG = "expected a 2D NumPy array of dtype float32 or float64"


def arr(*v):
    return np.array(v, dtype=np.float64)


# ------------------------------------------------ references: literal arithmetic order


def ref_pair(x, y, skip, corr):
    n = len(x)
    if not skip and n < 2:
        return NAN
    # shifts: each series' first finite value among the pairs used
    used = [(a, b) for a, b in zip(x.tolist(), y.tolist()) if not (skip and (math.isnan(a) or math.isnan(b)))]
    sx_, sy_ = first_finite([a for a, _ in used]), first_finite([b for _, b in used])
    c = sx = sy = sxy = sxx = syy = 0.0
    for a, b in zip(x.tolist(), y.tolist()):
        if math.isnan(a) or math.isnan(b):
            if skip:
                continue
            return NAN
        dx, dy = a - sx_, b - sy_
        c += 1.0
        sx += dx
        sy += dy
        sxy += dx * dy
        sxx += dx * dx
        syy += dy * dy
    if c < 2:
        return NAN
    cxy = (sxy - sx * sy / c) / (c - 1)
    if not corr:
        return cxy
    vx = (sxx - sx * sx / c) / (c - 1)
    vy = (syy - sy * sy / c) / (c - 1)
    if not (math.isfinite(vx) and vx > 0 and math.isfinite(vy) and vy > 0 and math.isfinite(cxy)):
        return NAN
    return clamp_corr(cxy / math.sqrt(vx * vy))


# Sums below run down the rows with a running sum (np.add.accumulate adds
# one row after another): each entry adds its terms in row order from +0.0,
# with separate multiply and add.


def row_order_sum(start, terms):
    return np.add.accumulate(np.concatenate([start[None], terms]), axis=0)[-1]


@np.errstate(all="ignore")
def col_sums(x, f=lambda v: v):
    return row_order_sum(np.zeros(x.shape[1]), f(x))


@np.errstate(all="ignore")
def ref_pair_sums(z, term):
    p = z.shape[1]
    s = np.zeros((p, p))
    step = max(1, 2_000_000 // max(p * p, 1))
    for r in range(0, z.shape[0], step):
        rows = z[r:r + step]
        s = row_order_sum(s, term(rows[:, :, None], rows[:, None, :]))
    return s


def mirrored(u):
    """The upper triangle of u copied below the diagonal."""
    u = u.copy()
    low = np.tril_indices(u.shape[0], -1)
    u[low] = u.T[low]
    return u


def ref_gram(z, div=None):
    s = ref_pair_sums(z, lambda a, b: a * b)
    return mirrored(s if div is None else s / div)


@np.errstate(all="ignore")
def ref_cov(x, bias=False):
    n = x.shape[0]
    return ref_gram(x - col_sums(x) * (1.0 / n), float(n if bias else n - 1))


def ref_cov_skipna(x):
    n, p = x.shape
    out = np.zeros((p, p))
    for i in range(p):
        for j in range(i, p):
            rows = [r for r in range(n) if math.isfinite(x[r, i]) and math.isfinite(x[r, j])]
            # shifts: the pair's values in its first complete row
            shi, shj = (float(x[rows[0], i]), float(x[rows[0], j])) if rows else (0.0, 0.0)
            c = sa = sb = sab = 0.0
            for r in rows:
                a, b = float(x[r, i]) - shi, float(x[r, j]) - shj
                c += 1
                sa += a
                sb += b
                sab += a * b
            out[i, j] = out[j, i] = NAN if c < 2 else (sab - (sb * sa) / c) / (c - 1)
    return out


def ref_corr_skipna(x):
    """Each entry the correlation of its two columns over the rows where both
    are finite; the diagonal 1.0 where such a column has a positive variance."""
    p = x.shape[1]
    out = np.zeros((p, p))
    for i in range(p):
        for j in range(i, p):
            rows = np.isfinite(x[:, i]) & np.isfinite(x[:, j])
            a, b = x[rows, i], x[rows, j]
            out[i, j] = out[j, i] = ref_pair(a, b, True, True)
        a = x[np.isfinite(x[:, i]), i]
        v = ref_pair(a, a, True, False)
        out[i, i] = 1.0 if math.isfinite(v) and v > 0 else NAN
    return out


def ref_corr_from_cov(c):
    p = c.shape[0]
    sd = [math.sqrt(c[i, i]) if math.isfinite(c[i, i]) and c[i, i] > 0 else NAN for i in range(p)]
    out = np.zeros((p, p))
    for i in range(p):
        for j in range(i, p):
            d = sd[i] * sd[j]
            out[i, j] = out[j, i] = NAN if d == 0 or math.isnan(d) else clamp_corr(c[i, j] / d)
        out[i, i] = NAN if math.isnan(sd[i]) or sd[i] == 0 else 1.0
    return out


def ref_corr_distance(x):
    r = ref_corr_from_cov(ref_cov(x))
    out = np.where(np.isnan(r), NAN, 1.0 - r)
    np.fill_diagonal(out, np.where(np.isnan(np.diag(r)), NAN, 0.0))
    return out


def ref_euclid(x):
    out = mirrored(np.sqrt(ref_pair_sums(x, lambda a, b: (a - b) * (a - b))))
    np.fill_diagonal(out, 0.0)
    return out


@np.errstate(all="ignore")
def ref_cosine(x):
    norm = np.sqrt(col_sums(x, lambda v: v * v))
    d = norm[:, None] * norm[None, :]
    out = mirrored(np.where((d == 0) | np.isnan(d), NAN, 1.0 - ref_gram(x) / d))
    # equal columns are at distance 0, as a column is from itself
    equal = (x[:, :, None] == x[:, None, :]).all(axis=0) & ~np.isnan(out)
    out[equal] = 0.0
    np.fill_diagonal(out, np.where(norm == 0, NAN, 0.0))
    return out


REFS = {
    "cov_matrix_np": ref_cov,
    "cov_matrix_bias_np": lambda x: ref_cov(x, bias=True),
    "cov_matrix_centered_np": lambda x: ref_gram(x, float(x.shape[0] - 1)),
    "cov_matrix_skipna_np": ref_cov_skipna,
    "xtx_matrix_np": ref_gram,
    "xxt_matrix_np": lambda x: ref_gram(np.ascontiguousarray(x.T)),
    "pairwise_euclidean_cols_np": ref_euclid,
    "pairwise_cosine_cols_np": ref_cosine,
    "corr_matrix_np": lambda x: ref_corr_from_cov(ref_cov(x)),
    "corr_matrix_skipna_np": ref_corr_skipna,
    "corr_distance_np": ref_corr_distance,
}
MATRIX = list(REFS)


def sample(n, p, seed, offset=0.0, nan=0.0, inf=0.0):
    rng = np.random.default_rng(seed)
    x = offset + rng.standard_normal((n, p))
    x[rng.random((n, p)) < nan] = NAN
    x[rng.random((n, p)) < inf] = INF
    x[rng.random((n, p)) < inf / 2] = -INF
    return x


# ---------------------------------------------------------------- two series

PAIR = {"cov_np": (False, False), "corr_np": (False, True), "cov_nan_np": (True, False),
        "cov_skipna": (True, False), "corr_nan_np": (True, True), "corr_skipna": (True, True)}


@pytest.mark.parametrize("name", PAIR)
@pytest.mark.parametrize("seed,n,offset,nan,inf", [(1, 2, 0, 0, 0), (2, 40, 1e6, 0, 0), (3, 60, -3.0, 0.2, 0),
                                                   (4, 30, 0, 0.1, 0.05), (5, 9, 0, 0.6, 0)])
def test_pair_matches_literal_order(name, seed, n, offset, nan, inf):
    rng = np.random.default_rng(seed)
    x = offset + rng.standard_normal(n)
    y = 0.5 * x + rng.standard_normal(n)
    for v in (x, y):
        v[rng.random(n) < nan] = NAN
        v[rng.random(n) < inf] = INF
    xc, yc = x.copy(), y.copy()
    assert same(getattr(m, name)(x, y), ref_pair(x, y, *PAIR[name]))
    assert same(x, xc) and same(y, yc)


@pytest.mark.parametrize("name", PAIR)
def test_pair_degenerate(name):
    assert math.isnan(getattr(m, name)(arr(), arr()))
    assert math.isnan(getattr(m, name)(arr(1.0), arr(2.0)))
    # a constant series: its shifted deviations are exactly 0
    assert math.isnan(getattr(m, name)(arr(3.3, 3.3, 3.3), arr(1, 2, 4))) == PAIR[name][1]


def test_pair_examples():
    big = arr(1e9 + 1, 1e9 + 2, 1e9 + 3)
    assert m.cov_np(big, big) == 1.0
    x, y = arr(1, NAN, 3), arr(1, 2, 3)
    assert math.isnan(m.cov_np(x, y))
    assert m.cov_nan_np(x, y) == 2.0 and m.cov_skipna(x, y) == 2.0
    # pairs (1, 3) and (2, 4); the shifts come from the first of them, not
    # from the skipped positions holding 5 and 7
    x, y = arr(5, NAN, 1, 2), arr(NAN, 7, 3, 4)
    sa, sb, sab = (1 - 1) + (2 - 1), (3 - 3) + (4 - 3), (1 - 1) * (3 - 3) + (2 - 1) * (4 - 3)
    assert m.cov_nan_np(x, y) == (sab - sa * sb / 2) / 1 == 0.5
    lin = np.arange(50.0) * 0.1 + 3.0
    assert 0.999999 < m.corr_np(lin, 2 * lin + 1) <= 1.0
    assert -1.0 <= m.corr_np(lin, -3 * lin) < -0.999999
    # an infinite value is used, not skipped
    x, y = arr(1, INF, 3, 4), arr(1, 2, 3, 5)
    for f in (m.corr_np, m.corr_nan_np):
        assert math.isnan(f(x, y))
    assert not math.isfinite(m.cov_np(x, y))


@pytest.mark.parametrize("name", PAIR)
def test_pair_errors(name):
    f = getattr(m, name)
    msg = "x and y must have the same length" if name in ("cov_np", "corr_np") else "length mismatch"
    with pytest.raises(ValueError, match=f"^{msg}$"):
        f(arr(1, 2, 3), arr(1, 2))
    strided = np.arange(8.0)[::2]
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        f(strided, arr(1, 2, 3))  # contiguity before lengths
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        f(arr(1, 2, 3, 4), strided)


# ---------------------------------------------------------------- matrices


@pytest.mark.parametrize("name", MATRIX)
@pytest.mark.parametrize("shape,seed,offset,nan,inf", [((7, 5), 1, 0.0, 0, 0), ((12, 3), 2, 1e4, 0, 0),
                                                       ((9, 6), 3, 0.0, 0.1, 0), ((8, 4), 4, 0.0, 0.08, 0.08),
                                                       ((2, 1), 5, 0.0, 0, 0), ((3, 520), 6, 0.0, 0.05, 0)])
def test_matrix_matches_literal_order(name, shape, seed, offset, nan, inf):
    x = sample(*shape, seed, offset, nan, inf)
    keep = x.copy()
    assert same(getattr(m, name)(x), REFS[name](x))
    assert same(x, keep)


@pytest.mark.parametrize("name", [k for k in MATRIX if "skipna" not in k])
@pytest.mark.parametrize("shape,seed,nan", [((400, 131), 11, 0.0), ((150, 530), 12, 0.0), ((301, 61), 13, 0.001),
                                            ((13, 1), 14, 0.0), ((2, 25), 15, 0.0), ((180_000, 3), 16, 0.0)])
def test_blocked_sums_keep_row_order(name, shape, seed, nan):
    # sizes that end tiles, panels and blocks of rows part-way, with and
    # without NaN, and a long operand (the row Gram matrix gets it transposed)
    x = sample(*shape, seed, 100.0, nan)
    if name == "xxt_matrix_np" and x.shape[0] > 10_000:
        x = np.ascontiguousarray(x.T)
    assert same(getattr(m, name)(x), REFS[name](x))


def _frame(x):
    pd = pytest.importorskip("pandas")
    return pd.DataFrame(x)


def _cdist(x, metric):
    from scipy.spatial.distance import cdist
    return cdist(x.T, x.T, metric)


# each matrix function's peer on unscaled data, and the power of the data's
# unit its entries carry
PEERS = {
    "cov_matrix_np": (lambda x: np.cov(x, rowvar=False), 2),
    "cov_matrix_bias_np": (lambda x: np.cov(x, rowvar=False, bias=True), 2),
    "cov_matrix_centered_np": (lambda x: x.T @ x / (len(x) - 1), 2),
    "cov_matrix_skipna_np": (lambda x: _frame(x).cov().to_numpy(), 2),
    "xtx_matrix_np": (lambda x: x.T @ x, 2),
    "xxt_matrix_np": (lambda x: x @ x.T, 2),
    "pairwise_euclidean_cols_np": (lambda x: _cdist(x, "euclidean"), 1),
    "pairwise_cosine_cols_np": (lambda x: _cdist(x, "cosine"), 0),
    "corr_matrix_np": (lambda x: np.corrcoef(x, rowvar=False), 0),
    "corr_matrix_skipna_np": (lambda x: _frame(x).corr().to_numpy(), 0),
    "corr_distance_np": (lambda x: 1.0 - np.corrcoef(x, rowvar=False), 0),
}
# far from 1: sums of squares overflow, or products go subnormal
FAR = [-1010, -600, -530, -515, 509, 515, 600]
TINY = np.finfo(float).tiny


@pytest.mark.parametrize("name", MATRIX)
@pytest.mark.parametrize("k", [0] + FAR)
def test_matrix_close_to_peers_and_symmetric(name, k):
    # data x 2^k read in their unit: the peer's entries on x, times 2^(k p),
    # and exactly the unscaled entries times 2^(k p) where that is normal
    x = sample(200 if k else 40, 4 if k else 6, 9)
    if "skipna" in name:
        x[np.random.default_rng(k % 7).random(x.shape) < 0.05] = NAN
    if k == -1010:  # subnormal data: compare with the values as read
        x = np.ldexp(np.ldexp(x, k), -k)
    peer, p = PEERS[name]
    f = getattr(m, name)
    for v in (np.ldexp(x, k), np.asfortranarray(np.ldexp(x, k))):
        r = f(v)
        assert same(r, r.T)
        with np.errstate(over="ignore"):
            want, exact = np.ldexp(peer(x), k * p), np.ldexp(f(x), k * p)
        np.testing.assert_allclose(r, want, rtol=1e-12, atol=1e-12 if p == 0 else 2 * 2.0**-1074)
        normal = np.isnan(exact) | (np.abs(exact) >= TINY) | (exact == 0)
        assert same(r[normal], exact[normal])


@pytest.mark.parametrize("name", MATRIX + ["diag_np", "trace_np"])
def test_any_layout_and_float32(name):
    f = getattr(m, name)
    base = sample(9, 10, 7)
    base[2, 3] = NAN
    views = [base[:, ::2], base[::-1, ::-2], np.asfortranarray(base)[1:, 2:7], base.T[:5, :5].copy(order="F")]
    for v in views:
        if name in ("diag_np", "trace_np"):
            v = v[: min(v.shape), : min(v.shape)]
        assert same(f(v), f(np.ascontiguousarray(v)))
    f32 = base.astype(np.float32)[:, 1:4] if name not in ("diag_np", "trace_np") else base.astype(np.float32)[:5, :5]
    assert same(f(f32), f(f32.astype(np.float64)))
    zero_stride = np.lib.stride_tricks.as_strided(arr(1.5, 2.5), shape=(3, 2), strides=(0, 8))
    zero_stride = zero_stride if name not in ("diag_np", "trace_np") else zero_stride[:2]
    assert same(f(zero_stride), f(np.ascontiguousarray(zero_stride)))
    if name in MATRIX:
        # large enough to pack on two threads, in several pieces of rows (the
        # last not a multiple of four) and groups of columns
        big = sample(1003, 70, 3)
        for v in (np.asfortranarray(big), big[::-1, ::-1], big.astype(np.float32)):
            assert same(f(v), f(np.ascontiguousarray(v, dtype=np.float64)))


def test_unaligned_input():
    raw = np.zeros(8 * 12 + 1, dtype=np.uint8)[1:].view(np.float64).reshape(3, 4)
    raw[:] = sample(3, 4, 8)
    assert same(m.xtx_matrix_np(raw), ref_gram(raw))


@pytest.mark.parametrize("name", MATRIX + ["diag_np", "trace_np"])
@pytest.mark.parametrize("bad", [np.zeros((3, 3), dtype=np.int64), np.zeros(3), np.zeros((2, 2, 2)), [[1.0, 2.0]],
                                 np.zeros((2, 2), dtype=np.float16), np.zeros((2, 2), dtype=np.complex128),
                                 np.zeros((2, 2), dtype=">f8"), None, 3.0])
def test_refuses_other_inputs(name, bad):
    with pytest.raises(TypeError) as e:
        getattr(m, name)(bad)
    assert str(e.value) == TYPE_MSG


def test_is_symmetric_checks_tol_first():
    for a in ([1], "x", None):
        with pytest.raises(TypeError, match="^argument 'tol': "):
            m.is_symmetric_np(a, "y")
    with pytest.raises(TypeError) as e:
        m.is_symmetric_np([1], 0.0)
    assert str(e.value) == TYPE_MSG


ZERO_DEGEN = ["cov_matrix_centered_np", "cov_matrix_skipna_np", "corr_matrix_np", "corr_matrix_skipna_np",
              "corr_distance_np"]


def test_degenerate_shapes():
    one = arr(1.0, 2.0, 3.0).reshape(1, 3)
    assert same(m.cov_matrix_np(one), np.full((3, 3), NAN))
    for name in ZERO_DEGEN + ["cov_matrix_bias_np", "xtx_matrix_np"]:
        expect = np.zeros((3, 3)) if name != "xtx_matrix_np" else ref_gram(one)
        assert same(getattr(m, name)(one), expect), name
    wide = np.zeros((5, 0))
    for name in MATRIX:
        assert same(getattr(m, name)(wide), np.zeros((5, 5)) if name == "xxt_matrix_np" else np.zeros((0, 0)))
    tall = np.zeros((0, 3))
    for name in ["xtx_matrix_np", "cov_matrix_bias_np", "pairwise_euclidean_cols_np"] + ZERO_DEGEN:
        assert same(getattr(m, name)(tall), np.zeros((3, 3))), name
    for name in ["pairwise_cosine_cols_np", "cov_matrix_np"]:
        assert same(getattr(m, name)(tall), np.full((3, 3), NAN)), name
    assert same(m.xxt_matrix_np(tall), np.zeros((0, 0)))
    # one row: the biased covariance is computed, so a NaN still shows
    assert same(m.cov_matrix_bias_np(arr(1.0, NAN).reshape(1, 2)), [[0.0, NAN], [NAN, NAN]])


def test_huge_empty_shape_is_memory_error():
    x = np.lib.stride_tricks.as_strided(np.zeros(1), shape=(0, 2**40), strides=(8, 8))
    with pytest.raises(MemoryError):
        m.xtx_matrix_np(x)
    assert m.xxt_matrix_np(x).shape == (0, 0)


# each matrix function with the two-series function giving its entry (i, j)
# from columns i and j
BY_PAIR = {
    "cov_matrix_np": m.cov_np,
    "cov_matrix_bias_np": lambda a, b: m.cov_np(a, b) * ((len(a) - 1) / len(a)),
    "corr_matrix_np": m.corr_np,
    "corr_distance_np": lambda a, b: 1.0 - m.corr_np(a, b),
    "cov_matrix_skipna_np": m.cov_skipna,
    "corr_matrix_skipna_np": m.corr_skipna,
}


@pytest.mark.parametrize("value", [0.25, 0.1, 0.7, 1 / 3, -1e-300 / 3, 1e300 / 3, 2.2e-5])
@pytest.mark.parametrize("layout", ["C", "F", "strided"])
def test_nan_and_constant_columns(value, layout):
    x = sample(10, 6, 12)
    x[3, 1] = NAN
    # constant columns, whether or not the computed mean equals the value
    # (ten 0.1 average to 0.09999999999999999): variance exactly 0
    x[:, 2] = value
    x[:, 4] = -7 * value
    # equal values wherever column 1 is present too (the other one would
    # overflow the variance of huge ones); a NaN of its own
    x[:, 5] = value
    x[3, 5], x[6, 5] = 9.0 if abs(value) < 1e150 else value, NAN
    view = {"C": x, "F": np.asfortranarray(x), "strided": np.repeat(x, 2, axis=1)[:, ::2]}[layout]
    for name, pair in BY_PAIR.items():
        got = getattr(m, name)(view)
        for i in (2, 4, 5):
            want = [pair(x[:, i].copy(), x[:, j].copy()) for j in range(6)]
            if "corr" in name:  # a series with itself: 1.0 within rounding
                want[i] = NAN if math.isnan(want[i]) else round(want[i])
            np.testing.assert_allclose(got[i], want, rtol=1e-14, atol=0, err_msg=name)
            assert same(got[:, i], got[i])
        if "cov" in name:
            assert got[2, 2] == got[4, 4] == got[2, 4] == 0.0 == got[2, 0]
        # the constant columns leave every other entry as it was
        rest = [0, 1, 3] if "skipna" in name else [0, 3]
        assert same(got[np.ix_(rest, rest)], getattr(m, name)(x[:, rest]))
        if "skipna" in name:
            pd = pytest.importorskip("pandas")
            frame = pd.DataFrame(x)
            peer = frame.cov() if name.startswith("cov") else frame.corr()
            np.testing.assert_allclose(got, peer.to_numpy(), rtol=1e-12, atol=1e-12 if "corr" in name else 0)
    c, r = m.cov_matrix_np(x), m.corr_matrix_np(x)
    assert np.isnan(c[1]).all() and np.isnan(c[:, 1]).all() and not np.isnan(np.delete(c, [1, 5], 0)[:, [0, 2, 3]]).any()
    assert c[2, 2] == 0.0
    for k in (1, 2):
        assert np.isnan(r[k]).all() and np.isnan(r[:, k]).all()
    assert r[0, 0] == r[3, 3] == 1.0
    d = m.corr_distance_np(x)
    assert d[0, 0] == 0.0 and np.isnan(d[1, 1]) and d[0, 3] == 1.0 - r[0, 3]


def test_skipna_pairwise_complete():
    x = np.array([[1, NAN, 5], [2, 7, INF], [NAN, 8, 6], [4, NAN, 9]], dtype=float)
    c = m.cov_matrix_skipna_np(x)
    assert math.isnan(c[0, 1])  # one jointly finite row
    assert c[0, 0] == ref_cov_skipna(x)[0, 0] and c[1, 1] == 0.5
    r = m.corr_matrix_skipna_np(x)
    assert math.isnan(r[0, 1]) and r[0, 0] == r[1, 1] == r[2, 2] == 1.0
    # the fifth row's 100 has no partner: the four shared rows lie on a line
    r = m.corr_matrix_skipna_np(np.c_[arr(1, 2, 3, 4, 100), arr(1, 2, 3, 4, NAN)])
    assert r[0, 1] == pytest.approx(1.0, abs=1e-15)


@pytest.mark.parametrize("n,p,nan,seed", [(5, 2, 0.0, 0), (30, 7, 0.1, 1), (9, 12, 0.5, 2), (60, 40, 0.3, 3),
                                         (200, 13, 0.6, 4), (400, 70, 0.05, 5), (2000, 30, 0.1, 6)])
def test_skipna_matrices_use_each_pairs_rows(n, p, nan, seed):
    # covariance and both variances from the same rows, as two series give:
    # a pairwise covariance over whole-column deviations leaves [-1, 1]
    rng = np.random.default_rng(seed)
    x = (rng.standard_normal((n, p)) + rng.choice([0.0, 5.0, -30.0], p)) * rng.choice([1e-3, 1.0, 1e4], p)
    x[:, ::3] += 3.0 * x[:, :1] * np.abs(x[:, ::3]).max(axis=0) / np.abs(x[:, :1]).max()
    x[rng.random((n, p)) < nan] = NAN
    if p > 6:
        x[:, 1] = NAN
        x[:, 2] = np.where(np.isnan(x[:, 2]), NAN, 0.1)  # equal values where present
        x[2:, 3] = NAN  # at most two rows shared with any column
        x[n // 2:, 4], x[: n // 2, 5] = NAN, NAN  # no row shared by 4 and 5
    cols = [x[:, j].copy() for j in range(p)]
    assert same(m.cov_matrix_skipna_np(x), [[m.cov_skipna(a, b) for b in cols] for a in cols])
    r = m.corr_matrix_skipna_np(x)
    np.testing.assert_allclose(r, [[m.corr_skipna(a, b) for b in cols] for a in cols], rtol=0, atol=1e-14)
    pd = pytest.importorskip("pandas")
    np.testing.assert_allclose(r, pd.DataFrame(x).corr().to_numpy(), rtol=0, atol=1e-12)
    assert np.nanmax(np.abs(r)) <= 1.0


# ------------------------------------------------ shifts from the pairs used


def exact_cov(a, b):
    """Sample covariance of two equally long lists, as a Fraction."""
    fa, fb = [Fraction(v) for v in a], [Fraction(v) for v in b]
    ma, mb = sum(fa) / len(fa), sum(fb) / len(fb)
    return sum((u - ma) * (v - mb) for u, v in zip(fa, fb)) / (len(fa) - 1)


def exact_ratio(num, den_a, den_b):
    """num / sqrt(den_a * den_b), correctly rounded but for the final root."""
    return math.copysign(math.sqrt(float(num * num / (den_a * den_b))), num)


def complete(x, y):
    keep = ~(np.isnan(x) | np.isnan(y))
    return x[keep].tolist(), y[keep].tolist()


def exact_pair_corr(x, y):
    a, b = complete(x, y)
    return exact_ratio(exact_cov(a, b), exact_cov(a, a), exact_cov(b, b))


# the NaN-skipping covariances and correlations of two series, each with its
# exact value
SKIPPING = {
    "cov_nan_np": (m.cov_nan_np, lambda x, y: float(exact_cov(*complete(x, y)))),
    "cov_skipna": (m.cov_skipna, lambda x, y: float(exact_cov(*complete(x, y)))),
    "corr_nan_np": (m.corr_nan_np, exact_pair_corr),
    "corr_skipna": (m.corr_skipna, exact_pair_corr),
    "cov_matrix_skipna_np": (lambda x, y: m.cov_matrix_skipna_np(np.c_[x, y])[0, 1],
                             lambda x, y: float(exact_cov(*complete(x, y)))),
    "corr_matrix_skipna_np": (lambda x, y: m.corr_matrix_skipna_np(np.c_[x, y])[0, 1], exact_pair_corr),
}


@pytest.mark.parametrize("name", SKIPPING)
@pytest.mark.parametrize("x,y", [
    (arr(0, NAN, 1e9 + 1, 1e9 + 2, 1e9 + 3), arr(NAN, 0, 1e9 + 1, 1e9 + 2, 1e9 + 4)),
    (arr(0, 1e9 + 1, 1e9 + 2, 1e9 + 3), arr(NAN, 1, 2, 3)),
    (arr(NAN, -3e12, 7.25, 7.5, 8.0, 7.0), arr(5e15, NAN, 1.0, 3.0, 2.0, 2.5)),
])
def test_shift_is_a_value_the_sums_use(name, x, y):
    # a shift taken from a skipped position far from the used pairs would
    # cancel every digit of their spread
    f, exact = SKIPPING[name]
    assert f(x, y) == pytest.approx(exact(x, y), rel=1e-12)
    assert f(y, x) == pytest.approx(exact(y, x), rel=1e-12)


@pytest.mark.parametrize("name", PAIR)
@pytest.mark.parametrize("kx,ky", [(-600, -600), (-530, -530), (509, 509), (515, 515), (600, -600), (1000, 0),
                                   (-1010, 20), (-515, -530)])
def test_pair_far_from_one(name, kx, ky):
    # each series read in its own unit: the peer on the unscaled series,
    # times 2^(kx + ky) for a covariance, and exactly the unscaled result so
    # scaled where that is normal
    skip, corr = PAIR[name]
    rng = np.random.default_rng(kx & 0xff)
    x = rng.standard_normal(200)
    y = 0.4 * x + rng.standard_normal(200)
    if skip:
        x[rng.random(200) < 0.1] = NAN
        y[rng.random(200) < 0.1] = NAN
    x, y = np.ldexp(np.ldexp(x, kx), -kx), np.ldexp(np.ldexp(y, ky), -ky)  # as read, when subnormal
    f = getattr(m, name)
    got = f(np.ldexp(x, kx), np.ldexp(y, ky))
    ok = ~(np.isnan(x) | np.isnan(y))
    with np.errstate(over="ignore"):
        peer = np.corrcoef(x[ok], y[ok])[0, 1] if corr else np.ldexp(np.cov(x[ok], y[ok])[0, 1], kx + ky)
        exact = f(x, y) if corr else np.ldexp(f(x, y), kx + ky)
    if math.isinf(peer):  # overflows: inf or NaN will do
        assert not math.isfinite(got)
        return
    assert got == pytest.approx(peer, rel=1e-12, abs=2 * 2.0**-1074)
    if abs(exact) >= TINY:
        assert got == exact
    if skip and kx == -600:
        # a far value whose partner is missing changes nothing
        xf, yf = x.copy(), y.copy()
        xf[~ok & ~np.isnan(xf)] = 1e300
        yf[~ok & ~np.isnan(yf)] = -1e-300
        assert f(xf, yf) == f(x, y)


@pytest.mark.parametrize("seed", range(12))
def test_far_values_in_skipped_pairs_against_exact_values(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(6, 300))
    offset = float(10.0 ** rng.integers(3, 13)) * rng.choice([-1, 1])
    x = offset + rng.standard_normal(n)
    y = 0.5 * offset + x + 0.5 * rng.standard_normal(n)
    x[rng.random(n) < 0.2] = NAN
    y[rng.random(n) < 0.2] = NAN
    # far values where the other series is missing, at the start and inside
    for k in range(int(rng.integers(1, 4))):
        i, j = 2 * k, int(rng.integers(n))
        x[i], y[i] = float(rng.choice([0.0, -offset, 1e3 * offset])), NAN
        x[j], y[j] = NAN, float(rng.choice([0.0, 3 * offset]))
    if len(complete(x, y)[0]) < 3:
        return
    for f, exact in SKIPPING.values():
        assert f(x, y) == pytest.approx(exact(x, y), rel=1e-11)


# ------------------------------------------------ scaled data


def _pair(f):
    return lambda x, y: f(x, y)


def _matrix(f):
    return lambda x, y: f(np.c_[x, y, x - 0.5 * y])


SCALE_FREE = {
    "corr_np": _pair(m.corr_np),
    "corr_nan_np": _pair(m.corr_nan_np),
    "corr_skipna": _pair(m.corr_skipna),
    "corr_matrix_np": _matrix(m.corr_matrix_np),
    "corr_matrix_skipna_np": _matrix(m.corr_matrix_skipna_np),
    "corr_distance_np": _matrix(m.corr_distance_np),
    "pairwise_cosine_cols_np": _matrix(m.pairwise_cosine_cols_np),
}
SCALES = [2.0**400, 2.0**-400, 1e150, 1e-150]


@pytest.mark.parametrize("name", SCALE_FREE)
@pytest.mark.parametrize("k", SCALES, ids=["2^400", "2^-400", "1e150", "1e-150"])
def test_correlations_do_not_depend_on_scale(name, k):
    # the product of two variances overflows or underflows long before the
    # data do: the correlation of k*x and k*y is that of x and y
    f = SCALE_FREE[name]
    x, y = arr(1, 2, 3, 5), arr(1, 2, 4, 4)
    np.testing.assert_allclose(f(k * x, k * y), f(x, y), rtol=1e-12, atol=0)
    if name.startswith("corr_") and "distance" not in name:
        r = np.asarray(f(x, y)).ravel()[1 if "matrix" in name else 0]
        assert r == pytest.approx(np.corrcoef(x, y)[0, 1], rel=1e-14)
    np.testing.assert_allclose(f(k * x, k * x), f(x, x), rtol=0, atol=1e-15)


@pytest.mark.parametrize("seed", range(12))
def test_scaled_random_data_against_unscaled(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(3, 200))
    x = rng.standard_normal(n) + rng.choice([0.0, 5.0])
    y = rng.choice([-1.0, 0.3, 2.0]) * x + rng.standard_normal(n)
    xn = x.copy()
    xn[rng.random(n) < 0.1] = NAN
    for name, f in SCALE_FREE.items():
        u = xn if "nan" in name or "skipna" in name else x
        for k in SCALES:
            np.testing.assert_allclose(f(k * u, k * y), f(u, y), rtol=1e-12, atol=0)

def test_distance_edges():
    x = np.array([[0, 1, NAN], [0, 2, 3], [0, 3, 4]], dtype=float)
    cos = m.pairwise_cosine_cols_np(x)
    assert np.isnan(cos[0]).all() and np.isnan(cos[:, 0]).all()
    assert cos[2, 2] == 0.0 and math.isnan(cos[1, 2]) and cos[1, 1] == 0.0
    e = m.pairwise_euclidean_cols_np(x)
    assert e[2, 2] == 0.0 and math.isnan(e[0, 2]) and e[0, 1] == math.sqrt(14.0)


@pytest.mark.parametrize("value", [2.0, 0.1, 1 / 3, 0.7, 1.1, -3e-100 / 7, 2.0**600 / 3])
def test_equal_columns_at_cosine_distance_zero(value):
    # equal columns are at distance exactly 0, as the diagonal is, whether or
    # not the dot product rounds as the norms do; other columns keep the
    # formula's value
    rng = np.random.default_rng(4)
    noise = rng.standard_normal(50)
    x = np.c_[np.full(50, value), np.full(50, value), noise, noise, 2 * noise, noise + 1e-9]
    for v in (x, np.asfortranarray(x), x.astype(np.float32) if 1e-30 < abs(value) < 1e30 else x):
        cos = m.pairwise_cosine_cols_np(v)
        assert cos[0, 1] == cos[1, 0] == cos[2, 3] == 0.0
        assert same(cos[np.ix_([2, 4, 5], [2, 4, 5])], m.pairwise_cosine_cols_np(v[:, [2, 4, 5]]))
    from scipy.spatial.distance import cosine
    assert cosine(noise, 2 * noise) == pytest.approx(m.pairwise_cosine_cols_np(x)[2, 4], abs=1e-15)
    unit = np.full(50, np.sign(value))  # the scipy peer overflows at 2^600
    assert m.pairwise_cosine_cols_np(x)[0, 2] == pytest.approx(cosine(unit, noise), rel=1e-12)


@np.errstate(over="ignore")
def test_columns_of_different_units():
    # columns far from 1 and from each other: each entry as its own columns
    # give, scaled back per column; the columns near 1 keep their bits
    base = sample(30, 5, 21)
    base[4, 3] = INF
    ks = np.array([600, 0, -600, 300, 0])
    x = np.ldexp(base, ks)
    plain = [1, 4]
    for name in ("cov_matrix_np", "cov_matrix_bias_np", "cov_matrix_centered_np", "xtx_matrix_np",
                 "cov_matrix_skipna_np", "corr_matrix_np", "corr_matrix_skipna_np", "corr_distance_np",
                 "pairwise_cosine_cols_np"):
        f = getattr(m, name)
        p = PEERS[name][1]
        want = np.ldexp(f(base), (ks[:, None] + ks[None, :]) * p // 2)
        assert same(f(x), want), name
        assert same(f(x)[np.ix_(plain, plain)], f(x[:, plain])), name
    e = m.pairwise_euclidean_cols_np(x)
    for i in range(5):
        for j in range(5):
            d = 0.0 if i == j else math.dist(x[:, i], x[:, j]) if np.isfinite(x[:, [i, j]]).all() else INF
            assert e[i, j] == pytest.approx(d, rel=1e-13), (i, j)
    assert same(e[np.ix_(plain, plain)], m.pairwise_euclidean_cols_np(x[:, plain]))
    # rows of different units in the row Gram matrix
    assert same(m.xxt_matrix_np(x.T), np.ldexp(m.xxt_matrix_np(base.T), ks[:, None] + ks[None, :]))


def test_square_functions():
    a = np.array([[1, 2, 3], [4, 5, 6], [7, 8, NAN]], dtype=float)
    assert same(m.diag_np(a), arr(1, 5, NAN)) and math.isnan(m.trace_np(a))
    assert m.trace_np(a[:2, :2]) == 6.0
    assert same(m.diag_np(np.zeros((0, 0))), arr()) and m.trace_np(np.zeros((0, 0))) == 0.0
    for f in ("diag_np", "trace_np"):
        with pytest.raises(ValueError, match=f"^{f} expects a square 2D array$"):
            getattr(m, f)(np.zeros((2, 3)))
    assert m.is_symmetric_np(np.zeros((2, 3)), 1.0) is False
    assert m.is_symmetric_np(np.array([[1, NAN], [2, 1]]), 0.0) is True
    asym = np.array([[1, 2], [2.5, 1]])
    assert m.is_symmetric_np(asym, 0.5) is True and m.is_symmetric_np(asym, 0.4) is False
    assert m.is_symmetric_np(asym, NAN) is True
    assert m.is_symmetric_np(np.eye(3), -1.0) is False and m.is_symmetric_np(np.eye(1), -1.0) is True
    assert m.is_symmetric_np(np.zeros((0, 0)), 0.0) is True
    s = sample(6, 6, 13)
    s = s + s.T
    s[1, 4] += 1e-3
    for v in (s, np.asfortranarray(s), s[::-1, ::-1].copy()[::-1, ::-1], s.astype(np.float32)):
        assert m.is_symmetric_np(v, 2e-3) is True and m.is_symmetric_np(v, 5e-4) is False


def test_results_independent_of_thread_count():
    # large enough for every column kernel (and the row Gram matrix) to split
    # its rows; constant columns with inexact means among them
    code = (
        "import hashlib, sys, numpy as np\n"
        "from marlox_stats import marlox_stats_rs as m\n"
        "rng = np.random.default_rng(5)\n"
        "x = rng.standard_normal((3000, 200)) + 50.0\n"
        "x[:, :10][rng.random((3000, 10)) < 0.01] = np.nan\n"
        "x[:, 10], x[:, 11], x[:, 150] = 0.1, 1 / 3, 0.7\n"
        "x[::7, 11] = np.nan\n"
        "far = np.ldexp(x, 600)\n"
        "far[:, :50] = np.ldexp(x[:, :50], -600)\n"
        "names = " + repr(MATRIX) + "\n"
        "sys.stdout.write(' '.join(hashlib.sha256(getattr(m, k)(v).tobytes()).hexdigest()\n"
        "                          for k in names for v in (x, far)))\n"
    )
    assert len(outputs_by_thread_count(code, ("1", "2", "7"))) == 1
