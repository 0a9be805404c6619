import numpy as np

from marlox_stats import marlox_stats_rs as m
import marlox_stats


def test_imports_both_ways():
    assert marlox_stats.marlox_stats_rs is m
    assert marlox_stats.mean_np(np.array([1.0, 2.0])) == 1.5
