import logging
import re
import sys
import threading
from typing import ClassVar

import psutil
import pytest
from scripted_machine import JOIN_TIMEOUT, Halt, Sample, logged

OVERLOADED = "System overloaded  %s  (threshold=%.0f%%)"
NORMALISED = "Resources normalised  %s"
SAMPLING_FAILED = "Resource sampling failed: %s"
GPU_FAILED = "GPU sampling failed: %s"


def use_gpu(monitor, gpu_threshold=90.0):
    monitor.gpu_threshold = gpu_threshold
    monitor._gpu_available = True
    monitor._nvml_handle = handle = object()
    return handle


def test_only_import_and_priming_when_not_running(monitor, machine, records):
    scripted = machine(Sample())
    assert scripted.run(running=False) == []
    assert scripted.cpu_calls == [((), {"interval": None})]
    assert scripted.memory_calls == 0
    assert records() == []


def test_transitions_are_logged_once_each_way(monitor, machine, records):
    monitor._scope_wrapped = True
    scripted = machine(
        Sample(cpu=50.0),
        Sample(cpu=97.26, mem=41.0),
        Sample(cpu=99.0),
        Sample(cpu=50.0),
        Sample(cpu=40.0),
        Sample(cpu=85.5),
    )
    states = scripted.run()
    assert [s["_overloaded"] for s in states] == [False, True, True, False, False, True]
    # Entering leaves the scope flag alone; leaving re-arms it.
    assert [s["_scope_wrapped"] for s in states] == [True, True, True, False, False, False]
    assert logged(records) == [
        ("WARNING", OVERLOADED, ("CPU=97.3%  Memory=41.0%", 85.0)),
        ("INFO", NORMALISED, ("CPU=50.0%  Memory=20.0%",)),
        ("WARNING", OVERLOADED, ("CPU=85.5%  Memory=20.0%", 85.0)),
    ]
    assert records()[0].getMessage() == (
        "System overloaded  CPU=97.3%  Memory=41.0%  (threshold=85%)"
    )
    assert scripted.cpu_calls == [((), {"interval": None})] + [((), {"interval": 0.05})] * 6
    assert scripted.nvml_calls == []
    assert scripted.sleeps == []


@pytest.mark.parametrize(
    ("cpu", "mem", "status"),
    [
        (85.0, 85.0, None),
        (85.1, 20.0, "CPU=85.1%  Memory=20.0%"),
        (20.0, 85.1, "CPU=20.0%  Memory=85.1%"),
    ],
    ids=["equal-is-within", "cpu", "memory-alone"],
)
def test_threshold_is_strict(monitor, machine, records, cpu, mem, status):
    machine(Sample(cpu=cpu, mem=mem)).run()
    assert monitor._overloaded is (status is not None)
    expected = [] if status is None else [("WARNING", OVERLOADED, (status, 85.0))]
    assert logged(records) == expected


@pytest.mark.parametrize(
    ("gpu", "gpu_mem", "gpu_mem_util", "status"),
    [
        (95, (1, 4), 25.0, "CPU=10.0%  Memory=20.0%  GPU=95.0%  GPU-Mem=25.0%"),
        (90, (1, 4), 25.0, None),
        (10, (3, 3), 100.0, "CPU=10.0%  Memory=20.0%  GPU=10.0%  GPU-Mem=100.0%"),
        # Division first, then the product: 100 / 3 would differ in the last digit.
        (10, (1, 3), 33.33333333333333, None),
        (10, (5, 0), 0.0, None),
    ],
    ids=["utilisation-alone", "equal-is-within", "memory-alone", "division-order", "total-zero"],
)
def test_gpu_sample_and_verdict(monitor, machine, records, gpu, gpu_mem, gpu_mem_util, status):
    handle = use_gpu(monitor)
    scripted = machine(Sample(gpu=gpu, gpu_mem=gpu_mem))
    scripted.run()
    assert scripted.nvml_calls == [("utilization", handle), ("memory", handle)]
    assert type(monitor._gpu_util) is float and monitor._gpu_util == gpu
    assert type(monitor._gpu_mem_util) is float and monitor._gpu_mem_util == gpu_mem_util
    assert monitor._overloaded is (status is not None)
    # The warning names the CPU and memory threshold even when the GPU caused it.
    expected = [] if status is None else [("WARNING", OVERLOADED, (status, 85.0))]
    assert logged(records) == expected


def test_gpu_is_ignored_while_unavailable(monitor, machine, records):
    monitor._nvml_handle = object()
    monitor._gpu_util = monitor._gpu_mem_util = 99.0
    scripted = machine(Sample(), Sample(cpu=90.0))
    states = scripted.run()
    assert [s["_overloaded"] for s in states] == [False, True]
    assert scripted.nvml_calls == []
    assert logged(records) == [("WARNING", OVERLOADED, ("CPU=90.0%  Memory=20.0%", 85.0))]


def test_stored_gpu_figures_count_without_a_handle(monitor, machine, records):
    monitor._gpu_available = True
    monitor._gpu_util = 95.0
    scripted = machine(Sample())
    scripted.run()
    assert scripted.nvml_calls == []
    assert logged(records) == [
        ("WARNING", OVERLOADED, ("CPU=10.0%  Memory=20.0%  GPU=95.0%  GPU-Mem=0.0%", 85.0))
    ]


GPU_LOST = RuntimeError("GPU is lost")


def lose_pynvml(monitor):
    sys.modules["pynvml"] = None


@pytest.mark.parametrize(
    ("failing", "expected"),
    [
        (Sample(gpu=GPU_LOST, gpu_mem=(0, 4)), GPU_LOST),
        (Sample(gpu=5, gpu_mem=GPU_LOST), GPU_LOST),
        (Sample(gpu=5, gpu_mem=(0, 4), before=lose_pynvml), ImportError),
    ],
    ids=["utilization", "memory-info", "import"],
)
def test_failing_gpu_sample_keeps_old_figures(monitor, machine, records, failing, expected):
    use_gpu(monitor)
    scripted = machine(Sample(gpu=95, gpu_mem=(1, 4)), failing)
    states = scripted.run()
    # The old figures stay and still hold the machine overloaded: no "normalised" record.
    assert [(s["_gpu_util"], s["_gpu_mem_util"], s["_overloaded"]) for s in states] == [
        (95.0, 25.0, True),
        (95.0, 25.0, True),
    ]
    (warning, debug) = records()
    assert warning.msg == OVERLOADED
    assert (debug.levelname, debug.msg) == ("DEBUG", GPU_FAILED)
    (exc,) = debug.args
    assert isinstance(exc, expected) if isinstance(expected, type) else exc is expected
    assert scripted.sleeps == []


def test_failing_pass_keeps_partial_stores_and_pauses(monitor, machine, records):
    error = OSError("no /proc/meminfo")
    scripted = machine(Sample(cpu=97.0), Sample(cpu=12.5, mem=error), Sample(cpu=12.5))
    states = scripted.run()
    assert [(s["_cpu_usage"], s["_mem_usage"], s["_overloaded"]) for s in states] == [
        (97.0, 20.0, True),
        (12.5, 20.0, True),
        (12.5, 20.0, False),
    ]
    assert logged(records) == [
        ("WARNING", OVERLOADED, ("CPU=97.0%  Memory=20.0%", 85.0)),
        ("ERROR", SAMPLING_FAILED, (error,)),
        ("INFO", NORMALISED, ("CPU=12.5%  Memory=20.0%",)),
    ]
    assert records()[1].args[0] is error
    assert error.__traceback__ is not None  # bound as an except clause binds it
    assert scripted.sleeps == [0.05]


def test_persistent_failure_pauses_after_every_pass(monitor, machine, records):
    monitor.check_interval = 0.25
    errors = [RuntimeError(f"failure {n}") for n in range(3)]
    scripted = machine(*(Sample(cpu=error) for error in errors))
    scripted.run()
    assert [r.args[0] for r in records() if r.msg == SAMPLING_FAILED] == errors
    assert scripted.sleeps == [0.25, 0.25, 0.25]


class RaiseAt(logging.Filter):
    def __init__(self, level):
        super().__init__()
        self.level = level

    def filter(self, record):
        if record.levelno == self.level:
            raise RuntimeError("handler gone")
        return True


@pytest.mark.parametrize(
    ("initially", "samples", "level", "overloaded", "scope_wrapped"),
    [
        (False, [Sample(cpu=97.0), Sample(cpu=98.0)], logging.WARNING, True, True),
        (True, [Sample(cpu=10.0), Sample(cpu=11.0)], logging.INFO, False, True),
    ],
    ids=["entering", "leaving"],
)
def test_failing_transition_log_keeps_the_new_state(
    ov, monitor, machine, records, initially, samples, level, overloaded, scope_wrapped
):
    monitor._overloaded = initially
    monitor._scope_wrapped = True
    scripted = machine(*samples)
    failing_filter = RaiseAt(level)
    ov.logger.addFilter(failing_filter)
    try:
        states = scripted.run()
    finally:
        ov.logger.removeFilter(failing_filter)
    # The verdict was stored before the log call failed; the next pass sees no transition.
    assert [(s["_overloaded"], s["_scope_wrapped"]) for s in states] == [
        (overloaded, scope_wrapped)
    ] * 2
    ((levelname, msg, args),) = logged(records)
    assert (levelname, msg, str(args[0])) == ("ERROR", SAMPLING_FAILED, "handler gone")
    assert scripted.sleeps == [0.05]


def test_failing_debug_log_fails_the_pass(ov, monitor, machine, records):
    use_gpu(monitor)
    monitor._gpu_util = 95.0
    gpu_error = RuntimeError("GPU is lost")
    scripted = machine(Sample(gpu=gpu_error, gpu_mem=(0, 4)))
    failing_filter = RaiseAt(logging.DEBUG)
    ov.logger.addFilter(failing_filter)
    try:
        scripted.run()
    finally:
        ov.logger.removeFilter(failing_filter)
    ((levelname, msg, (exc,)),) = logged(records)
    assert (levelname, msg, str(exc)) == ("ERROR", SAMPLING_FAILED, "handler gone")
    assert exc.__context__ is gpu_error  # raised while the GPU failure was being handled
    assert monitor._overloaded is False  # the pass ended before its GPU-driven decision
    assert scripted.sleeps == [0.05]


@pytest.mark.parametrize(
    "sample",
    [Sample(mem=Halt()), Sample(gpu=Halt(), gpu_mem=(0, 4))],
    ids=["pass", "gpu-sample"],
)
def test_only_exceptions_are_caught(monitor, machine, records, sample):
    use_gpu(monitor)
    scripted = machine(sample, Sample())
    scripted.run(allow_escape=True)
    assert len(scripted.escaped) == 1 and isinstance(scripted.escaped[0], Halt)
    assert records() == []
    assert scripted.sleeps == []
    assert monitor._running is True


def test_reads_running_and_interval_before_every_pass(monitor, machine):
    def change(monitor):
        monitor.check_interval = 0.2

    def stop(monitor):
        monitor._running = False

    scripted = machine(Sample(before=change), Sample(before=stop), Sample(), Sample())
    scripted.run()
    assert [kwargs for _, kwargs in scripted.cpu_calls] == [
        {"interval": None},
        {"interval": 0.05},
        {"interval": 0.2},
    ]
    assert len(scripted.samples) == 2


class Figure(float):
    """A figure that reports each formatting of itself."""

    requests: ClassVar[list[str]] = []

    def __format__(self, pattern):
        Figure.requests.append(pattern)
        return super().__format__(pattern)


def test_status_text_is_formatted_only_on_transitions(monitor, machine, records, monkeypatch):
    monkeypatch.setattr(Figure, "requests", [])
    scripted = machine(*(Sample(cpu=Figure(n)) for n in (10.0, 20.0, 30.0, 90.0, 91.0)))
    scripted.run()
    assert Figure.requests == [".1f"]
    assert logged(records) == [("WARNING", OVERLOADED, ("CPU=90.0%  Memory=20.0%", 85.0))]


def test_real_psutil(monitor, records, monkeypatch):
    monitor.threshold = -1.0  # every real figure exceeds it
    passes = threading.Semaphore(0)
    real_cpu_percent = psutil.cpu_percent

    def counted(*args, **kwargs):
        result = real_cpu_percent(*args, **kwargs)
        passes.release()
        return result

    monkeypatch.setattr(psutil, "cpu_percent", counted)
    monitor._running = True
    thread = threading.Thread(target=monitor._resource_loop, daemon=True)
    thread.start()
    try:
        for _ in range(4):  # priming, then three passes begun
            assert passes.acquire(timeout=JOIN_TIMEOUT)
    finally:
        monitor._running = False
        thread.join(JOIN_TIMEOUT)
    assert not thread.is_alive()
    assert isinstance(monitor._cpu_usage, float) and 0.0 <= monitor._cpu_usage <= 100.0
    assert isinstance(monitor._mem_usage, float) and 0.0 < monitor._mem_usage <= 100.0
    assert monitor._overloaded is True
    ((levelname, msg, args),) = logged(records)
    assert (levelname, msg, args[1]) == ("WARNING", OVERLOADED, -1.0)
    assert re.fullmatch(r"CPU=\d+\.\d%  Memory=\d+\.\d%", args[0])
