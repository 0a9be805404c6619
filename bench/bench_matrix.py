import numpy as np

from marlox_stats import marlox_stats_rs as m


def _spatial():
    import scipy.spatial.distance as d
    return d


def benchmarks():
    rng = np.random.default_rng(0)
    for n in (16, 100_000):
        x = rng.standard_normal(n)
        y = 0.3 * x + rng.standard_normal(n)
        yn = y.copy()
        yn[::17] = np.nan
        ok = ~np.isnan(yn)
        yield "cov_np", n, lambda: m.cov_np(x, y), lambda: np.cov(x, y)[0, 1], "np.cov"
        yield "corr_np", n, lambda: m.corr_np(x, y), lambda: np.corrcoef(x, y)[0, 1], "np.corrcoef"
        yield "cov_nan_np", n, lambda: m.cov_nan_np(x, yn), lambda: np.cov(x[ok], yn[ok])[0, 1], "np.cov(masked)"
        yield "corr_nan_np", n, lambda: m.corr_nan_np(x, yn), lambda: np.corrcoef(x[ok], yn[ok])[0, 1], \
            "np.corrcoef(masked)"
    for n, p, order in ((20, 5, "C"), (2_000, 100, "C"), (2_000, 100, "F"), (2_000, 512, "C"), (2_000, 512, "F"),
                        (10_000, 400, "C")):
        shape = f"{n}x{p}" + ("" if order == "C" else " F")
        a = np.asarray(rng.standard_normal((n, p)), order=order)
        an = a.copy(order="K")
        an[rng.random(a.shape) < 0.02] = np.nan
        yield "cov_matrix_np", shape, lambda: m.cov_matrix_np(a), lambda: np.cov(a, rowvar=False), "np.cov"
        yield "cov_matrix_bias_np", shape, lambda: m.cov_matrix_bias_np(a), \
            lambda: np.cov(a, rowvar=False, bias=True), "np.cov(bias)"
        yield "cov_matrix_centered_np", shape, lambda: m.cov_matrix_centered_np(a), \
            lambda: a.T @ a / (n - 1), "X.T@X/(n-1)"
        yield "cov_matrix_skipna_np", shape, lambda: m.cov_matrix_skipna_np(an), \
            lambda: _pandas_cov(an), "DataFrame.cov"
        yield "xtx_matrix_np", shape, lambda: m.xtx_matrix_np(a), lambda: a.T @ a, "X.T@X"
        yield "corr_matrix_np", shape, lambda: m.corr_matrix_np(a), lambda: np.corrcoef(a, rowvar=False), \
            "np.corrcoef"
        yield "corr_matrix_skipna_np", shape, lambda: m.corr_matrix_skipna_np(an), lambda: _pandas_corr(an), \
            "DataFrame.corr"
        yield "corr_distance_np", shape, lambda: m.corr_distance_np(a), \
            lambda: _spatial().squareform(_spatial().pdist(a.T, "correlation")), "pdist(correlation)"
        yield "pairwise_euclidean_cols_np", shape, lambda: m.pairwise_euclidean_cols_np(a), \
            lambda: _spatial().cdist(a.T, a.T), "cdist(euclidean)"
        yield "pairwise_cosine_cols_np", shape, lambda: m.pairwise_cosine_cols_np(a), \
            lambda: _spatial().cdist(a.T, a.T, "cosine"), "cdist(cosine)"
    for n, p in ((20, 5), (1_000, 300), (2_000, 100), (2_000, 512)):
        a = rng.standard_normal((n, p))
        yield "xxt_matrix_np", f"{n}x{p}", lambda: m.xxt_matrix_np(a), lambda: a @ a.T, "X@X.T"
    for k in (4, 1_000):
        s = rng.standard_normal((k, k))
        s = s + s.T
        yield "diag_np", f"{k}x{k}", lambda: m.diag_np(s), lambda: np.diag(s).copy(), "np.diag"
        yield "trace_np", f"{k}x{k}", lambda: m.trace_np(s), lambda: np.trace(s), "np.trace"
        yield "is_symmetric_np", f"{k}x{k}", lambda: m.is_symmetric_np(s, 1e-12), \
            lambda: bool(np.all(np.abs(s - s.T) <= 1e-12)), "numpy expression"


def _pandas_cov(a):
    import pandas as pd
    return pd.DataFrame(a).cov().to_numpy()


def _pandas_corr(a):
    import pandas as pd
    return pd.DataFrame(a).corr().to_numpy()
