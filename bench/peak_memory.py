"""Peak memory of the fused rolling functions against the size of their outputs.

    python bench/peak_memory.py

Each call runs in a fresh process; the peak resident size it adds (ru_maxrss)
is divided by the bytes of the arrays it returns (1.00 = outputs only).
"""
import subprocess
import sys

CASES = [
    ("rolling_multi_np", "1e7, 6 stats", "x = rng.standard_normal(10_000_000)", "m.rolling_multi_np(x, 20, stats=S)"),
    ("rolling_multi_axis0_np", "1e7x1, 6 stats", "x = rng.standard_normal((10_000_000, 1))",
     "m.rolling_multi_axis0_np(x, 20, stats=S)"),
    ("rolling_multi_axis0_np", "1e6x10, 6 stats", "x = rng.standard_normal((1_000_000, 10))",
     "m.rolling_multi_axis0_np(x, 20, stats=S)"),
]

CODE = """
import resource, numpy as np
from marlox_stats import marlox_stats_rs as m
rng = np.random.default_rng(0)
S = ["mean", "std", "var", "count", "min", "max"]
{setup}
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
out = {call}
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
print(peak * 1024, sum(a.nbytes for a in out))
"""


def main():
    print(f"{'function':26} {'size':>16} {'peak MiB':>9} {'outputs MiB':>12} {'ratio':>6}")
    for name, size, setup, call in CASES:
        out = subprocess.run([sys.executable, "-c", CODE.format(setup=setup, call=call)], capture_output=True,
                             text=True, check=True).stdout.split()
        peak, outputs = int(out[0]), int(out[1])
        print(f"{name:26} {size:>16} {peak / 2**20:9.1f} {outputs / 2**20:12.1f} {peak / outputs:6.2f}", flush=True)


if __name__ == "__main__":
    main()
