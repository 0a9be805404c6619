"""Hostile arguments and inputs rewritten mid-call, for every registered function, in a child process."""
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.mark.parametrize("seed", [1, 2])
def test_fuzz_every_function(seed, tmp_path):
    trace = tmp_path / "trace.txt"
    cmd = [sys.executable, os.path.join(HERE, "fuzz_driver.py"), str(seed), "12", str(trace)]
    try:
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=240)
    except subprocess.TimeoutExpired:
        last = trace.read_text().splitlines()[-1:] if trace.exists() else []
        pytest.fail(f"fuzzing hung; last call: {last}")
    if out.returncode != 0:
        last = trace.read_text().splitlines()[-1:] if trace.exists() else []
        pytest.fail(f"exit {out.returncode}\nlast call: {last}\n{out.stdout[-4000:]}\n{out.stderr[-2000:]}")


def test_inputs_rewritten_during_calls(tmp_path):
    # Another process rewrites every array argument while the calls run:
    # results are then meaningless, but no call may read or write outside its
    # buffers (the sanitizer build reports any stray access at once).
    trace = tmp_path / "trace.txt"
    cmd = [sys.executable, "-W", "ignore", os.path.join(HERE, "race_driver.py"), "0.1", str(trace)]
    try:
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=600)
    except subprocess.TimeoutExpired:
        last = trace.read_text().splitlines()[-1:] if trace.exists() else []
        pytest.fail(f"a call under a racing writer hung; last function: {last}")
    if out.returncode != 0:
        last = trace.read_text().splitlines()[-1:] if trace.exists() else []
        pytest.fail(f"exit {out.returncode}\nlast function: {last}\n{out.stdout[-4000:]}\n{out.stderr[-4000:]}")
