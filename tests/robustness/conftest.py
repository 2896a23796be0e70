import logging
import sys
import types

import pytest
from stand_ins import CalmPsutil, FormattingHandler, InProcessCloud


@pytest.fixture
def calm_machine(ov, monkeypatch):
    """Calm psutil, no pynvml, no API key, no active monitor, and exit handlers recorded instead of
    registered; returns the list of recorded handlers."""
    monkeypatch.setitem(sys.modules, "psutil", CalmPsutil())
    monkeypatch.setitem(sys.modules, "pynvml", None)
    for name in ("ZUVODA_API_KEY", "VAZOVEZ_API_KEY", "ZUVODA_API_URL"):
        monkeypatch.delenv(name, raising=False)
    registered = []
    monkeypatch.setattr(ov, "atexit", types.SimpleNamespace(register=registered.append))
    monkeypatch.setattr(ov, "_active_monitor", None)
    return registered


@pytest.fixture
def in_process_cloud(monkeypatch):
    """Builds an InProcessCloud and puts its module in place of zuvoda.client."""

    def install(fail_every=0):
        cloud = InProcessCloud(fail_every)
        monkeypatch.setitem(sys.modules, "zuvoda.client", cloud.module)
        return cloud

    return install


@pytest.fixture
def formatted_logs(ov, monkeypatch):
    """The module's records go to a handler of its own that formats them, and no further."""
    handler = FormattingHandler()
    level = ov.logger.level
    monkeypatch.setattr(ov.logger, "propagate", False)
    ov.logger.setLevel(logging.DEBUG)
    ov.logger.addHandler(handler)
    yield handler
    ov.logger.removeHandler(handler)
    ov.logger.setLevel(level)


@pytest.fixture
def user_module(module_writer):
    """Writes a module into a temporary directory (user code to the monitor) and imports it."""
    return lambda source: module_writer(source)
