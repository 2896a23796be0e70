import sys

import pytest
from scripted_machine import ScriptedMachine, ScriptedNvml


@pytest.fixture
def machine(ov, monitor, monkeypatch):
    """Builds a scripted machine for `monitor` and puts its psutil, pynvml and sleep in place."""

    def build(*samples):
        scripted = ScriptedMachine(monitor, samples)
        monkeypatch.setitem(sys.modules, "psutil", scripted.psutil)
        monkeypatch.setitem(sys.modules, "pynvml", scripted.pynvml)
        monkeypatch.setattr(ov, "time", scripted.time)
        return scripted

    return build


@pytest.fixture
def nvml(monkeypatch):
    """Installs a scripted pynvml for the GPU probe."""

    def install(**options):
        scripted = ScriptedNvml(**options)
        monkeypatch.setitem(sys.modules, "pynvml", scripted)
        return scripted

    return install
