import math
import os
import subprocess
import sys

import numpy as np
import pytest

from conftest import same
from marlox_stats import marlox_stats_rs as m

NAN = math.nan
INF = math.inf
TYPE_MSG = "expected a 2D NumPy array of dtype float32 or float64"


def arr(*v):
    return np.array(v, dtype=np.float64)


# ------------------------------------------------ references: literal arithmetic order


def clamp(q):
    return -1.0 if q < -1.0 else 1.0 if q > 1.0 else q


def first_finite(v):
    return next((float(e) for e in v if math.isfinite(e)), 0.0)


def ref_pair(x, y, skip, corr):
    n = len(x)
    if not skip and n < 2:
        return NAN
    sx_, sy_ = first_finite(x), first_finite(y)
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
    return clamp(cxy / math.sqrt(vx * vy))


def col_sum(x, j, f=lambda v: v):
    s = 0.0
    for r in range(x.shape[0]):
        s += f(float(x[r, j]))
    return s


def ref_gram(z, div=None):
    n, p = z.shape
    out = np.zeros((p, p))
    for i in range(p):
        for j in range(i, p):
            s = 0.0
            for r in range(n):
                s += float(z[r, i]) * float(z[r, j])
            out[i, j] = out[j, i] = s if div is None else s / div
    return out


def ref_cov(x, bias=False):
    n, p = x.shape
    means = [col_sum(x, j) * (1.0 / n) for j in range(p)]
    z = np.array([[float(x[r, j]) - means[j] for j in range(p)] for r in range(n)]).reshape(n, p)
    return ref_gram(z, float(n if bias else n - 1))


def ref_cov_skipna(x):
    n, p = x.shape
    shift = [first_finite(x[:, j]) for j in range(p)]
    out = np.zeros((p, p))
    for i in range(p):
        for j in range(i, p):
            c = sa = sb = sab = 0.0
            for r in range(n):
                if math.isfinite(x[r, i]) and math.isfinite(x[r, j]):
                    a, b = float(x[r, i]) - shift[i], float(x[r, j]) - shift[j]
                    c += 1
                    sa += a
                    sb += b
                    sab += a * b
            out[i, j] = out[j, i] = NAN if c < 2 else (sab - (sb * sa) / c) / (c - 1)
    return out


def ref_corr_from_cov(c):
    p = c.shape[0]
    sd = [math.sqrt(c[i, i]) if math.isfinite(c[i, i]) and c[i, i] > 0 else NAN for i in range(p)]
    out = np.zeros((p, p))
    for i in range(p):
        for j in range(i, p):
            d = sd[i] * sd[j]
            out[i, j] = out[j, i] = NAN if d == 0 or math.isnan(d) else clamp(c[i, j] / d)
        out[i, i] = NAN if math.isnan(sd[i]) or sd[i] == 0 else 1.0
    return out


def ref_corr_distance(x):
    r = ref_corr_from_cov(ref_cov(x))
    out = np.where(np.isnan(r), NAN, 1.0 - r)
    np.fill_diagonal(out, np.where(np.isnan(np.diag(r)), NAN, 0.0))
    return out


def ref_euclid(x):
    n, p = x.shape
    out = np.zeros((p, p))
    for i in range(p):
        for j in range(i + 1, p):
            s = 0.0
            for r in range(n):
                d = float(x[r, i]) - float(x[r, j])
                s += d * d
            out[i, j] = out[j, i] = math.sqrt(s)
    return out


def ref_cosine(x):
    n, p = x.shape
    norm = [math.sqrt(col_sum(x, j, lambda v: v * v)) for j in range(p)]
    dots = ref_gram(x)
    out = np.zeros((p, p))
    for i in range(p):
        out[i, i] = NAN if norm[i] == 0 else 0.0
        for j in range(i + 1, p):
            d = norm[i] * norm[j]
            out[i, j] = out[j, i] = NAN if d == 0 or math.isnan(d) else 1.0 - float(dots[i, j]) / d
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
    "corr_matrix_skipna_np": lambda x: ref_corr_from_cov(ref_cov_skipna(x)),
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
    # shifts come from each whole series: 5 and 7; pairs (1, 3) and (2, 4)
    x, y = arr(5, NAN, 1, 2), arr(NAN, 7, 3, 4)
    sa, sb, sab = (1 - 5) + (2 - 5), (3 - 7) + (4 - 7), (1 - 5) * (3 - 7) + (2 - 5) * (4 - 7)
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


@pytest.mark.parametrize("name", MATRIX)
def test_matrix_close_to_peers_and_symmetric(name):
    x = sample(40, 6, 9)
    r = getattr(m, name)(x)
    assert same(r, r.T)
    peer = {"cov_matrix_np": lambda: np.cov(x, rowvar=False),
            "cov_matrix_bias_np": lambda: np.cov(x, rowvar=False, bias=True),
            "xtx_matrix_np": lambda: x.T @ x, "xxt_matrix_np": lambda: x @ x.T,
            "corr_matrix_np": lambda: np.corrcoef(x, rowvar=False),
            "corr_matrix_skipna_np": lambda: np.corrcoef(x, rowvar=False),
            "cov_matrix_skipna_np": lambda: np.cov(x, rowvar=False)}.get(name)
    if peer is not None:
        np.testing.assert_allclose(r, peer(), rtol=1e-12, atol=1e-12)


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


def test_nan_and_constant_columns():
    x = sample(10, 4, 12)
    x[3, 1] = NAN
    x[:, 2] = 0.25  # the computed mean equals the value: variance exactly 0
    c, r = m.cov_matrix_np(x), m.corr_matrix_np(x)
    assert np.isnan(c[1]).all() and np.isnan(c[:, 1]).all() and not np.isnan(np.delete(c, 1, 0)[:, [0, 2, 3]]).any()
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


def test_distance_edges():
    x = np.array([[0, 1, NAN], [0, 2, 3], [0, 3, 4]], dtype=float)
    cos = m.pairwise_cosine_cols_np(x)
    assert np.isnan(cos[0]).all() and np.isnan(cos[:, 0]).all()
    assert cos[2, 2] == 0.0 and math.isnan(cos[1, 2]) and cos[1, 1] == 0.0
    e = m.pairwise_euclidean_cols_np(x)
    assert e[2, 2] == 0.0 and math.isnan(e[0, 2]) and e[0, 1] == math.sqrt(14.0)


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
    # large enough for every column kernel (and the row Gram matrix) to split its rows
    code = (
        "import hashlib, sys, numpy as np\n"
        "from marlox_stats import marlox_stats_rs as m\n"
        "rng = np.random.default_rng(5)\n"
        "x = rng.standard_normal((3000, 200)) + 50.0\n"
        "x[:, :10][rng.random((3000, 10)) < 0.01] = np.nan\n"
        "names = " + repr(MATRIX) + "\n"
        "sys.stdout.write(' '.join(hashlib.sha256(getattr(m, k)(x).tobytes()).hexdigest() for k in names))\n"
    )
    outs = set()
    for threads in ("1", "2", "7"):
        env = dict(os.environ, OMP_NUM_THREADS=threads)
        outs.add(subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, check=True).stdout)
    assert len(outs) == 1
