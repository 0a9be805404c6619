"""Hostile arguments and inputs rewritten mid-call, for every registered function, in a child process."""
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))


def run_driver(script, args, trace, timeout):
    """Runs a driver in a child process; a crash or hang fails naming the last traced call."""
    cmd = [sys.executable, "-W", "ignore", os.path.join(HERE, script), *args, str(trace)]
    try:
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        last = trace.read_text().splitlines()[-1:] if trace.exists() else []
        pytest.fail(f"{script} hung; last call: {last}")
    if out.returncode != 0:
        last = trace.read_text().splitlines()[-1:] if trace.exists() else []
        pytest.fail(f"exit {out.returncode}\nlast call: {last}\n{out.stdout[-4000:]}\n{out.stderr[-4000:]}")


@pytest.mark.parametrize("seed", [1, 2])
def test_fuzz_every_function(seed, tmp_path):
    run_driver("fuzz_driver.py", [str(seed), "12"], tmp_path / "trace.txt", 240)


def test_inputs_rewritten_during_calls(tmp_path):
    # Another process rewrites every array argument while the calls run:
    # results are then meaningless, but no call may read or write outside its
    # buffers (the sanitizer build reports any stray access at once).
    run_driver("race_driver.py", ["0.1"], tmp_path / "trace.txt", 600)
