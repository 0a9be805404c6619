"""Results do not depend on the number of worker threads, nor on repetition."""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def run(threads):
    env = dict(os.environ)
    env.pop("OMP_NUM_THREADS", None)
    if threads is not None:
        env["OMP_NUM_THREADS"] = str(threads)
    out = subprocess.run([sys.executable, os.path.join(HERE, "determinism_child.py")], env=env, cwd=HERE,
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr[-3000:]
    return dict(line.split(" ", 1) for line in out.stdout.splitlines())


def test_thread_count_and_repetition_do_not_change_results():
    base = run(None)
    assert base and "NOT REPEATABLE" not in base.values(), [k for k, v in base.items() if v == "NOT REPEATABLE"]
    for threads in (1, 2):
        other = run(threads)
        assert other.keys() == base.keys()
        differ = [k for k in base if base[k] != other[k]]
        assert not differ, f"OMP_NUM_THREADS={threads} changes {differ}"
