"""The resource loop against a machine that follows a script, and the GPU probe's messages."""

import contextlib
import sys
import types

import pytest

LOST = RuntimeError("GPU is lost")
A = "CPU=10.0%  Memory=20.0%"


class Halt(BaseException):  # outside Exception, like KeyboardInterrupt: the loop lets it through
    pass


def produce(value):
    if isinstance(value, BaseException):
        raise value
    return value


OVER = "WARNING System overloaded  {}  (threshold=85%)"
NORMAL = "INFO Resources normalised  {}"
G = "  GPU={}%  GPU-Mem={}%"
ERROR = "ERROR Resource sampling failed: {}"
# (samples, GPU on, overloaded after each pass, log lines, sleeps, final figures or None)
LOOP_CASES = {
    "equal-is-within": ([(85.0, 85.0)], False, [False], [], [], (85.0, 85.0, 0.0, 0.0)),
    "memory-alone": ([(20.0, 85.1)], False, [True], [OVER.format("CPU=20.0%  Memory=85.1%")],
                     [], None),
    "once-each-way": (
        [(50.0, 20.0), (97.26, 41.0), (99.0, 20.0), (50.0, 20.0), (40.0, 20.0), (85.5, 20.0)],
        False, [False, True, True, False, False, True],
        [OVER.format("CPU=97.3%  Memory=41.0%"), NORMAL.format("CPU=50.0%  Memory=20.0%"),
         OVER.format("CPU=85.5%  Memory=20.0%")], [], (85.5, 20.0, 0.0, 0.0)),
    "gpu-utilisation": ([(10.0, 20.0, 95, (1, 4))], True, [True], [OVER.format(A + G.format(
        "95.0", "25.0"))], [], (10.0, 20.0, 95.0, 25.0)),
    "gpu-equal-is-within": ([(10.0, 20.0, 90, (1, 4))], True, [False], [], [], None),
    "gpu-memory": ([(10.0, 20.0, 10, (3, 3))], True, [True], [OVER.format(A + G.format(
        "10.0", "100.0"))], [], (10.0, 20.0, 10.0, 100.0)),
    # Division first, then the product: 100 / 3 would differ in the last digit.
    "gpu-division-order": ([(10.0, 20.0, 10, (1, 3))], True, [False], [], [],
                           (10.0, 20.0, 10.0, 33.33333333333333)),
    "gpu-total-zero": ([(10.0, 20.0, 10, (5, 0))], True, [False], [], [], (10.0, 20.0, 10.0, 0.0)),
    # The old GPU figures stay and still hold the machine overloaded.
    "gpu-lost": ([(10.0, 20.0, 95, (1, 4)), (10.0, 20.0, LOST, (0, 4)), (10.0, 20.0, 5, LOST)],
                 True, [True, True, True], [OVER.format(A + G.format("95.0", "25.0"))]
                 + ["DEBUG GPU sampling failed: GPU is lost"] * 2, [], (10.0, 20.0, 95.0, 25.0)),
    # A failed pass keeps what it stored and pauses, each time; the loop goes on.
    "sampling-fails": ([(97.0, 20.0), (12.5, OSError("no meminfo")), (RuntimeError("a"), 1)],
                       False, [True, True, True], [OVER.format("CPU=97.0%  Memory=20.0%"),
                       ERROR.format("no meminfo"), ERROR.format("a")], [0.05] * 2,
                       (12.5, 20.0, 0.0, 0.0)),
    "halt-escapes": ([(10.0, Halt())], False, [False], [], [], None),
}


# _resource_loop runs on this thread, one sample (cpu, mem[, gpu, (used, total)]) per pass; the
# last one clears `_running`.
@pytest.mark.parametrize("case", LOOP_CASES.values(), ids=LOOP_CASES)
def test_resource_loop(ov, monitor, monkeypatch, records, case):
    samples, gpu, overloaded, logs, sleeps, figures = case
    script, passes, slept, readings, current = list(samples), [], [], [], []
    ns = types.SimpleNamespace

    def cpu_percent(*, interval):
        readings.append(interval)
        if interval is None:
            return 0.0
        if len(readings) > 2:
            passes.append((monitor._overloaded, monitor._scope_wrapped))
        if not script:
            raise Halt("the loop went on after its script")
        current[:] = script.pop(0)
        monitor._running = bool(script)
        return produce(current[0])

    monkeypatch.setitem(sys.modules, "psutil", ns(
        cpu_percent=cpu_percent, virtual_memory=lambda: ns(percent=produce(current[1]))))
    monkeypatch.setitem(sys.modules, "pynvml", ns(
        nvmlDeviceGetUtilizationRates=lambda handle: ns(gpu=produce(current[2])),
        nvmlDeviceGetMemoryInfo=lambda h: ns(**dict(zip(("used", "total"), produce(current[3]))))))
    monkeypatch.setattr(ov, "time", ns(sleep=slept.append))
    if gpu:
        monitor.gpu_threshold, monitor._gpu_available, monitor._nvml_handle = 90.0, True, object()
    monitor._running = monitor._scope_wrapped = True
    halts = any(isinstance(v, Halt) for sample in samples for v in sample)
    with pytest.raises(Halt) if halts else contextlib.nullcontext():
        monitor._resource_loop()
    passes.append((monitor._overloaded, monitor._scope_wrapped))
    assert readings[0] is None and set(readings[1:]) <= {monitor.check_interval}
    assert [f"{r.levelname} {r.getMessage()}" for r in records()] == logs
    assert [o for o, _ in passes] == overloaded
    # Entering overload leaves the scope flag alone; leaving it re-arms wrapping.
    left = [was and not now for was, now in zip([False, *overloaded], overloaded)]
    assert [s for _, s in passes] == [not any(left[:i + 1]) for i in range(len(left))]
    assert slept == sleeps
    assert figures is None or figures == (
        monitor._cpu_usage, monitor._mem_usage, monitor._gpu_util, monitor._gpu_mem_util)


NOT_INSTALLED = "pynvml not installed — GPU monitoring disabled"
UNAVAILABLE = "GPU monitoring unavailable: {}"
DEVICE = "GPU monitoring active  device={}  gpu_threshold=90%"
# (count, name or what a call raises, message, GPU available afterwards)
PROBE_CASES = {
    "missing": (None, None, NOT_INSTALLED, False),
    "import-error-inside": (1, {"init": ImportError("libnvidia-ml.so.1")}, NOT_INSTALLED, False),
    "init-fails": (1, {"init": RuntimeError("no lib")}, UNAVAILABLE.format("no lib"), False),
    "no-device": (0, None, "pynvml: no NVIDIA GPUs found — GPU monitoring disabled", False),
    "bytes": (2, "Quadro RTX™".encode(), DEVICE.format("Quadro RTX™"), True),
    "str": (2, "Tesla T4", DEVICE.format("Tesla T4"), True),
    # Once the handle is there the GPU counts as in use, even if naming it fails.
    "name-fails": (1, {"name": RuntimeError("unknown")}, UNAVAILABLE.format("unknown"), True),
}


@pytest.mark.parametrize("case", PROBE_CASES.values(), ids=PROBE_CASES)
def test_gpu_probe(monitor, records, monkeypatch, case):
    count, name, message, available = case
    handles, raises = [], name if isinstance(name, dict) else {}
    nvml = None if count is None else types.SimpleNamespace(
        nvmlInit=lambda: produce(raises.get("init")), nvmlDeviceGetCount=lambda: count,
        nvmlDeviceGetHandleByIndex=lambda i: handles.append(i) or f"handle {i}",
        nvmlDeviceGetName=lambda h: produce(raises.get("name", h == "handle 0" and name)))
    monkeypatch.setitem(sys.modules, "pynvml", nvml)
    monitor.gpu_threshold = 90.0
    assert monitor._init_gpu() is None
    assert [(r.levelname, r.getMessage()) for r in records()] == [("INFO", message)]
    assert handles == ([0] if available else [])
    assert (monitor._nvml_handle, monitor._gpu_available) == (
        ("handle 0", True) if available else (None, False))
