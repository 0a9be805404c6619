"""Parallel calls on a quiet and on a fully loaded machine.

    python bench/contention.py [--rounds R] [--only SUBSTRING]

For every case it times single calls (median of many) in fresh processes with
OMP_NUM_THREADS=1 and with the default pool, first on the machine as it is,
then with one busy loop per core that this script starts and stops itself
(each loop also ends on its own after a time limit). Columns:

    1T, nT     median time of one call, one thread and the default pool
    scale      1T / nT on the quiet machine
    loaded     nT / 1T with the busy loops running (want <= 1.5)

Other work on the machine shows up in the quiet columns: run it more than
once (--rounds) and read the medians.
"""
import json
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.abspath(__file__)
BUSY_LIMIT_S = 300


def cases():
    import numpy as np

    from marlox_stats import marlox_stats_rs as m

    rng = np.random.default_rng(3)
    x100 = rng.standard_normal(100)
    x2k = rng.standard_normal(2_000)
    big = rng.standard_normal(1_000_000)
    wide = rng.standard_normal((50_000, 20))
    m100 = rng.standard_normal((2_000, 100))
    m512 = rng.standard_normal((2_000, 512))
    ks = np.random.default_rng(0).standard_normal(5_000)  # D about 0.0145: matrices of order 145
    return [
        ("bootstrap_t_ci_mean", "n=100 B=1000", lambda: m.bootstrap_t_ci_mean(x100, 1000, 0.95, 1)),
        ("bayesian_bootstrap_ci mean", "n=100 B=1000", lambda: m.bayesian_bootstrap_ci(x100, "mean", 1000, 0.95, 1)),
        ("bootstrap_ci median", "n=100 B=1000", lambda: m.bootstrap_ci(x100, "median", 1000, 0.95, 1)),
        ("bootstrap_ci median", "n=1000 B=5000", lambda: m.bootstrap_ci(x2k[:1000], "median", 5_000, 0.95, 1)),
        ("rolling_multi_np mean,std", "1e6/w50", lambda: m.rolling_multi_np(big, 50, stats=["mean", "std"])),
        ("rolling_multi_axis0_np mean,std", "5e4x20/w30",
         lambda: m.rolling_multi_axis0_np(wide, 30, stats=["mean", "std"])),
        ("kde_gaussian_np", "n=2000 p=200", lambda: m.kde_gaussian_np(x2k, 200)),
        ("kde_gaussian_np", "n=2e4 p=300", lambda: m.kde_gaussian_np(big[:20_000], 300)),
        ("cov_matrix_np", "2000x100", lambda: m.cov_matrix_np(m100)),
        ("cov_matrix_np", "2000x512", lambda: m.cov_matrix_np(m512)),
        ("xtx_matrix_np", "2000x512", lambda: m.xtx_matrix_np(m512)),
        ("ks_1samp_np exact", "n=5000", lambda: m.ks_1samp_np(ks, "norm", [0.0, 1.0])),
    ]


def child(only):
    out = {}
    for name, size, fn in cases():
        key = f"{name} [{size}]"
        if only and only not in key:
            continue
        fn()
        t0 = time.perf_counter()
        fn()
        est = max(time.perf_counter() - t0, 1e-6)
        reps = int(min(200, max(7, 0.6 / est)))
        times = []
        for _ in range(reps):
            t0 = time.perf_counter()
            fn()
            times.append(time.perf_counter() - t0)
        out[key] = statistics.median(times)
    print(json.dumps(out))


def measure(threads, only):
    env = dict(os.environ)
    env.pop("OMP_NUM_THREADS", None)
    if threads is not None:
        env["OMP_NUM_THREADS"] = str(threads)
    res = subprocess.run([sys.executable, HERE, "--child", only], env=env, capture_output=True, text=True,
                         timeout=600)
    if res.returncode != 0:
        raise SystemExit(res.stderr)
    return json.loads(res.stdout.strip().splitlines()[-1])


def start_busy(count):
    # Each loop also ends by itself, should this script be killed.
    loop = f"import time\nend = time.monotonic() + {BUSY_LIMIT_S}\nwhile time.monotonic() < end: pass"
    return [subprocess.Popen([sys.executable, "-c", loop], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            for _ in range(count)]


def stop_busy(procs):
    for p in procs:
        p.terminate()
    for p in procs:
        try:
            p.wait(timeout=5)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def fmt(t):
    return f"{t * 1e3:9.3f}ms"


def main(argv):
    rounds, only = 1, ""
    if "--rounds" in argv:
        rounds = int(argv[argv.index("--rounds") + 1])
    if "--only" in argv:
        only = argv[argv.index("--only") + 1]
    runs = {k: [] for k in ("q1", "qn", "l1", "ln")}
    for _ in range(rounds):
        runs["q1"].append(measure(1, only))
        runs["qn"].append(measure(None, only))
        busy = start_busy(os.cpu_count() or 1)
        try:
            time.sleep(0.2)
            runs["l1"].append(measure(1, only))
            runs["ln"].append(measure(None, only))
        finally:
            stop_busy(busy)
    med = {k: {c: statistics.median(r[c] for r in v) for c in v[0]} for k, v in runs.items()}
    print(f"{'case':52} {'quiet 1T':>11} {'quiet nT':>11} {'scale':>6} {'loaded 1T':>11} {'loaded nT':>11} "
          f"{'loaded':>6}")
    for c in med["q1"]:
        q1, qn, l1, ln = med["q1"][c], med["qn"][c], med["l1"][c], med["ln"][c]
        print(f"{c:52} {fmt(q1)} {fmt(qn)} {q1 / qn:6.2f} {fmt(l1)} {fmt(ln)} {ln / l1:6.2f}", flush=True)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2] if len(sys.argv) > 2 else "")
    else:
        main(sys.argv[1:])
