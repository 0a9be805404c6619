"""Fast, exact statistics over NumPy float64 arrays."""
from . import marlox_stats_rs
from .marlox_stats_rs import *  # noqa: F401,F403

__all__ = list(marlox_stats_rs.__all__)
