import pytest

from marlox_stats import marlox_stats_rs as m


@pytest.fixture(scope="session")
def mod():
    return m


