"""Scripted stand-ins for psutil and pynvml, so the sampling code sees a machine whose load
follows a script. A value given as an exception instance is raised instead of returned."""

import threading
from collections.abc import Callable
from dataclasses import dataclass
from types import SimpleNamespace
from typing import Any

JOIN_TIMEOUT = 10.0

STATE = ("_overloaded", "_scope_wrapped", "_cpu_usage", "_mem_usage", "_gpu_util", "_gpu_mem_util")


class Halt(BaseException):
    """Outside the Exception hierarchy, like KeyboardInterrupt."""


def logged(records):
    return [(r.levelname, r.msg, r.args) for r in records()]


def produce(value):
    if isinstance(value, BaseException):
        raise value
    return value


@dataclass
class Sample:
    """What the machine reports during one sampling pass."""

    cpu: Any = 10.0
    mem: Any = 20.0
    gpu: Any = None  # utilisation rates' `gpu`
    gpu_mem: Any = None  # memory info's (used, total)
    before: Callable[[Any], None] | None = None  # runs on the loop thread as the pass starts


class ScriptedMachine:
    """Serves one Sample per pass. Serving the last one clears the monitor's `_running`, so a
    loop that stops promptly ends right after that pass."""

    def __init__(self, monitor, samples):
        self.monitor = monitor
        self.samples = list(samples)
        self.current = None
        self.cpu_calls = []
        self.memory_calls = 0
        self.nvml_calls = []
        self.sleeps = []
        self.states = []  # monitor state at the start of each pass, then after the last
        self.escaped = []
        self.psutil = SimpleNamespace(
            cpu_percent=self.cpu_percent, virtual_memory=self.virtual_memory
        )
        self.pynvml = SimpleNamespace(
            nvmlDeviceGetUtilizationRates=self.utilization_rates,
            nvmlDeviceGetMemoryInfo=self.memory_info,
        )
        self.time = SimpleNamespace(sleep=self.sleeps.append)

    def state(self):
        return {name: getattr(self.monitor, name) for name in STATE}

    def cpu_percent(self, *args, **kwargs):
        self.cpu_calls.append((args, kwargs))
        if kwargs.get("interval") is None:
            return 0.0
        self.states.append(self.state())
        self.current = self.samples.pop(0)
        if not self.samples:
            self.monitor._running = False
        if self.current.before is not None:
            self.current.before(self.monitor)
        return produce(self.current.cpu)

    def virtual_memory(self):
        self.memory_calls += 1
        return SimpleNamespace(percent=produce(self.current.mem))

    def utilization_rates(self, handle):
        self.nvml_calls.append(("utilization", handle))
        return SimpleNamespace(gpu=produce(self.current.gpu))

    def memory_info(self, handle):
        self.nvml_calls.append(("memory", handle))
        used, total = produce(self.current.gpu_mem)
        return SimpleNamespace(used=used, total=total)

    def run(self, *, running=True, allow_escape=False):
        """Runs the loop on a real thread until it ends; returns the state after each pass."""
        self.monitor._running = running
        previous_hook = threading.excepthook
        threading.excepthook = lambda args: self.escaped.append(args.exc_value)
        try:
            thread = threading.Thread(target=self.monitor._resource_loop, daemon=True)
            thread.start()
            thread.join(JOIN_TIMEOUT)
            alive = thread.is_alive()
            if alive:
                self.monitor._running = False
                thread.join(JOIN_TIMEOUT)
        finally:
            threading.excepthook = previous_hook
        assert not alive, "the loop did not end after its script"
        assert allow_escape or not self.escaped, self.escaped
        self.states.append(self.state())
        return self.states[1:]


class ScriptedNvml:
    """pynvml as the GPU probe uses it; `failures` maps a function name to what it raises."""

    def __init__(self, count=1, name="NVIDIA H100 80GB HBM3", failures=None):
        self.count = count
        self.name = name
        self.failures = failures or {}
        self.calls = []
        self.handles = {}

    def _call(self, function, *args):
        self.calls.append((function, *args))
        if function in self.failures:
            raise self.failures[function]

    def nvmlInit(self):
        self._call("nvmlInit")

    def nvmlDeviceGetCount(self):
        self._call("nvmlDeviceGetCount")
        return self.count

    def nvmlDeviceGetHandleByIndex(self, index):
        self._call("nvmlDeviceGetHandleByIndex", index)
        return self.handles.setdefault(index, object())

    def nvmlDeviceGetName(self, handle):
        self._call("nvmlDeviceGetName", handle)
        return self.name
