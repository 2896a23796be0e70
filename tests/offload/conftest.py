import sys
import threading
import types

import pytest


class Cloud:
    """A stand-in zuvoda.client whose VazoVez records its use and raises where told to."""

    def __init__(self):
        self.clients, self.runs, self.errors, self.result = [], [], {}, object()
        self.gate, self.constructing = threading.Event(), threading.Event()
        self.gate.set()
        self.module = types.ModuleType("zuvoda.client")
        self.module.VazoVez = lambda **kwargs: Client(self, kwargs)

    def fail(self, stage):
        if self.errors.get(stage):
            raise self.errors[stage]


class Client:
    def __init__(self, cloud, kwargs):
        cloud.clients.append(self)
        self.cloud, self.kwargs, self.entered = cloud, list(kwargs.items()), 0
        cloud.constructing.set()
        assert cloud.gate.wait(5)
        cloud.fail("constructor")

    def __enter__(self):
        self.entered += 1
        self.cloud.fail("enter")

    __exit__ = lambda self, *exc_info: None  # noqa: E731 (closing is not watched)

    def run(self, func, *args, **kwargs):
        self.cloud.runs.append((func, args, kwargs, getattr(self, "_warm_session_id", "absent")))
        self.cloud.fail("run")
        return self.cloud.result


@pytest.fixture
def cloud(monkeypatch):
    scripted = Cloud()
    monkeypatch.setitem(sys.modules, "zuvoda.client", scripted.module)
    return scripted
