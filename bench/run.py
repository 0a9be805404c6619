"""Benchmarks: our function against the call a user would write instead.

    python bench/run.py [family ...]

Each module bench/bench_<family>.py defines `benchmarks()`, yielding
(name, size, ours, peer, peer_name) where `ours` and `peer` are zero-argument
callables over the same data. Times are the best of several repeats, measured
in this process; the ratio is ours / peer (below 1 means we are faster).
"""
import importlib
import os
import sys
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


def best_time(fn, min_total=0.2, repeats=5):
    t = timeit.Timer(fn)
    number, _ = t.autorange()
    number = max(1, int(number * min_total / 0.2))
    return min(t.repeat(repeat=repeats, number=number)) / number


def fmt(t):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if t >= scale:
            return f"{t / scale:8.2f} {unit}"
    return f"{t / 1e-9:8.2f} ns"


def families():
    return sorted(f[len("bench_"):-3] for f in os.listdir(HERE) if f.startswith("bench_") and f.endswith(".py"))


def main(argv):
    chosen = argv or families()
    print(f"{'function':34} {'size':>10} {'ours':>12} {'peer':>12} {'ratio':>7}  peer call")
    for fam in chosen:
        mod = importlib.import_module(f"bench_{fam}")
        print(f"-- {fam}")
        for name, size, ours, peer, peer_name in mod.benchmarks():
            to = best_time(ours)
            tp = best_time(peer)
            print(f"{name:34} {size:>10} {fmt(to)} {fmt(tp)} {to / tp:7.3f}  {peer_name}", flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
