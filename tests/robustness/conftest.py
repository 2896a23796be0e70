import logging
import sys

import pytest
from stand_ins import FormattingHandler, InProcessCloud


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
