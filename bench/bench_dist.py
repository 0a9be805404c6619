import numpy as np
import scipy.stats as st

from marlox_stats import marlox_stats_rs as m


def _cases(rng, n):
    x = rng.standard_normal(n) * 2.0
    q = rng.random(n)
    pos = np.abs(x)
    return [
        ("norm_pdf", x, (0.5, 2.0), st.norm.pdf, dict(loc=0.5, scale=2.0)),
        ("norm_logpdf", x, (0.5, 2.0), st.norm.logpdf, dict(loc=0.5, scale=2.0)),
        ("norm_cdf", x, (0.5, 2.0), st.norm.cdf, dict(loc=0.5, scale=2.0)),
        ("norm_sf", x, (0.5, 2.0), st.norm.sf, dict(loc=0.5, scale=2.0)),
        ("norm_logsf", x, (0.5, 2.0), st.norm.logsf, dict(loc=0.5, scale=2.0)),
        ("norm_cumhazard", x, (0.5, 2.0), lambda v, **k: -st.norm.logsf(v, **k), dict(loc=0.5, scale=2.0)),
        ("norm_ppf", q, (0.5, 2.0), st.norm.ppf, dict(loc=0.5, scale=2.0)),
        ("exp_pdf", pos, (2.0,), st.expon.pdf, dict(scale=0.5)),
        ("exp_logpdf", pos, (2.0,), st.expon.logpdf, dict(scale=0.5)),
        ("exp_cdf", pos, (2.0,), st.expon.cdf, dict(scale=0.5)),
        ("exp_sf", pos, (2.0,), st.expon.sf, dict(scale=0.5)),
        ("exp_logsf", pos, (2.0,), st.expon.logsf, dict(scale=0.5)),
        ("exp_cumhazard", pos, (2.0,), lambda v, **k: -st.expon.logsf(v, **k), dict(scale=0.5)),
        ("exp_ppf", q, (2.0,), st.expon.ppf, dict(scale=0.5)),
        ("unif_pdf", q, (0.0, 1.0), st.uniform.pdf, {}),
        ("unif_logpdf", q, (0.0, 1.0), st.uniform.logpdf, {}),
        ("unif_cdf", x, (-1.0, 2.0), st.uniform.cdf, dict(loc=-1.0, scale=3.0)),
        ("unif_sf", x, (-1.0, 2.0), st.uniform.sf, dict(loc=-1.0, scale=3.0)),
        ("unif_logsf", x, (-1.0, 2.0), st.uniform.logsf, dict(loc=-1.0, scale=3.0)),
        ("unif_cumhazard", x, (-1.0, 2.0), lambda v, **k: -st.uniform.logsf(v, **k), dict(loc=-1.0, scale=3.0)),
        ("unif_ppf", q, (-1.0, 2.0), st.uniform.ppf, dict(loc=-1.0, scale=3.0)),
    ]


def benchmarks():
    rng = np.random.default_rng(0)
    for n in (1, 1000, 1_000_000):
        for name, x, p, peer, kw in _cases(rng, n):
            ours = getattr(m, name)
            label = "scipy.stats." + getattr(peer, "__qualname__", "")
            if name.endswith("cumhazard"):
                label = "-scipy.stats logsf"
            if n == 1:
                # A user with one value passes a float to SciPy.
                v = float(x[0])
                yield name, "scalar", lambda o=ours, x=x, p=p: o(x, *p), lambda f=peer, v=v, k=kw: f(v, **k), label
            else:
                yield name, n, lambda o=ours, x=x, p=p: o(x, *p), lambda f=peer, x=x, k=kw: f(x, **k), label
