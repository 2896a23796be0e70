import sys
import threading
import types

import pytest


class Cloud:
    """Script and record of the stand-in cloud client module."""

    def __init__(self):
        self.clients = []
        self.result = object()
        self.constructor_error = None
        self.enter_error = None
        self.run_error = None
        self.constructor_gate = None
        self.constructing = threading.Event()
        self.module = types.ModuleType("zuvoda.client")
        self.module.VazoVez = self._client_class()

    def _client_class(cloud):
        class VazoVez:
            def __init__(self, **kwargs):
                cloud.clients.append(self)
                self.kwargs = list(kwargs.items())
                self.entered = 0
                self.exited = 0
                self.runs = []
                cloud.constructing.set()
                if cloud.constructor_gate is not None:
                    assert cloud.constructor_gate.wait(5)
                if cloud.constructor_error is not None:
                    raise cloud.constructor_error

            def __enter__(self):
                self.entered += 1
                if cloud.enter_error is not None:
                    raise cloud.enter_error
                return object()

            def __exit__(self, *exc_info):
                self.exited += 1

            def run(self, func, *args, **kwargs):
                warm_id = getattr(self, "_warm_session_id", "absent")
                self.runs.append((func, args, kwargs, warm_id))
                if cloud.run_error is not None:
                    raise cloud.run_error
                return cloud.result

        return VazoVez

    @property
    def runs(self):
        return [run for client in self.clients for run in client.runs]


@pytest.fixture
def cloud(monkeypatch):
    """A recording VazoVez in a stand-in zuvoda.client module."""
    scripted = Cloud()
    monkeypatch.setitem(sys.modules, "zuvoda.client", scripted.module)
    yield scripted
    if scripted.constructor_gate is not None:
        scripted.constructor_gate.set()


@pytest.fixture
def overloaded(monitor, cloud):
    """The monitor in overload with the stand-in client ready, printing nothing."""
    monitor._overloaded = True
    monitor.verbose = False
    return monitor
