import inspect
import math
import os
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from reference import floor_interval, interp_percentile, loop_sum, median_of, NAN3, Pcg, rep_gen, same, UNSUPPORTED
from marlox_stats import marlox_stats_rs as m

NAN = float("nan")


# ---------------------------------------------------------------- the model
# The replicate rules over the generator in reference.py.


def resample(x, g):
    return [float(x[g.below(len(x))]) for _ in range(len(x))]


def indices(seed, i, n):
    g = rep_gen(seed, i)
    return [g.below(n) for _ in range(n)]


def pop_std(v):
    s = q = 0.0
    for a in v:
        s += a
        q += a * a
    mu = s / len(v)
    var = q / len(v) - mu * mu
    return 0.0 if var <= 0.0 else math.sqrt(var)


def sample_std(v):
    if len(v) < 2:
        return NAN
    mu = loop_sum(v) / len(v)
    return math.sqrt(loop_sum((a - mu) * (a - mu) for a in v) / (len(v) - 1))


def mean_of(v):
    return loop_sum(v) / len(v)


CI_STATS = {"mean": mean_of, "median": median_of, "std": pop_std}
SE_STATS = {"mean": mean_of, "median": median_of, "std": sample_std}


def model_draws(x, fn, B, seed):
    return [fn(resample(x, rep_gen(seed, i))) for i in range(B)]


def model_ci(draws, conf):
    return (loop_sum(draws) / len(draws), *floor_interval(sorted(draws), conf))


def model_se(vals):
    mu = loop_sum(vals) / len(vals)
    return math.sqrt(loop_sum((v - mu) * (v - mu) for v in vals) / max(len(vals) - 1, 1))


def model_corr(x, y, B, conf, seed):
    # Moments of the deviations from each sample's first value.
    x, y = x - x[0], y - y[0]
    n, out = len(x), []
    for i in range(B):
        g = rep_gen(seed, i)
        idx = [g.below(n) for _ in range(n)]
        xs, ys = [float(x[j]) for j in idx], [float(y[j]) for j in idx]
        sx, sy, sxx, syy, sxy = (loop_sum(v) for v in (xs, ys, [a * a for a in xs], [b * b for b in ys],
                                                        [a * b for a, b in zip(xs, ys)]))
        mx, my = sx / n, sy / n
        vy, vx = syy / n - my * my, sxx / n - mx * mx
        const = len(set(xs)) == 1 or len(set(ys)) == 1
        out.append(NAN if const or vy <= 0 or vx <= 0 else (sxy / n - my * mx) / math.sqrt(vy * vx))
    fin = [v for v in out if math.isfinite(v)]
    return model_ci(fin, conf) if fin else NAN3


# ----------------------------------------------------- the generator itself
# A small C++ driver prints what the header computes; the model must agree.

DRIVER = r"""
#include <cstdio>
#include <cstring>
#include <vector>
#include "kernels/resampling/pcg64.hpp"
#include "kernels/resampling/replicate.hpp"
using namespace ms::kernels::resampling;
static unsigned long long bits(double v) { unsigned long long b; std::memcpy(&b, &v, 8); return b; }
int main() {
    const unsigned long long seeds[] = {0ULL, 42ULL, ~0ULL, replicate_seed(42, 1)};
    const unsigned long long ns[] = {1ULL, 2ULL, 3ULL, 10ULL, 1000ULL, (1ULL << 63) + 1, ~0ULL};
    for (auto s : seeds) {
        Pcg64 g = Pcg64::seeded(s);
        for (int k = 0; k < 6; ++k) std::printf("next %llu %llu\n", s, (unsigned long long)g.next());
        for (auto n : ns) {
            Pcg64 h = Pcg64::seeded(s);
            for (int k = 0; k < 6; ++k) std::printf("below %llu %llu %llu\n", s, n, (unsigned long long)h.below(n));
        }
        Pcg64 u = Pcg64::seeded(s);
        for (int k = 0; k < 4; ++k) std::printf("uniform %llu %llu\n", s, bits(u.uniform()));
        for (int k = 0; k < 4; ++k) std::printf("exp %llu %llu\n", s, bits(u.exp_weight()));
        for (int len : {0, 1, 2, 10}) {
            Pcg64 f = Pcg64::seeded(s);
            std::vector<double> v(len);
            for (int i = 0; i < len; ++i) v[i] = i;
            f.shuffle(v);
            std::printf("shuffle %llu %d", s, len);
            for (double a : v) std::printf(" %d", (int)a);
            std::printf(" then %llu\n", (unsigned long long)f.next());
        }
    }
    const double d[] = {1.0, 2.0, 4.0, 8.0, 16.0, 32.0, 64.0};
    const double confs[] = {0.95, 0.5, 0.0, 1.5, -3.0, 1e300, -1e300, __builtin_nan(""), __builtin_inf()};
    const double ps[] = {0.0, -1.0, 1.0, 2.0, 0.3, 0.5, 1e-300, 0.999999, __builtin_nan("")};
    for (size_t B : {1, 2, 7}) {
        for (double c : confs) {
            const Positions p = floor_index_positions(B, c);
            std::printf("floor %zu %llu %llu %llu\n", B, bits(c), bits(d[p.lower]), bits(d[p.upper]));
        }
        for (double p : ps)
            std::printf("interp %zu %llu %llu\n", B, bits(p), bits(interpolated_percentile({d, B}, p)));
    }
    // The replicate map, on the pool: slot i from replicate i's own generator.
    std::vector<double> out(1001);
    replicate_map(42, out.size(), 2, 1 << 20, out.data(), [](Pcg64& g, double* s) {
        s[1] = static_cast<double>(g.below(1000));
        return s[1] + static_cast<double>(g.below(7)) / 8;
    });
    std::printf("map");
    for (double a : out) std::printf(" %llu", bits(a));
    std::printf("\n");
    // The draw sort on values with NaN: no fault, and the same multiset back.
    for (size_t n : {7, 20, 21, 100, 1000}) {
        std::vector<double> v(n);
        Pcg64 g = Pcg64::seeded(n);
        for (auto& a : v) a = g.below(5) == 0 ? __builtin_nan("") : g.uniform();
        std::vector<double> w = v;
        draw_sort(w);
        std::printf("sort %zu", n);
        for (double a : v) std::printf(" %llu", bits(a));
        std::printf(" |");
        for (double a : w) std::printf(" %llu", bits(a));
        std::printf("\n");
    }
}
"""

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def driver_lines(tmp_path_factory):
    cxx = shutil.which("g++") or shutil.which("c++")
    if not cxx:
        pytest.skip("no C++ compiler")
    d = tmp_path_factory.mktemp("pcg")
    (d / "driver.cpp").write_text(DRIVER)
    subprocess.run([cxx, "-std=c++20", "-O2", "-ffp-contract=off", "-fopenmp", f"-I{ROOT / 'src'}",
                    str(d / "driver.cpp"), str(ROOT / "src" / "core" / "parallel.cpp"), "-o", str(d / "driver")],
                   check=True)
    out = subprocess.run([str(d / "driver")], check=True, capture_output=True, text=True).stdout
    return [ln.split() for ln in out.splitlines()]


def f64(b):
    return struct.unpack("<d", struct.pack("<Q", int(b)))[0]


def test_generator_outputs_and_draws(driver_lines):
    checked = 0
    gens = {}
    for ln in driver_lines:
        kind = ln[0]
        s = int(ln[1]) if kind in ("next", "below", "uniform", "exp", "shuffle") else None
        if kind == "next":
            g = gens.setdefault(("next", s), Pcg(s))
            assert int(ln[2]) == g.next()
        elif kind == "below":
            g = gens.setdefault(("below", s, int(ln[2])), Pcg(s))
            assert int(ln[3]) == g.below(int(ln[2]))
        elif kind in ("uniform", "exp"):
            g = gens.setdefault(("u", s), Pcg(s))
            v = g.uniform() if kind == "uniform" else g.exp_weight()
            assert same(f64(ln[2]), v)
        elif kind == "shuffle":
            g, n = Pcg(s), int(ln[2])
            v = list(range(n))
            g.shuffle(v)
            assert [int(a) for a in ln[3:3 + n]] == v and int(ln[-1]) == g.next()
        else:
            continue
        checked += 1
    assert checked == 4 * (6 + 7 * 6 + 8 + 4)


def test_interval_rules(driver_lines):
    d = [1.0, 2.0, 4.0, 8.0, 16.0, 32.0, 64.0]
    rows = [ln for ln in driver_lines if ln[0] in ("floor", "interp")]
    for ln in rows:
        B, arg = int(ln[1]), f64(ln[2])
        if ln[0] == "floor":
            assert (f64(ln[3]), f64(ln[4])) == floor_interval(d[:B], arg), (B, arg)
        else:
            assert same(f64(ln[3]), interp_percentile(d[:B], arg)), (B, arg)
    assert len(rows) == 3 * (9 + 9)


def test_replicate_map(driver_lines):
    (row,) = [ln[1:] for ln in driver_lines if ln[0] == "map"]
    expect = []
    for i in range(1001):
        g = rep_gen(42, i)
        expect.append(g.below(1000) + g.below(7) / 8)
    assert [f64(b) for b in row] == expect


def test_draw_sort_with_nan_keeps_values(driver_lines):
    rows = [ln for ln in driver_lines if ln[0] == "sort"]
    assert len(rows) == 5
    for ln in rows:
        cut = ln.index("|")
        before, after = ln[2:cut], ln[cut + 1:]
        assert sorted(before) == sorted(after)
        # Between NaN values each run is ascending.
        run = [f64(b) for b in after]
        for a, b in zip(run, run[1:]):
            assert math.isnan(a) or math.isnan(b) or a <= b


def test_worked_example():
    assert indices(42, 0, 10) == [4, 5, 4, 8, 4, 0, 2, 3, 0, 2]
    assert indices(42, 1, 10) == [1, 6, 0, 2, 6, 1, 3, 5, 3, 2]
    draws = m.bootstrap_ci_with_draws(np.arange(10.0), n_resamples=2, random_state=42)[3]
    assert draws[0] == 3.2 and draws[1] == mean_of([1.0, 6, 0, 2, 6, 1, 3, 5, 3, 2])
    assert m.bootstrap_ci_with_draws(np.arange(10.0), "mean", 2, 0.95, 42)[3].tolist() == [3.2, 2.9]
    # Base-11 digits recover how often each index was drawn.
    x = 11.0 ** np.arange(10)
    for i, s in enumerate(np.rint(m.bootstrap_ci_with_draws(x, "mean", 2, 0.95, 42)[3] * 10)):
        counts = [int(s) // 11**k % 11 for k in range(10)]
        assert counts == [indices(42, i, 10).count(k) for k in range(10)]


# ----------------------------------------------------- known answers, small n

X = np.array([2.5, -1.0, 0.0, 3.75, -0.0, 8.0, 1.0 / 3.0, -2.25, 5.5, 0.125, 4.0])


@pytest.mark.parametrize("n", [1, 2, 5, 11])
@pytest.mark.parametrize("seed", [None, 0, 7, 2**64 - 1])
@pytest.mark.parametrize("stat", ["mean", "median", "std"])
def test_bootstrap_ci_known_answer(n, seed, stat):
    x = X[:n]
    B, conf = 23, 0.9
    draws = model_draws(x, CI_STATS[stat], B, seed or 0)
    expect = model_ci(draws, conf)
    assert same(m.bootstrap_ci(x, stat, B, conf, seed), expect)
    est, lo, hi, d = m.bootstrap_ci_with_draws(x, stat=stat, n_resamples=B, conf=conf, random_state=seed)
    assert same((est, lo, hi), expect) and same(d, draws) and d.dtype == np.float64
    if stat == "mean":
        assert same(m.bootstrap_mean_ci(x, B, conf, seed), expect)
        assert same(m.bootstrap_mean(x, B, random_state=seed), expect[0])


@pytest.mark.parametrize("n", [1, 2, 11])
@pytest.mark.parametrize("B", [1, 2, 9])
@pytest.mark.parametrize("stat", ["mean", "median", "std"])
def test_bootstrap_se_known_answer(n, B, stat):
    x = X[:n]
    vals = model_draws(x, SE_STATS[stat], B, 3)
    se = model_se(vals)
    assert same(m.bootstrap_se(x, stat, B, 3), se)
    assert same(m.bootstrap_var(x, stat=stat, n_resamples=B, random_state=3), se * se)


@pytest.mark.parametrize("conf", [0.95, 0.5, 1.5, NAN])
def test_bootstrap_corr_known_answer(conf):
    x = X[:9]
    y = np.array([1.0, 0.5, -2.0, 4.0, 4.0, 3.0, -1.0, 0.0, 2.0])
    assert same(m.bootstrap_corr(x, y, 17, conf, 11), model_corr(x, y, 17, conf, 11))
    # Three points: many replicates draw one point only and are dropped.
    assert same(m.bootstrap_corr(x[:3], y[:3], 40, conf), model_corr(x[:3], y[:3], 40, conf, 0))


def test_defaults():
    x = X
    assert same(m.bootstrap_ci(x), m.bootstrap_ci(x, "mean", 1000, 0.95, 0))
    assert same(m.bootstrap_ci(x), model_ci(model_draws(x, mean_of, 1000, 0), 0.95))
    assert same(m.bootstrap_se(x), m.bootstrap_se(x, "mean", 1000, 0))
    assert same(m.bootstrap_mean_ci(x, 50), m.bootstrap_mean_ci(x, 50, 0.95, 0))


# ------------------------------------------------------------- edge cases

EMPTY = np.array([], dtype=np.float64)


def test_empty_and_zero_replicates():
    for x, B in ((EMPTY, 10), (X, 0)):
        assert same(m.bootstrap_mean(x, B), NAN)
        assert same(m.bootstrap_mean_ci(x, B), NAN3)
        assert same(m.bootstrap_ci(x, "bogus", B), NAN3)  # before the name is looked at
        est, lo, hi, d = m.bootstrap_ci_with_draws(x, "bogus", B)
        assert same((est, lo, hi), NAN3) and d.shape == (0,) and d.dtype == np.float64
        assert same(m.bootstrap_se(x, "mean", B), NAN) and same(m.bootstrap_var(x, "mean", B), NAN)
        assert same(m.bootstrap_corr(x, x, B), NAN3)


def test_one_value():
    x = np.array([3.5])
    assert same(m.bootstrap_ci(x, "median", 5), (3.5, 3.5, 3.5))
    assert same(m.bootstrap_ci(x, "std", 5), (0.0, 0.0, 0.0))
    assert m.bootstrap_se(x, "mean", 5) == 0.0 and math.isnan(m.bootstrap_se(x, "std", 5))


def test_one_replicate():
    est, lo, hi = m.bootstrap_ci(X, "mean", 1, 0.95, 4)
    assert est == lo == hi
    assert m.bootstrap_se(X, "median", 1) == 0.0
    for stat, fn in (("mean", mean_of), ("median", median_of), ("std", pop_std)):
        (v,) = model_draws(SIGNED_X, fn, 1, 6)
        assert same(m.bootstrap_ci(SIGNED_X, stat, 1, 0.95, 6), (v, v, v))
    assert m.bootstrap_se(SIGNED_X, "std", 1, 6) == 0.0 and m.bootstrap_var(SIGNED_X, "std", 1, 6) == 0.0


@pytest.mark.parametrize("stat", ["Mean", "mean ", "", "var"])
def test_unsupported_stat(stat):
    for f in (m.bootstrap_ci, m.bootstrap_ci_with_draws):
        with pytest.raises(ValueError) as e:
            f(X, stat)
        assert str(e.value) == UNSUPPORTED
    assert math.isnan(m.bootstrap_se(X, stat)) and math.isnan(m.bootstrap_var(X, stat))


@pytest.mark.parametrize("n", [7, 30, 31])
def test_median_keeps_signed_zeros_in_draw_order(n):
    # A stable sort keeps -0.0 and 0.0 in draw order, which decides the sign
    # of a zero median.
    x = np.resize([0.0, -0.0, 1.0, -1.0, -0.0, 0.0, 2.0, -3.0, 0.0, -0.0, 0.5], n)
    expect = model_draws(x, median_of, 60, 8)
    assert {math.copysign(1, v) for v in expect if v == 0} == {1.0, -1.0}
    assert same(m.bootstrap_ci_with_draws(x, "median", 60, random_state=8)[3], expect)
    for conf in (0.0, 0.3, 0.95):
        assert same(m.bootstrap_ci(x, "median", 60, conf, 8), model_ci(expect, conf))
    assert same(m.bootstrap_se(x, "median", 60, 8), model_se(expect))


def test_std_divisors_differ():
    d = m.bootstrap_ci_with_draws(X, "std", 200, random_state=1)[3]
    assert same(d, model_draws(X, pop_std, 200, 1))
    assert m.bootstrap_se(X, "std", 200, 1) == model_se(model_draws(X, sample_std, 200, 1))


def test_conf_out_of_range():
    d = sorted(m.bootstrap_ci_with_draws(X, n_resamples=30)[3])
    assert m.bootstrap_mean_ci(X, 30, 1.5)[1:] == (d[0], d[-1])
    assert m.bootstrap_mean_ci(X, 30, NAN)[1:] == (d[0], d[0])


def test_corr_degenerate():
    x = np.arange(10.0)
    assert same(m.bootstrap_corr(x, np.full(10, 2.0), 50), NAN3)
    assert same(m.bootstrap_corr(x, x[:9], 50), NAN3)
    # Ten copies of 0.1 have a rounding-noise variance; still constant.
    tenth = np.full(10, 0.1)
    assert same(m.bootstrap_corr(tenth, x, 50), NAN3) and same(m.bootstrap_corr(x, tenth, 50), NAN3)
    assert same(m.bootstrap_corr(x, -x, 50), (-1.0, -1.0, -1.0))


def test_nan_input_does_not_fail():
    x = np.where(np.arange(60) % 7 == 0, np.nan, np.linspace(-1, 1, 60))
    for stat in ("mean", "median", "std"):
        est, lo, hi, d = m.bootstrap_ci_with_draws(x, stat, 300, random_state=2)
        assert d.shape == (300,) and np.isnan(d).sum() > 0 and math.isnan(est)
        assert math.isnan(m.bootstrap_se(x, stat, 50))
    assert len(m.bootstrap_corr(x, x, 20)) == 3


@pytest.mark.parametrize("B", [2**61, 2**64 - 1])
def test_unallocatable_replicates_raise_memory_error(B):
    x = np.arange(3.0)
    for call in (lambda: m.bootstrap_mean(x, B), lambda: m.bootstrap_mean_ci(x, B),
                 lambda: m.bootstrap_ci(x, "median", B), lambda: m.bootstrap_ci_with_draws(x, "mean", B),
                 lambda: m.bootstrap_se(x, "std", B), lambda: m.bootstrap_var(x, "mean", B),
                 lambda: m.bootstrap_corr(x, x, B)):
        with pytest.raises(MemoryError):
            call()


# ---------------------------------------------- independence of the pool

PARALLEL_SCRIPT = r"""
import sys, numpy as np
from marlox_stats import marlox_stats_rs as m
x = np.random.default_rng(3).standard_normal(701)
y = x * 0.5 + np.random.default_rng(4).standard_normal(701)
out = [np.asarray(m.bootstrap_ci_with_draws(x, s, 997, 0.9, 12)[3]) for s in ("mean", "median", "std")]
out.append(np.array([m.bootstrap_mean(x, 997, 5), *m.bootstrap_mean_ci(x, 997, 0.8, 5)]))
out.append(np.array([m.bootstrap_se(x, s, 997, 9) for s in ("mean", "median", "std")]))
out.append(np.array(m.bootstrap_corr(x, y, 997, 0.95, 6)))
result = np.concatenate(out).tobytes().hex()
"""


def test_results_independent_of_worker_count():
    def run(threads):
        env = dict(os.environ)
        if threads is None:
            env.pop("OMP_NUM_THREADS", None)
        else:
            env["OMP_NUM_THREADS"] = str(threads)
        script = PARALLEL_SCRIPT + "sys.stdout.write(result)\n"
        return subprocess.run([sys.executable, "-c", script], env=env, check=True,
                              capture_output=True, text=True).stdout

    ns = {}
    exec(PARALLEL_SCRIPT, ns)
    here = ns["result"]
    assert run(1) == here and run(3) == here and run(None) == here
    # The draws also match the model (the first ten replicates of each).
    x = np.random.default_rng(3).standard_normal(701)
    got = np.frombuffer(bytes.fromhex(here), dtype=np.float64)
    for k, fn in enumerate((mean_of, median_of, pop_std)):
        assert same(got[k * 997:k * 997 + 10], model_draws(x, fn, 10, 12))


FORK_SCRIPT = r"""
import ctypes, os, sys, time
import numpy as np
from marlox_stats import marlox_stats_rs as m

x = np.random.default_rng(0).standard_normal(500)
if sys.argv[1] == "own":
    m.bootstrap_ci_with_draws(x, "median", 2000)
else:
    # Another library's OpenMP region on the same runtime, before this module ran one.
    gomp = ctypes.CDLL("libgomp.so.1")
    body = ctypes.CFUNCTYPE(None, ctypes.c_void_p)(lambda _: None)
    gomp.GOMP_parallel(body, None, 4, 0)
r, w = os.pipe()
pid = os.fork()
if pid == 0:
    os.write(w, m.bootstrap_ci_with_draws(x, "median", 2000)[3].tobytes())
    os._exit(0)
os.close(w)
deadline = time.monotonic() + 30
while True:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        break
    if time.monotonic() > deadline:  # never leave a hung child behind
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        print("child hung")
        sys.exit(0)
    time.sleep(0.02)
got = b""
while chunk := os.read(r, 1 << 16):
    got += chunk
print(os.waitstatus_to_exitcode(status), got == m.bootstrap_ci_with_draws(x, "median", 2000)[3].tobytes())
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork")
@pytest.mark.parametrize("before", ["own", "gomp"])
def test_forked_child_after_parallel_use(before):
    # The pool's threads are gone in a forked child, whether this module or
    # another library started them; the child must not hang and gets the
    # parent's results.
    if before == "gomp":
        pytest.importorskip("ctypes.util")
        import ctypes.util

        if not ctypes.util.find_library("gomp"):
            pytest.skip("no libgomp")
    out = subprocess.run([sys.executable, "-W", "ignore", "-c", FORK_SCRIPT, before], capture_output=True,
                         text=True, timeout=120, check=True).stdout
    assert out.strip() == "0 True"


# ------------------------------------------------- statistical agreement

def test_agrees_with_scipy_percentile_bootstrap():
    scipy_stats = pytest.importorskip("scipy.stats")
    x = np.random.default_rng(21).standard_normal(200)
    B = 20000
    for stat, fn in (("mean", np.mean), ("median", np.median), ("std", np.std)):
        res = scipy_stats.bootstrap((x,), fn, n_resamples=B, method="percentile", confidence_level=0.9,
                                    random_state=np.random.default_rng(1))
        est, lo, hi = m.bootstrap_ci(x, stat, B, 0.9, 1)
        se = res.standard_error
        # Monte Carlo noise of a bootstrap quantile is a small fraction of the SE at this B.
        tol = 0.15 * se
        assert abs(lo - res.confidence_interval.low) < tol and abs(hi - res.confidence_interval.high) < tol
        # Our "std" SE resamples the n - 1 form; at n = 200 that differs by 0.25%.
        assert abs(m.bootstrap_se(x, stat, B, 1) - se) < 0.05 * se


# ==================================== replicate rules, interval ends, arguments

INF = math.inf

# ------------------------------------------------------------ the generator

@pytest.mark.parametrize("seed", [0, 1, 42, 2**63, 2**64 - 1])
@pytest.mark.parametrize("n", [1, 2, 3, 4, 7, 8, 16, 33])
def test_mean_draws_follow_the_generator(seed, n):
    x = np.cos(np.arange(n) * 1.7) * 3.0
    B = 5
    got = m.bootstrap_ci_with_draws(x, "mean", B, 0.95, seed)[3]
    assert same(got, model_draws(x, mean_of, B, seed))


def test_seed_none_absent_and_zero_agree():
    x = np.linspace(-2.0, 3.0, 13)
    ref = m.bootstrap_ci(x, "median", 40, 0.9, 0)
    assert same(m.bootstrap_ci(x, "median", 40, 0.9), ref)
    assert same(m.bootstrap_ci(x, "median", 40, 0.9, None), ref)
    assert same(ref, model_ci(model_draws(x, median_of, 40, 0), 0.9))
    assert same(m.bootstrap_mean(x, 40), m.bootstrap_mean(x, 40, None))
    assert same(m.bootstrap_se(x, "std", 40), m.bootstrap_se(x, "std", 40, 0))


# ------------------------------------------------------ the interval rule

SIGNED_X = np.array([0.5, -1.25, 3.0, 0.0, -0.0, 2.0, 7.5, -4.0, 1.0 / 3.0, 0.0, 6.0, -0.0])


@pytest.mark.parametrize("conf", [-0.5, -1.0, -3.0, -1e300, -INF, 0.0, 0.5, 0.95, 1.0, 1.5, INF, NAN])
def test_floor_index_ends_for_any_conf(conf):
    # A negative conf puts the lower index above the upper one; both ends
    # are still the sorted draws at those indices.
    B = 37
    for stat, fn in (("mean", mean_of), ("median", median_of), ("std", pop_std)):
        d = model_draws(SIGNED_X, fn, B, 9)
        expect = model_ci(d, conf)
        assert same(m.bootstrap_ci(SIGNED_X, stat, B, conf, 9), expect), stat
        assert same(m.bootstrap_ci_with_draws(SIGNED_X, stat, B, conf, 9)[:3], expect), stat
    assert same(m.bootstrap_mean_ci(SIGNED_X, B, conf, 9), model_ci(model_draws(SIGNED_X, mean_of, B, 9), conf))
    y = np.sin(np.arange(12.0))
    assert same(m.bootstrap_corr(SIGNED_X, y, B, conf, 9), model_corr(SIGNED_X, y, B, conf, 9))


@pytest.mark.parametrize("conf", [-0.6, -0.2, 0.2, 0.6])
def test_signed_zero_ends_keep_draw_order(conf):
    # Median draws of mostly-zero data are a mix of 0.0 and -0.0; a stable
    # sort keeps them in slot order, and the chosen end keeps its sign.
    x = np.array([0.0, -0.0, -0.0, 0.0, 0.0, -0.0, 1.0])
    for B in (9, 30):
        d = model_draws(x, median_of, B, 5)
        assert {math.copysign(1.0, v) for v in d} == {1.0, -1.0}
        assert same(m.bootstrap_ci(x, "median", B, conf, 5), model_ci(d, conf))


def test_signed_zero_sums_start_from_positive_zero():
    z = np.array([-0.0])
    assert same(m.bootstrap_ci(z, "median", 5), (0.0, -0.0, -0.0))
    assert same(m.bootstrap_ci(z, "mean", 5), (0.0, 0.0, 0.0))
    assert same(m.bootstrap_mean(np.array([-0.0, -0.0]), 3), 0.0)
    assert same(m.bootstrap_ci(z, "std", 3), (0.0, 0.0, 0.0))


def test_index_exactly_on_an_integer():
    # B = 40, conf = 0.5: alpha * B = 10 and (1 - alpha) * B = 30 exactly.
    d = sorted(model_draws(SIGNED_X, mean_of, 40, 2))
    assert m.bootstrap_mean_ci(SIGNED_X, 40, 0.5, 2)[1:] == (d[10], d[30])


# ------------------------------------------------------------ statistics

@pytest.mark.parametrize("n", [1, 2, 3, 6])
def test_se_and_var_divisors(n):
    x = SIGNED_X[:n]
    for B in (1, 2, 25):
        for stat, fn in (("mean", mean_of), ("median", median_of), ("std", sample_std)):
            s = model_se(model_draws(x, fn, B, 4))
            assert same(m.bootstrap_se(x, stat, B, 4), s), (stat, B)
            assert same(m.bootstrap_var(x, stat, B, 4), s * s), (stat, B)


def test_se_uses_the_same_resamples_as_the_interval_functions():
    x = np.linspace(0.0, 1.0, 17) ** 2
    for stat in ("mean", "median"):
        d = m.bootstrap_ci_with_draws(x, stat, 50, 0.9, 3)[3].tolist()
        assert same(m.bootstrap_se(x, stat, 50, 3), model_se(d))


@pytest.mark.parametrize("c", [0.1, 0.3, 1 / 3, 0.7, 1.1, 1e9 + 0.1, 2.0])
@pytest.mark.parametrize("n", [1, 7, 20, 400])
def test_equal_values_have_no_spread(c, n):
    # Around the rounded mean of equal values (seven 0.1 average to an inexact
    # number) a one-pass Q/n - m*m or a two-pass spread keeps a trace of
    # rounding, 1e-9 once rooted; equal values answer as exactly equal ones
    # (2.0) do: every resample is the sample again, with no spread.
    x = np.full(n, c)
    assert same(m.bootstrap_ci(x, "std", 60, 0.9, 2), (0.0, 0.0, 0.0))
    est, lo, hi, d = m.bootstrap_ci_with_draws(x, "std", 60, 0.9, 2)
    assert same((est, lo, hi), (0.0, 0.0, 0.0)) and same(d, np.zeros(60))
    assert m.bootstrap_ci(x, "median", 60, 0.9, 2)[1:] == (c, c)
    for stat in ("mean", "median", "std"):
        for B in (1, 200):
            want = NAN if stat == "std" and n == 1 else 0.0
            assert same(m.bootstrap_se(x, stat, B, 0), want) and same(m.bootstrap_var(x, stat, B, 0), want)


# ------------------------------------------------- data far from 1

SX = np.random.default_rng(31).standard_normal(15)
SY = 0.6 * SX + np.random.default_rng(32).standard_normal(15)
ALTS = ("two-sided", "less", "greater")
# Every resampling function, and the power of the data's unit that each of
# its outputs carries (0 for correlations and p-values, 2 for a variance).
SCALED = {
    "bootstrap_mean": (lambda x, y: m.bootstrap_mean(x, 40, 1), 1),
    "bootstrap_mean_ci": (lambda x, y: m.bootstrap_mean_ci(x, 40, 0.9, 1), 1),
    "bootstrap_ci": (lambda x, y: [m.bootstrap_ci(x, s, 40, 0.9, 1) for s in CI_STATS], 1),
    "bootstrap_ci_with_draws": (lambda x, y: [m.bootstrap_ci_with_draws(x, s, 40, 0.9, 1) for s in CI_STATS], 1),
    "bootstrap_se": (lambda x, y: [m.bootstrap_se(x, s, 40, 1) for s in SE_STATS], 1),
    "bootstrap_var": (lambda x, y: [m.bootstrap_var(x, s, 40, 1) for s in SE_STATS], 2),
    "bootstrap_corr": (lambda x, y: m.bootstrap_corr(x, y, 40, 0.9, 1), 0),
    "bootstrap_t_ci_mean": (lambda x, y: m.bootstrap_t_ci_mean(x, 40, 0.9, 1), 1),
    "bootstrap_bca_ci": (lambda x, y: [m.bootstrap_bca_ci(x, s, 40, 0.9, 1) for s in CI_STATS], 1),
    "bayesian_bootstrap_ci": (lambda x, y: [m.bayesian_bootstrap_ci(x, s, 40, 0.9, 1) for s in CI_STATS], 1),
    "block_bootstraps": (lambda x, y: [f(x, 3, 40, 0.9, 1) for f in (
        m.moving_block_bootstrap_mean_ci, m.circular_block_bootstrap_mean_ci, m.stationary_bootstrap_mean_ci)], 1),
    "permutation_corr_test": (lambda x, y: [m.permutation_corr_test(x, y, 40, a, 1) for a in ALTS], 0),
    "permutation_mean_diff_test": (lambda x, y: [m.permutation_mean_diff_test(x, y[:6], 40, a, 1) for a in ALTS],
                                   (1, 0)),
    "influence_mean": (lambda x, y: m.influence_mean(x), 1),
    "jackknife": (lambda x, y: [m.jackknife_mean(x), m.jackknife_mean_ci(x, 0.8), m.delete_d_jackknife_mean(x, 4)], 1),
    "jackknife_after_bootstrap_se_mean": (lambda x, y: m.jackknife_after_bootstrap_se_mean(x, 8, 1), 1),
}


def flat(r):
    """Every float of a result (tuples, arrays, lists of them) in order."""
    if isinstance(r, (list, tuple)):
        return np.concatenate([flat(v) for v in r])
    return np.ravel(np.asarray(r, dtype=np.float64))


@pytest.mark.parametrize("name", SCALED)
def test_data_far_from_one_scale_exactly(name):
    # Squares of data near 2^+-515 overflow or go subnormal; the results must
    # still be those of the unscaled data times the exact power of two, bit
    # for bit wherever that is a normal number (inf or NaN where it
    # overflows, its nearest value or 0 where it is subnormal).
    call, p = SCALED[name]
    ref = flat(call(SX, SY))
    powers = np.resize(np.array(p), ref.size)
    assert np.all(np.isfinite(ref))
    for k in (-1000, -600, -530, -515, -300, 300, 515, 530, 600, 1000):
        got = flat(call(np.ldexp(SX, k), np.ldexp(SY, k)))
        with np.errstate(over="ignore"):
            want = np.ldexp(ref, k * powers)
        normal = np.abs(want) >= np.finfo(float).tiny
        assert same(got[normal & np.isfinite(want)], want[normal & np.isfinite(want)]), k
        assert not np.any(np.isfinite(got[np.isinf(want)])), k
        tiny = ~normal
        assert np.all((got[tiny] == want[tiny]) | (got[tiny] == 0.0)), k


def test_infinite_values():
    x = np.array([1.0, INF, 2.0, 3.0])
    assert same(m.bootstrap_ci(x, "mean", 21, 0.5, 1), model_ci(model_draws(x, mean_of, 21, 1), 0.5))
    assert same(m.bootstrap_ci(x, "median", 21, 0.5, 1), model_ci(model_draws(x, median_of, 21, 1), 0.5))
    assert math.isnan(m.bootstrap_se(x, "mean", 21, 1))
    # Replicates that draw the infinite value have a NaN variance and drop out.
    y = np.array([0.5, 1.0, -2.0, 4.0])
    assert same(m.bootstrap_corr(x, y, 30, 0.8, 1), model_corr(x, y, 30, 0.8, 1))


def test_corr_known_answer_and_drops():
    x = np.array([1.0, 2.0, 2.0, 5.0, -1.0])
    y = np.array([0.0, 1.0, 1.0, 0.0, 3.0])
    for seed in (0, 13):
        got = m.bootstrap_corr(x, y, 64, 0.9, seed)
        assert same(got, model_corr(x, y, 64, 0.9, seed))
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
    assert same(m.bootstrap_corr(SIGNED_X, SIGNED_X[:3], big), NAN3)


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
    for r in (m.bootstrap_mean_ci(SIGNED_X, 3), m.bootstrap_ci(SIGNED_X, "std", 3), m.bootstrap_corr(SIGNED_X, SIGNED_X[::-1].copy(), 3)):
        assert type(r) is tuple and len(r) == 3 and all(type(v) is float for v in r)
    r = m.bootstrap_ci_with_draws(SIGNED_X, "median", 4)
    assert type(r) is tuple and len(r) == 4 and all(type(v) is float for v in r[:3])
    assert isinstance(r[3], np.ndarray) and r[3].dtype == np.float64 and r[3].shape == (4,)
    assert all(type(f(SIGNED_X, n_resamples=3)) is float for f in (m.bootstrap_mean, m.bootstrap_se, m.bootstrap_var))


def test_random_state_conversion():
    x = np.arange(6.0)
    ref = m.bootstrap_ci(x, "mean", 7, 0.9, 1)
    assert same(m.bootstrap_ci(x, "mean", 7, 0.9, True), ref)
    assert same(m.bootstrap_ci(x, "mean", 7, 0.9, np.uint64(1)), ref)
    assert same(m.bootstrap_ci(x, "mean", 7, 0.9, 2**64 - 1), model_ci(model_draws(x, mean_of, 7, 2**64 - 1), 0.9))
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
    x = SIGNED_X.copy()
    y = np.sin(np.arange(12.0))
    for stat in ("mean", "median", "std"):
        m.bootstrap_ci_with_draws(x, stat, 33)
        m.bootstrap_se(x, stat, 33)
    m.bootstrap_corr(x, y, 33)
    assert same(x, SIGNED_X) and same(y, np.sin(np.arange(12.0)))
