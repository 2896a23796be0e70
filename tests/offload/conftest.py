import sys
import threading
import types

import pytest


class Cloud:
    """A recording VazoVez in a stand-in zuvoda.client module, failing where told to."""

    def __init__(self):
        self.clients, self.result, self.errors = [], object(), {}
        self.gate, self.constructing = threading.Event(), threading.Event()
        self.gate.set()
        cloud = self

        class VazoVez:
            def __init__(self, **kwargs):
                cloud.clients.append(self)
                self.kwargs, self.entered, self.exited, self.runs = list(kwargs.items()), 0, 0, []
                cloud.constructing.set()
                assert cloud.gate.wait(5)
                cloud.fail("constructor")

            def __enter__(self):
                self.entered += 1
                cloud.fail("enter")

            def __exit__(self, *exc_info):
                self.exited += 1

            def run(self, func, *args, **kwargs):
                self.runs.append((func, args, kwargs, getattr(self, "_warm_session_id", "absent")))
                cloud.fail("run")
                return cloud.result

        self.module = types.ModuleType("zuvoda.client")
        self.module.VazoVez = VazoVez

    def fail(self, stage):
        if self.errors.get(stage) is not None:
            raise self.errors[stage]

    @property
    def runs(self):
        return [run for client in self.clients for run in client.runs]


@pytest.fixture
def cloud(monkeypatch):
    scripted = Cloud()
    monkeypatch.setitem(sys.modules, "zuvoda.client", scripted.module)
    yield scripted
    scripted.gate.set()


@pytest.fixture
def overloaded(monitor, cloud):
    """The monitor in overload with the stand-in client ready, printing nothing."""
    monitor._overloaded, monitor.verbose = True, False
    return monitor
