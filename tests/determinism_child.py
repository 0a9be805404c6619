"""Prints a fingerprint of one representative call of every registered function."""
import sys

from calls import find_calls, fingerprint
from marlox_stats import marlox_stats_rs as m

for name in m.__all__:
    f = getattr(m, name)
    if isinstance(f, type):
        continue
    ok, _ = find_calls(f)
    if ok is not None:
        first, second = fingerprint(f(*ok)), fingerprint(f(*ok))
        print(name, first if first == second else "NOT REPEATABLE")
sys.stdout.flush()
