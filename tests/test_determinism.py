"""Results do not depend on the number of worker threads, nor on repetition."""
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
CHILD = os.path.join(HERE, "determinism_child.py")

# Runs the child on two cores, each shared with a busy loop that this code
# starts and ends (the loops also stop on their own after a time limit).
HELD_BACK = r"""
import os, runpy, subprocess, sys
cores = sorted(os.sched_getaffinity(0))[:2]
os.sched_setaffinity(0, cores)
loop = "import time\nend = time.monotonic() + 300\nwhile time.monotonic() < end: pass"
busy = [subprocess.Popen([sys.executable, "-c", loop], stdout=subprocess.DEVNULL) for _ in cores]
try:
    sys.argv = [sys.argv[1]]
    runpy.run_path(sys.argv[0], run_name="__main__")
finally:
    for p in busy:
        p.kill()
        p.wait()
"""


def run(threads, held_back=False):
    env = dict(os.environ)
    env.pop("OMP_NUM_THREADS", None)
    if threads is not None:
        env["OMP_NUM_THREADS"] = str(threads)
    args = [sys.executable, "-c", HELD_BACK, CHILD] if held_back else [sys.executable, CHILD]
    out = subprocess.run(args, env=env, cwd=HERE, capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stderr[-3000:]
    return dict(line.split(" ", 1) for line in out.stdout.splitlines())


def test_thread_count_and_repetition_do_not_change_results():
    base = run(None)
    assert base and "NOT REPEATABLE" not in base.values(), [k for k, v in base.items() if v == "NOT REPEATABLE"]
    for threads in (1, 2, 3):
        other = run(threads)
        assert other.keys() == base.keys()
        differ = [k for k in base if base[k] != other[k]]
        assert not differ, f"OMP_NUM_THREADS={threads} changes {differ}"


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity") or len(os.sched_getaffinity(0)) < 2,
                    reason="needs two cores and CPU affinity")
def test_parallel_calls_finish_with_workers_held_back():
    # A pool of eight on two busy cores: most workers wake late or not at all
    # while the caller works through the chunks itself.
    base = run(1)
    held = run(8, held_back=True)
    assert held.keys() == base.keys()
    differ = [k for k in base if base[k] != held[k]]
    assert not differ, f"a pool held back changes {differ}"
