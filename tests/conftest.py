import logging
import sys

import pytest

LOGGER_NAME = "zuvoda.overflow"


@pytest.fixture
def ov():
    """The extension module."""
    import zuvoda.overflow

    return zuvoda.overflow


@pytest.fixture
def records(caplog):
    """Log records of the module's logger, at every level."""
    caplog.set_level(logging.DEBUG, logger=LOGGER_NAME)

    def collect():
        return [r for r in caplog.records if r.name == LOGGER_NAME]

    return collect


@pytest.fixture
def monitor(ov):
    """A fresh monitor with an API key, stopped again after the test."""
    created = ov._OverflowMonitor(False, 85.0, 0.05, "test-key", "http://127.0.0.1:9")
    yield created
    created._running = False


@pytest.fixture(autouse=True)
def no_profile_function_left():
    """Every test leaves the thread without a profile function."""
    before = sys.getprofile()
    yield
    after = sys.getprofile()
    sys.setprofile(before)
    assert after is before, f"profile function left installed: {after!r}"
