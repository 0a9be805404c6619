"""Representative calls of every registered function, found from a small pool."""
import hashlib
import inspect
import itertools

import numpy as np

ERRORS = (TypeError, ValueError, OverflowError, MemoryError)


def pool(n=1000):
    rng = np.random.default_rng(3)
    x = rng.standard_normal(n)
    y = rng.standard_normal(n)
    x2 = rng.standard_normal((max(n // 5, 8), 4))
    return [x, 5, 0.5, [x, y], ["mean", "std"], x2, "mean", 2]


def find_calls(f, candidates=None):
    """(a successful argument tuple or None, a failing one) for f."""
    candidates = pool() if candidates is None else candidates
    params = [p for p in inspect.signature(f).parameters.values() if p.kind == p.POSITIONAL_OR_KEYWORD]
    required = [p for p in params if p.default is p.empty]
    ok = bad = None
    combo = ()
    for combo in itertools.islice(itertools.product(candidates, repeat=len(required)), 300):
        try:
            f(*combo)
            ok = ok or combo
        except ERRORS:
            bad = bad or combo
        if ok and bad:
            break
    if bad is None:
        bad = ([1.0, 2.0],) + tuple(combo[1:]) if required else (object(),) * (len(params) + 1)
    return ok, bad


def fingerprint(value):
    """A text that differs whenever any bit of a result differs."""
    if isinstance(value, np.ndarray):
        return f"nd{value.dtype.str}{value.shape}:{hashlib.sha256(value.tobytes()).hexdigest()}"
    if isinstance(value, float):
        return float.hex(value)
    if isinstance(value, (list, tuple)):
        return "(" + ",".join(fingerprint(v) for v in value) + ")"
    if isinstance(value, dict):
        return "{" + ",".join(f"{k}:{fingerprint(v)}" for k, v in value.items()) + "}"
    return repr(value)


# Calls the pool cannot form (counts, tables, probabilities, option strings),
# on the pool's arrays by name.
EXPLICIT = {
    "winsorize_np": ("x", 0.05, 0.95),
    "trimmed_mean_np": ("x", 0.1),
    "trimmed_mean_skipna_np": ("x", 0.1),
    "mean_axis_np": ("x2", 0),
    "diag_np": ("sq",),
    "trace_np": ("sq",),
    "t_test_2samp_np": ("x", "y", True),
    "chi2_gof_np": ("counts",),
    "chi2_independence_np": ("table",),
    "cohens_d_2samp_np": ("x", "y", True),
    "hedges_g_2samp_np2": ("x", "y", True),
    "ks_1samp_np": ("x", "norm", [0.0, 1.0]),
    "p_adjust_np": ("pvalues",),
    "two_proportions_ztest_np": (40, 100, 55, 100),
    "odds_ratio_np": ("table2",),
    "rolling_autocorr_multi": ("x", [1, 2, 5]),
    "mean_diff_ci_np": ("x", "y"),
    "norm_ppf": ("pvalues",),
    "exp_ppf": ("pvalues",),
    "unif_ppf": ("pvalues",),
}


def named_arrays(n=1000):
    """The pool's arrays by name, and the arrays of the explicit calls."""
    x, _, _, xy, _, x2, _, _ = pool(n)
    rng = np.random.default_rng(5)
    return {
        "x": x, "y": xy[1], "x2": x2, "sq": rng.standard_normal((6, 6)),
        "counts": rng.integers(5, 40, 8).astype(float), "table": rng.integers(3, 30, (3, 4)).astype(float),
        "table2": np.array([[12.0, 5.0], [7.0, 15.0]]), "pvalues": rng.uniform(0.001, 0.999, 30),
    }


def representative_calls(n=1000):
    """{name: argument tuple}: one successful call of every registered
    function, on fixed data. A second sample is another series than the
    first, so that two-sample functions see two samples."""
    from marlox_stats import marlox_stats_rs as m

    arrays = named_arrays(n)
    x, y = arrays["x"], arrays["y"]
    cands = [x, 5, 0.5, [x, y], ["mean", "std"], arrays["x2"], "mean", 2]
    out = {}
    for name in m.__all__:
        f = getattr(m, name)
        if isinstance(f, type):
            continue
        if name in EXPLICIT:
            out[name] = tuple(arrays.get(a, a) if isinstance(a, str) else a for a in EXPLICIT[name])
            continue
        ok, _ = find_calls(f, cands)
        if ok is None:
            continue
        i = [j for j, a in enumerate(ok) if a is x]
        if len(i) >= 2:
            ok = tuple(y if j == i[1] else a for j, a in enumerate(ok))
        out[name] = ok
    return out
