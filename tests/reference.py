"""Reference models and comparison helpers shared by the test files.

Each model is written from the documented arithmetic, independently of the
kernels, so that results can be compared with == where the order is fixed."""
import math
import os
import subprocess
import sys

import numpy as np
import pytest

from marlox_stats import marlox_stats_rs as m

NAN = math.nan


# ---------------------------------------------------------------- comparison


def loop_sum(values, start=0.0):
    """A plain left-to-right sum (Python's sum() compensates from 3.12 on)."""
    s = start
    for v in values:
        s += float(v)
    return s


def same(a, b):
    """Bit-for-bit equality of floats or arrays, NaN equal to NaN, -0.0 != 0.0."""
    a = np.asarray(a, dtype=np.float64)
    b = np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and a.tobytes() == b.tobytes() or (
        a.shape == b.shape and bool(np.all((a == b) & (np.signbit(a) == np.signbit(b)) | (np.isnan(a) & np.isnan(b))))
    )


def unit_mismatches(got, base, k, powers=None, rel=0.0):
    """The outputs of `got`, a result for data scaled by 2^k, that are not
    the unscaled result `base` times 2^(k p): p is powers[key] (0 when not
    given). A product that overflows must be answered by inf or NaN; one in
    the subnormal range is rounded once, as np.ldexp rounds it. Results are
    dicts, tuples or single floats."""
    def items(r):
        return r.items() if isinstance(r, dict) else enumerate(r) if isinstance(r, tuple) else [(None, r)]

    powers = powers or {}
    bad = []
    for (key, b), (_, g) in zip(items(base), items(got)):
        if not isinstance(b, float) or not math.isfinite(b):
            if not (g == b or (g != g and b != b)):
                bad.append((key, g, b))
            continue
        with np.errstate(over="ignore"):
            want = float(np.ldexp(b, k * powers.get(key, 0)))
        if math.isinf(want):
            ok = not math.isfinite(g)
        else:
            ok = g == want or (rel and g == pytest.approx(want, rel=rel))
        if not ok:
            bad.append((key, g, want))
    return bad


# Powers of two beyond [2^-250, 2^250] at both ends, for data read in their unit.
FAR_SCALES = [-1000, -600, -545, 509, 600, 1000]


def close_at_scale(got, peer, k, p, rel=1e-12):
    """Whether got, for data scaled by 2^k, is the peer's value on the unscaled
    data times 2^(k p): within rel where that is a normal number, within two
    subnormal steps below, and not finite where it overflows."""
    with np.errstate(over="ignore"):
        want = float(np.ldexp(peer, k * p))
    if math.isinf(want):
        return not math.isfinite(got)
    if abs(want) < np.finfo(float).tiny:
        return abs(got - want) <= 2 * 5e-324
    return math.isclose(got, want, rel_tol=rel)


def in_unit(x):
    """x scaled by 2^-e, e the exponent that brings its largest finite
    magnitude into [0.5, 1), and e: loops on these values scaled back give
    the results of the data in any unit."""
    big = max((abs(float(v)) for v in x if math.isfinite(v)), default=0.0)
    e = math.frexp(big)[1] if big else 0
    return [math.ldexp(float(v), -e) for v in x], e


def close_scaled(got, want, e, rtol=1e-10, atol=1e-13):
    """got, computed on scaled data, against want, a peer's value on the data
    as read (unscaled), times 2^e (2^(k p) for data scaled by 2^k and an
    output carrying the p-th power of their unit): within rtol (atol in
    want's units) where that is a normal number, not finite where it
    overflows, within the smallest normal where it is subnormal; NaN where
    want is NaN."""
    got = np.asarray(got, dtype=np.float64)
    want = np.asarray(want, dtype=np.float64)
    assert got.shape == want.shape
    with np.errstate(over="ignore"):
        scaled = np.ldexp(want, e)
    tiny = np.finfo(float).tiny
    nan = np.isnan(want)
    assert np.array_equal(np.isnan(got), nan)
    over = np.isinf(scaled) & ~np.isinf(want)
    assert not np.isfinite(got[over]).any()
    small = ~nan & (np.abs(scaled) < tiny)
    assert (np.abs(got[small] - scaled[small]) <= tiny).all()
    normal = ~(nan | over | small)
    np.testing.assert_allclose(np.ldexp(got[normal], -e), want[normal], rtol=rtol, atol=atol)


def outputs_by_thread_count(code, counts):
    """The distinct outputs of `code`, run in a fresh interpreter under each
    worker count: one element when the results do not depend on it."""
    outs = set()
    for n in counts:
        env = dict(os.environ, OMP_NUM_THREADS=str(n))
        outs.add(subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, check=True).stdout)
    return outs


# ---------------------------------------------------------------- correlation


def first_finite(v):
    """The shift of the shifted sums: the first finite value, else 0.0."""
    return next((float(e) for e in v if math.isfinite(e)), 0.0)


def clamp_corr(r):
    """A correlation pulled back into [-1, 1]; NaN stays NaN."""
    return -1.0 if r < -1.0 else 1.0 if r > 1.0 else r


# ---------------------------------------------------------------- order statistics


def total_sorted(x):
    """x sorted by the IEEE total order (-0.0 before +0.0), stably."""
    x = np.asarray(x, dtype=np.float64)
    u = x.view(np.uint64)
    key = np.where(u >> np.uint64(63) == 1, ~u, u | np.uint64(1 << 63))
    return x[np.argsort(key, kind="stable")]


def interp(s, h):
    """The interpolation rule on a sorted array: (1 - f) lo + f hi between
    distinct neighbours, the value itself between two equal ones."""
    lo, hi = math.floor(h), math.ceil(h)
    a, b = float(s[lo]), float(s[hi])
    if lo == hi or a.hex() == b.hex():
        return a
    f = h - lo
    return (1 - f) * a + f * b


def ref_percentile(x, q):
    s = total_sorted(x)
    if len(s) == 1:
        return s[0]
    return interp(s, (len(s) - 1) * (min(max(q, 0.0), 100.0) / 100))


def ref_median(x):
    s = total_sorted(x)
    m = len(s) // 2
    return s[m] if len(s) % 2 else (s[m] + s[m - 1]) * 0.5


def selection_samples(n, seed=0):
    """Inputs that exercise every selection path: spread, ties, signed zeros,
    infinities, one huge outlier, many binades, a constant."""
    rng = np.random.default_rng(seed)
    yield "normal", rng.standard_normal(n)
    yield "ties", rng.integers(0, 5, n).astype(float)
    yield "narrow", 1000.0 + rng.random(n)
    yield "outlier", np.r_[rng.random(n - 1), 1e300]
    yield "infinities", rng.permutation(np.r_[rng.standard_normal(n - 3), math.inf, -math.inf, math.inf])
    yield "signed zeros", rng.choice([-0.0, 0.0, 1.0, -1.0], n)
    yield "zeros only", rng.choice([-0.0, 0.0], n)
    yield "binades", np.exp(rng.standard_normal(n) * 30)
    yield "constant", np.full(n, 3.5)


def central_moments(x):
    """Mean and the second to fourth central moments (divisor n), each a
    plain sum in the order of x around the plain-sum mean."""
    n = len(x)
    mean = loop_sum(x) / n
    s2 = s3 = s4 = 0.0
    for v in x:
        d = float(v) - mean
        d2 = d * d
        s2 += d2
        s3 += d * d2
        s4 += d2 * d2
    return mean, s2 / n, s3 / n, s4 / n


# ---------------------------------------------------------------- robust location and scale


def ref_mad(x):
    m = ref_median(x)
    return ref_median(np.abs(np.asarray(x) - m))


def ref_qn(x):
    x = np.asarray(x)
    i, j = np.triu_indices(len(x), 1)
    with np.errstate(invalid="ignore", over="ignore"):
        d = total_sorted(np.abs(x[i] - x[j]))
        return d[len(d) >> 2] * 2.2219


def ref_trimmed(x, trim):
    s = total_sorted(x)
    g = int(trim * len(s))
    kept = s[g:len(s) - g]
    return kept, loop_sum(kept) / len(kept)


def ref_huber(x, k=1.345, max_iter=30):
    mu, mad = ref_median(x), ref_mad(x)
    if not math.isfinite(mad) or mad == 0 or max_iter == 0:
        return mu
    s = mad * 1.4826
    tol, it = s * 1e-6, 0
    while True:
        psi = w = 0.0
        for v in x:
            u = (float(v) - mu) / s
            if abs(u) <= k:
                psi += u
                w += 1.0
            else:
                psi += k * math.copysign(1.0, u)
                with np.errstate(divide="ignore", invalid="ignore"):
                    w += float(np.float64(k) / abs(u))  # IEEE: k <= 0 may divide by zero
        if w == 0.0:
            return mu
        it += 1
        step = (s * psi) / w
        mu = mu + step
        if abs(step) < tol or it >= max_iter:
            return mu


# ---------------------------------------------------------------- errors and compensated sums


def raises(kind, call, *args, **kw):
    """The message of the exception `call` raises, which must be exactly `kind`."""
    with pytest.raises(kind) as e:
        call(*args, **kw)
    assert type(e.value) is kind
    return str(e.value)


def kahan_ss(values, mean):
    """The sum of squared deviations from mean, Kahan-compensated, in order."""
    total = c = 0.0
    for v in values:
        d = float(v) - mean
        y = d * d - c
        t = total + y
        c = (t - total) - y
        total = t
    return total


# ---------------------------------------------------------------- resampling
# The generator and the interval rules with Python ints and floats; float
# arithmetic here is the same IEEE double arithmetic in the same order.

NAN3 = (NAN, NAN, NAN)
UNSUPPORTED = "Unsupported stat. Use 'mean', 'median', or 'std'."
M64 = (1 << 64) - 1
M128 = (1 << 128) - 1


class Pcg:
    MUL = (0x2360ED051FC65DA4 << 64) | 0x4385DF649FCCF645

    def __init__(self, seed):
        t, w = seed, []
        for _ in range(8):
            t = (t * 0x5851F42D4C957F2D + 0xA17654E46FBE17F3) & M64
            x, r = ((t >> 45) ^ (t >> 27)) & 0xFFFFFFFF, t >> 59
            w.append(((x >> r) | (x << (32 - r))) & 0xFFFFFFFF)
        self.inc = (w[4] | w[5] << 32 | w[6] << 64 | w[7] << 96) | 1
        self.state = ((w[0] | w[1] << 32 | w[2] << 64 | w[3] << 96) + self.inc) & M128
        self._step()

    def _step(self):
        self.state = (self.state * self.MUL + self.inc) & M128

    def next(self):
        self._step()
        hi, lo = self.state >> 64, self.state & M64
        x, r = hi ^ lo, hi >> 58
        return ((x >> r) | (x << (64 - r))) & M64

    def below(self, n):
        zone = ((n << (64 - n.bit_length())) & M64) - 1
        while True:
            p = self.next() * n
            if p & M64 <= zone:
                return p >> 64

    def uniform(self):
        return (self.next() >> 11) * 2.0**-53

    def exp_weight(self):
        return -math.log(max(self.uniform(), 1e-15))

    def shuffle(self, v):
        for j in range(len(v) - 1, 0, -1):
            k = self.below(j + 1)
            v[j], v[k] = v[k], v[j]


def rep_gen(seed, i):
    return Pcg((seed * 0x9E3779B97F4A7C15 + i) & M64)


def median_of(v):
    d, n = sorted(v), len(v)  # stable, by <: the draw sort on NaN-free values
    return d[n // 2] if n % 2 else (d[n // 2 - 1] + d[n // 2]) * 0.5


def floor_interval(d, conf):
    a = (1 - conf) * 0.5

    def at(pos):
        i = 0 if math.isnan(pos) else (len(d) - 1 if pos == math.inf else 0 if pos == -math.inf else math.floor(pos))
        return d[min(max(i, 0), len(d) - 1)]

    return at(a * len(d)), at((1 - a) * len(d))


def interp_percentile(d, p):
    if p <= 0:
        return d[0]
    if p >= 1:
        return d[-1]
    h = (len(d) - 1) * p
    return d[0] if math.isnan(h) else interp(d, h)


# ---------------------------------------------------------------- rolling: running sums and the fused kernel


STATS = ["mean", "std", "var", "count", "min", "max"]


class Kahan:
    def __init__(self):
        self.s = self.e = 0.0

    def add(self, v):
        y = v - self.e
        t = self.s + y
        self.e = (t - self.s) - y
        self.s = t


def share(w):
    """The share of the largest sum (since the last build) below which a sum's
    digits are taken as lost."""
    return min(0.5 / w, 2.0 ** -8)


def engine(x, w):
    """(means, sds): compensated running sums as written. Once the window holds
    only finite values, a sum that is not finite is summed afresh; so is the
    raw sum when the plain running sum of |v| falls below share(w) of its
    largest value since the last build, and the shifted sums, around the
    window's first value, when w*S2 - S1^2 < w*share(w)*(largest S2)."""
    x = [float(v) for v in x]
    n = len(x)
    if n < w:
        return [], []
    s = x[0] if math.isfinite(x[0]) else 0.0
    sh = share(w)

    def raw(k):
        sx, mag = Kahan(), 0.0
        for v in x[k:k + w]:
            sx.add(v)
            mag += abs(v)
        return sx, mag

    def shifted(k):
        s1, s2 = Kahan(), Kahan()
        for v in x[k:k + w]:
            d = v - s
            s1.add(d)
            s2.add(d * d)
        return s1, s2

    sx, mag = raw(0)
    s1, s2 = shifted(0)
    mag_peak, peak = mag, s2.s
    means, sds = [], []
    for k in range(n - w + 1):
        if k:
            new, old = x[k + w - 1], x[k - 1]
            s1.add(new - s)
            s1.add(-(old - s))
            s2.add((new - s) * (new - s))
            s2.add(-((old - s) * (old - s)))
            peak = s2.s if s2.s > peak else peak
            sx.add(new)
            sx.add(-old)
            mag += abs(new) - abs(old)
            mag_peak = mag if mag > mag_peak else mag_peak
            if all(math.isfinite(v) for v in x[k:k + w]):
                if not math.isfinite(sx.s) or mag < sh * mag_peak:
                    sx, mag = raw(k)
                    mag_peak = mag
                if not (math.isfinite(s1.s) and math.isfinite(s2.s)):
                    s1, s2 = shifted(k)
                    peak = s2.s
                if w > 1 and w * s2.s - s1.s * s1.s < w * sh * peak:
                    s = x[k]
                    s1, s2 = shifted(k)
                    peak = s2.s
        means.append(sx.s / w)
        var = (s2.s - (s1.s * s1.s) / w) / (w - 1) if w > 1 else NAN
        sds.append(NAN if math.isnan(var) else math.sqrt(var if var > 0 else 0.0))
    return means, sds


def nan_engine(x, w):
    """(means, sds, zscores) of the NaN-skipping plain running sums. Once no
    infinity is left in the window, sums that are not finite are summed afresh;
    so is the sum of the values when the plain running sum of |v| falls below
    share(w) of its largest value since the last build; with two or more
    values, the shifted sums also when c*S2 - S1^2 falls below
    c*share(w)*(largest S2 since the last build), around the window's first
    non-NaN value."""
    x = [float(v) for v in x]
    s = next((v for v in x if math.isfinite(v)), 0.0)
    sh = share(w)
    tot = s1 = s2 = peak = mag = mag_peak = 0.0
    c = 0
    means, sds, zs = [], [], []
    for i, v in enumerate(x):
        if not math.isnan(v):
            tot += v
            mag += abs(v)
            s1 += v - s
            s2 += (v - s) * (v - s)
            c += 1
        if i >= w and not math.isnan(x[i - w]):
            o = x[i - w]
            tot -= o
            mag -= abs(o)
            s1 -= o - s
            s2 -= (o - s) * (o - s)
            c -= 1
        peak = s2 if s2 > peak else peak
        mag_peak = mag if mag > mag_peak else mag_peak
        win = [u for u in x[max(0, i - w + 1):i + 1] if not math.isnan(u)]
        if all(math.isfinite(u) for u in win):
            if not (math.isfinite(tot) and math.isfinite(mag)) or mag < sh * mag_peak:
                tot = loop_sum(win)
                mag = mag_peak = loop_sum(abs(u) for u in win)
            if not (math.isfinite(s1) and math.isfinite(s2)):
                s1 = loop_sum(u - s for u in win)
                s2 = loop_sum((u - s) * (u - s) for u in win)
                peak = s2
            if c >= 2 and c * s2 - s1 * s1 < c * sh * peak:
                s = win[0]
                s1 = loop_sum(u - s for u in win)
                s2 = loop_sum((u - s) * (u - s) for u in win)
                peak = s2
        means.append(tot / c if c >= 1 else NAN)
        if c >= 2:
            var = (s2 - (s1 * s1) / c) / (c - 1)
            var = var if var > 0 or math.isnan(var) else 0.0  # a NaN variance stays NaN
            sds.append(math.sqrt(var))
        else:
            var = NAN
            sds.append(NAN)
        z = NAN
        if not math.isnan(v) and c >= 2 and var > 0:
            sd = math.sqrt(var)
            if not math.isinf(sd):
                z = ((v - s) - s1 / c) / sd
        zs.append(z)
    return means, sds, zs


def fused(x, w, minp=None, align="trailing", policy="propagate"):
    """Every window summed afresh around its own shift; raw extremes; a NaN
    variance stays NaN, a negative one clamps to 0.0."""
    x = [float(v) for v in x]
    n = len(x)
    out = {k: [] for k in STATS}
    if align == "trailing":
        spans = [(k, k + w) for k in range(n - w + 1)] if n >= w else []
    else:
        h = w // 2
        spans = [(max(0, i - h), min(n, i + h + 1)) for i in range(n)]

    def put(**kv):
        for k in STATS:
            out[k].append(kv[k])

    for lo, hi in spans:
        win = x[lo:hi]
        t = len(win)
        vals = [v for v in win if not math.isnan(v)]
        c = len(vals)
        if align == "trailing" and policy == "propagate":
            if c < t:
                put(**{k: NAN for k in STATS})
                continue
            s = win[0] if math.isfinite(win[0]) else 0.0
            first = True
            second = True
        elif align == "trailing":
            s = vals[0] if vals else 0.0
            p = minp if minp is not None else w
            first = c >= p
            second = c >= max(p, 2)
        else:
            s = vals[0] if vals else 0.0
            r = minp if minp is not None else t
            usable = policy != "propagate" or c == t
            first = usable and c >= r
            second = first and c >= 2
        sx, s1, s2 = Kahan(), Kahan(), Kahan()
        for v in vals:
            d = v - s
            s1.add(d)
            s2.add(d * d)
            sx.add(v)
        var = NAN
        if second:
            cf = float(c)
            mu = s1.s / cf
            var = (s2.s - mu * (mu * cf)) / (cf - 1.0) if c > 1 else (s2.s - mu * (mu * cf))
            if c == 1:  # a window of one: 0/0 clamps to 0.0, an infinity gives NaN
                var = 0.0 if math.isfinite(vals[0]) else NAN
            elif math.isnan(var):
                var = NAN
            else:
                var = var if var > 0 else 0.0
        put(mean=sx.s / c if first else NAN, var=var, std=math.sqrt(var), count=float(c),
            min=min(vals) if first else NAN, max=max(vals) if first else NAN)
    return out


def check_fused(x, w, minp=None, align="trailing", policy="propagate"):
    keep = x.copy()
    got = m.rolling_multi_np(x, w, minp, align, policy, STATS)
    ref = fused(x, w, minp, align, policy)
    for name, a in zip(STATS, got):
        assert same(a, ref[name]), name
    assert same(x, keep)


def messy(n, seed, scale=1.0):
    """Random data with large values that come and go, level jumps far from
    the start and constant runs."""
    rng = np.random.default_rng(seed)
    x = scale * rng.standard_normal(n) + rng.choice([0.0, 3.0, 1e6])
    for _ in range(3):
        i = int(rng.integers(0, n))
        x[i] = rng.choice([1e8, -1e10, 3e12, 1e15]) * (1 + rng.random())
    i = int(rng.integers(0, n // 2))
    x[i:] += rng.choice([1e6, -1e9, 5e11])
    i, j = sorted(rng.integers(0, n, 2))
    x[i:j + 1] = x[i]
    return x


# ---------------------------------------------------------------- time series


def ref_mean(x):
    return loop_sum(x, -0.0) / len(x)


def ref_lag_sum(x, mx, y, my, k):
    s = 0.0
    for t in range(k, len(x)):
        s += (float(x[t]) - mx) * (float(y[t - k]) - my)
    return s


def ref_acf(x, L):
    n = len(x)
    if all(v == x[0] for v in x):
        return [1.0] + [NAN] * L
    mu = ref_mean(x)
    c0 = ref_lag_sum(x, mu, x, mu, 0) / n
    if c0 <= 0:
        return [1.0] + [NAN] * L
    return [1.0] + [ref_lag_sum(x, mu, x, mu, k) / (c0 * n) for k in range(1, L + 1)]


def frac_solve(A, b):
    """Gaussian elimination over the rationals; None when singular."""
    k = len(b)
    M = [list(A[i]) + [b[i]] for i in range(k)]
    for c in range(k):
        p = next((i for i in range(c, k) if M[i][c] != 0), None)
        if p is None:
            return None
        M[c], M[p] = M[p], M[c]
        for i in range(k):
            if i != c and M[i][c] != 0:
                f = M[i][c] / M[c][c]
                M[i] = [a - f * b for a, b in zip(M[i], M[c])]
    return [M[i][k] / M[i][i] for i in range(k)]
