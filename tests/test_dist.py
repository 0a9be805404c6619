import math

import numpy as np
import pytest
import scipy.stats as st

from reference import same
from marlox_stats import marlox_stats_rs as m

INF, NAN = math.inf, math.nan
C1 = 0.7071067811865476

NORM = ["norm_pdf", "norm_logpdf", "norm_cdf", "norm_sf", "norm_logsf", "norm_cumhazard", "norm_ppf"]
EXP = ["exp_pdf", "exp_logpdf", "exp_cdf", "exp_sf", "exp_logsf", "exp_cumhazard", "exp_ppf"]
UNIF = ["unif_pdf", "unif_logpdf", "unif_cdf", "unif_sf", "unif_logsf", "unif_ppf"]
ALL = NORM + EXP + UNIF + ["unif_cumhazard"]


def a(*v):
    return np.array(v, dtype=np.float64)


def call(name, x, *p):
    if name == "unif_cumhazard" and not p:
        p = (0.0, 1.0)
    return getattr(m, name)(x, *p)


# ------------------------------------------------------------------ shared rules

@pytest.mark.parametrize("name", ALL)
def test_empty_and_unchanged(name):
    out = call(name, np.empty(0))
    assert out.dtype == np.float64 and out.shape == (0,)
    x = a(0.0, 0.25, 0.5, 1.0, NAN)
    before = x.copy()
    out = call(name, x)
    assert out.shape == x.shape and same(x, before)


@pytest.mark.parametrize("name", ALL)
def test_nan_element_keeps_neighbours(name):
    x = a(0.2, 0.7)
    both = call(name, a(0.2, NAN, 0.7))
    assert same(both[[0, 2]], call(name, x))
    if name != "unif_pdf":
        assert math.isnan(both[1])


@pytest.mark.parametrize("name,params,msg", [
    *[(n, (0.0, 0.0), "sigma must be positive") for n in NORM],
    *[(n, (0.0, -INF), "sigma must be positive") for n in NORM],
    *[(n, (0.0,), "lam must be positive") for n in EXP],
    *[(n, (-INF,), "lam must be positive") for n in EXP],
    *[(n, (1.0, 1.0), "b must be greater than a") for n in UNIF],
    ("unif_logsf", (-INF, 1.0), "a and b must be finite"),
    ("unif_logsf", (0.0, NAN), "a and b must be finite"),
    ("unif_logsf", (2.0, 1.0), "b must be greater than a"),
    *[("unif_cumhazard", p, "Uniform parameters require finite a,b with b > a")
      for p in [(0.0, 0.0), (1.0, 0.0), (NAN, 1.0), (0.0, INF), (-INF, 0.0)]],
])
def test_parameter_errors_come_before_layout(name, params, msg):
    strided = (np.arange(10.0) / 10)[::2]
    for x in (a(0.5), strided):
        with pytest.raises(ValueError) as e:
            call(name, x, *params)
        assert str(e.value) == msg


@pytest.mark.parametrize("name", ALL)
def test_not_contiguous(name):
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        call(name, (np.arange(10.0) / 10)[::2])


@pytest.mark.parametrize("name,sig", [
    ("norm_cdf", "(x, mu=0.0, sigma=1.0)"), ("norm_ppf", "(q, mu=0.0, sigma=1.0)"),
    ("exp_pdf", "(x, lam=1.0)"), ("exp_ppf", "(q, lam=1.0)"),
    ("unif_sf", "(x, a=0.0, b=1.0)"), ("unif_ppf", "(q, a=0.0, b=1.0)"), ("unif_cumhazard", "(x, a, b)"),
])
def test_signatures(name, sig):
    f = getattr(m, name)
    assert f.__text_signature__ == sig
    if name == "unif_cumhazard":
        assert f.__doc__ is None
    else:
        assert f.__doc__.endswith("\n\nPython signature:\n    " + name + sig)


@pytest.mark.parametrize("name,params", [("norm_ppf", ()), ("exp_ppf", ()), ("unif_ppf", ())])
@pytest.mark.parametrize("bad", [1.5, -0.5, 1.0000001, INF, -INF])
def test_ppf_range(name, params, bad):
    with pytest.raises(ValueError) as e:
        getattr(m, name)(a(0.5, NAN, bad, 0.2), *params)
    assert str(e.value) == "q values must be in [0, 1]"


# ------------------------------------------------------------------ normal

def test_normal_exact_values():
    assert same(m.norm_cdf(a(0.0)), a(0.5))
    sf8 = m.norm_sf(a(8.0))[0]
    assert sf8 == pytest.approx(6.22096057427178e-16, rel=1e-14)
    assert same(m.norm_sf(a(40.0)), a(0.0))
    assert m.norm_logsf(a(40.0))[0] == pytest.approx(-804.6084420137538, rel=1e-15)
    assert same(m.norm_logsf(a(INF, -INF)), a(-INF, 0.0)) and same(m.norm_cumhazard(a(INF)), a(INF))
    x = np.linspace(-30, 30, 601)
    assert same(m.norm_sf(x), m.norm_cdf(-x))


def test_normal_formulas_bitwise():
    x = np.random.default_rng(1).standard_normal(300) * 6
    mu, sigma = 0.3, 1.7
    sf = [0.5 * math.erfc(((v - mu) / sigma) * C1) for v in x]
    assert same(m.norm_sf(x, mu, sigma), sf)
    assert same(m.norm_cdf(x, mu, sigma), [0.5 * math.erfc(((v - mu) / sigma) * -C1) for v in x])
    assert same(m.norm_logsf(x, mu, sigma), [math.log(s) for s in sf])
    assert same(m.norm_cumhazard(x, mu, sigma), [-math.log(s) for s in sf])
    s = 1.0 / sigma
    k = s / math.sqrt(6.283185307179586)
    assert same(m.norm_pdf(x, mu, sigma), [k * math.exp((s * (v - mu)) * ((s * (v - mu)) * -0.5)) for v in x])
    lo = -0.9189385332046727 - math.log(sigma)
    assert same(m.norm_logpdf(x, mu, sigma), [lo + (s * (v - mu)) * ((s * (v - mu)) * -0.5) for v in x])


@pytest.mark.parametrize("mu,sigma", [(0.0, 1.0), (-2.0, 0.25), (10.0, 30.0)])
def test_normal_log_survival_far_tail(mu, sigma):
    # Where sf underflows, ln(sf) is still a finite number: computed in log
    # space beyond the normal range of sf, the plain logarithm up to it.
    z = np.r_[np.linspace(30.0, 45.0, 1501), np.logspace(1.7, 150, 600)]
    x = mu + sigma * z
    keep = np.isfinite(x)
    x, z = x[keep], z[keep]
    ref = st.norm(mu, sigma).logsf(x)
    ours = m.norm_logsf(x, mu, sigma)
    np.testing.assert_allclose(ours, ref, rtol=1e-12, atol=0)
    assert same(m.norm_cumhazard(x, mu, sigma), -ours)
    assert np.all(np.diff(ours) < 0)
    sf = np.array([0.5 * math.erfc(((v - mu) / sigma) * C1) for v in x])
    normal = sf >= np.finfo(float).tiny
    assert normal.sum() > 100
    assert same(ours[normal], [math.log(v) for v in sf[normal]])


@pytest.mark.parametrize("mu,sigma", [(0.0, 1.0), (-2.0, 0.25), (10.0, 30.0)])
def test_normal_against_scipy(mu, sigma):
    x = mu + sigma * np.linspace(-37, 37, 2001)
    d = st.norm(mu, sigma)
    # exp(-z^2/2) amplifies the rounding of z^2 far out in the tails.
    np.testing.assert_allclose(m.norm_pdf(x, mu, sigma), d.pdf(x), rtol=1e-12, atol=0)
    np.testing.assert_allclose(m.norm_logpdf(x, mu, sigma), d.logpdf(x), rtol=1e-13)
    np.testing.assert_allclose(m.norm_cdf(x, mu, sigma), d.cdf(x), rtol=1e-13, atol=0)
    np.testing.assert_allclose(m.norm_sf(x, mu, sigma), d.sf(x), rtol=1e-13, atol=0)
    np.testing.assert_allclose(m.norm_logsf(x, mu, sigma), d.logsf(x), rtol=1e-13, atol=1e-15)
    q = np.linspace(0, 1, 1001)[1:-1]
    np.testing.assert_allclose(m.norm_ppf(q, mu, sigma), d.ppf(q), rtol=1e-13, atol=1e-13 * sigma)
    tiny = np.array([1e-300, 1e-100, 1e-20, 1 - 1e-16])
    np.testing.assert_allclose(m.norm_ppf(tiny, mu, sigma), d.ppf(tiny), rtol=1e-12)


def test_norm_ppf_rules():
    assert same(m.norm_ppf(a(0.0, 0.5, 1.0, NAN), 3.0, 2.0), a(-INF, 3.0, INF, NAN))
    assert same(m.norm_ppf(a(-0.0)), a(-INF))
    for mu, sigma in [(NAN, 1.0), (0.0, NAN)]:
        for q in (a(0.5), np.empty(0)):
            with pytest.raises(ValueError) as e:
                m.norm_ppf(q, mu, sigma)
            assert str(e.value) == "Invalid normal params: Bad distribution parameters"
    # The range scan comes first.
    with pytest.raises(ValueError, match=r"^q values must be in \[0, 1\]$"):
        m.norm_ppf(a(2.0), NAN, 1.0)
    assert same(m.norm_ppf(a(0.5), INF, 1.0), a(INF))


@pytest.mark.parametrize("name", NORM[:-1])
def test_normal_nan_params(name):
    for mu, sigma in [(NAN, 1.0), (0.0, NAN)]:
        assert np.isnan(getattr(m, name)(a(0.5, 1.0), mu, sigma)).all()


# ------------------------------------------------------------------ exponential

def test_exponential_values():
    assert same(m.exp_sf(a(-1.0, 0.0, -0.0)), a(1.0, 1.0, 1.0))
    assert same(m.exp_cdf(a(-1.0, 0.0)), a(0.0, 0.0))
    assert same(m.exp_pdf(a(0.0), 2.0), a(2.0))
    assert same(m.exp_logpdf(a(-1.0)), a(-INF))
    assert same(m.exp_logsf(a(-1.0)), a(0.0)) and same(m.exp_cumhazard(a(-1.0)), a(0.0))
    assert same(m.exp_cdf(a(1e-20)), a(1e-20))
    assert same(m.exp_ppf(a(0.0, 1.0, NAN, 1e-20)), a(0.0, INF, NAN, 1e-20))
    assert same(m.exp_logsf(a(2.0), 1.5), a(-3.0)) and same(m.exp_cumhazard(a(2.0), 1.5), a(3.0))
    assert same(m.exp_logpdf(a(2.0), 1.5), a(math.log(1.5) - 3.0))


@pytest.mark.parametrize("lam", [0.5, 1.0, 7.0])
def test_exponential_against_scipy(lam):
    x = np.concatenate([-np.logspace(-3, 2, 20), np.logspace(-12, 2.5, 200)])
    d = st.expon(scale=1 / lam)
    for name, ref in [("pdf", d.pdf), ("logpdf", d.logpdf), ("cdf", d.cdf), ("sf", d.sf), ("logsf", d.logsf)]:
        np.testing.assert_allclose(getattr(m, "exp_" + name)(x, lam), ref(x), rtol=1e-12, atol=0, err_msg=name)
    np.testing.assert_allclose(m.exp_cumhazard(x, lam), -d.logsf(x), rtol=1e-13, atol=0)
    q = np.linspace(0, 1, 1001)[:-1]
    np.testing.assert_allclose(m.exp_ppf(q, lam), d.ppf(q), rtol=1e-13)


def test_exponential_nan_and_infinite_rate():
    x = a(-1.0, 0.0, 2.0)
    assert same(m.exp_sf(x, NAN), a(1.0, NAN, NAN))
    assert same(m.exp_cdf(x, NAN), a(0.0, NAN, NAN))
    assert same(m.exp_cdf(a(1.0), INF), a(1.0))
    assert same(m.exp_sf(a(1.0), INF), a(0.0))


# ------------------------------------------------------------------ uniform

def test_uniform_values():
    x = a(-1.0, 0.0, 0.25, 1.0, 2.0)
    assert same(m.unif_cdf(x), a(0.0, 0.0, 0.25, 1.0, 1.0))
    assert same(m.unif_sf(x), a(1.0, 1.0, 0.75, 0.0, 0.0))
    assert same(m.unif_pdf(x, -1.0, 3.0), a(0.25, 0.25, 0.25, 0.25, 0.25))
    assert same(m.unif_pdf(a(0.0, 1.0, -0.1, 1.1, NAN)), a(1.0, 1.0, 0.0, 0.0, 1.0))
    assert same(m.unif_logpdf(a(NAN, 0.5, 5.0), 0.0, 4.0), a(NAN, -math.log(4.0), -INF))
    assert same(m.unif_logsf(a(0.0, 1.0, 0.5, -3.0)), a(0.0, -INF, math.log(0.5), 0.0))
    assert same(m.unif_ppf(a(0.0, 1.0, 0.5, NAN), 2.0, 4.0), a(2.0, 4.0, 3.0, NAN))
    assert same(m.unif_cdf(a(NAN)), a(NAN)) and same(m.unif_sf(a(NAN)), a(NAN))
    assert same(m.unif_sf(a(0.5), -INF, 1.0), a(0.0))
    assert same(m.unif_pdf(a(0.5), -INF, 1.0), a(0.0))


@pytest.mark.parametrize("lo,hi", [(0.0, 1.0), (-3.0, 5.5), (1e6, 1e6 + 1e-3)])
def test_uniform_against_scipy(lo, hi):
    x = np.linspace(lo - (hi - lo), hi + (hi - lo), 401)
    d = st.uniform(lo, hi - lo)
    for name in ["pdf", "logpdf", "cdf", "sf", "logsf"]:
        np.testing.assert_allclose(getattr(m, "unif_" + name)(x, lo, hi), getattr(d, name)(x),
                                   rtol=1e-9, atol=1e-12, err_msg=name)
    q = np.linspace(0, 1, 101)
    np.testing.assert_allclose(m.unif_ppf(q, lo, hi), d.ppf(q), rtol=1e-15)


def test_unif_cumhazard():
    x = a(-1.0, 0.0, 0.5, 0.75, 1.0, 1.5, INF, -INF, NAN)
    out = m.unif_cumhazard(x, 0.0, 1.0)
    # Past b the value is the hazard at the last double below b.
    past = 36.7368005696771
    assert same(out, a(0.0, -0.0, -math.log(0.5), -math.log(0.25), INF, past, past, 0.0, NAN))
    bd = math.nextafter(4.0, -INF)
    assert same(m.unif_cumhazard(a(4.0, 5.0), -1.0, 4.0), a(INF, -math.log((4.0 - bd) / 5.0)))
    assert same(m.unif_cumhazard(a(1.0), -1.0, 0.0), a(-math.log(5e-324 / 1.0)))
    y = np.linspace(-2, 3.9, 1001)
    h = m.unif_cumhazard(y, -1.0, 4.0)
    assert (np.diff(h) >= 0).all()
    with pytest.raises(TypeError, match="missing 2 required positional arguments: 'a' and 'b'"):
        m.unif_cumhazard(a(0.5))
