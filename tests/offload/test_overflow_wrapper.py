import gc
import inspect
import logging
import pickle
import sys
import weakref

import pytest

OFFLOADING = "Offloading %s() to cloud  (%s)"
COMPLETED = "%s() completed in cloud \u2014 returning result to local"
FAILED = "Cloud offload of %s() failed (%s) \u2014 falling back to local"


def add(a, b=10, *, scale=1):
    """Adds and scales."""
    return (a + b) * scale


class Abort(BaseException):
    pass


def messages(records):
    return [(r.levelno, r.msg, r.args) for r in records()]


@pytest.fixture
def recorder():
    calls = []

    def original(*args, **kwargs):
        calls.append((args, kwargs))
        return "local"

    original.calls = calls
    return original


@pytest.mark.parametrize("overloaded, failed", [(False, False), (False, True), (True, True)])
def test_local_calls_pass_arguments_through_silently(
    monitor, cloud, recorder, records, capsys, overloaded, failed
):
    monitor._overloaded = overloaded
    monitor._vazovez_failed = failed
    wrapper = monitor._make_wrapper(recorder)
    assert wrapper(1, "x", key=[2], args=3, kwargs=4) == "local"
    assert wrapper() == "local"
    assert recorder.calls == [((1, "x"), {"key": [2], "args": 3, "kwargs": 4}), ((), {})]
    assert records() == []
    assert capsys.readouterr().out == ""
    assert cloud.clients == []


def test_each_call_reads_the_overload_flag_afresh(overloaded, cloud):
    wrapper = overloaded._make_wrapper(add)
    flags = [False, True, False, False, 1, 0, "", True]
    results = []
    for flag in flags:
        overloaded._overloaded = flag
        results.append(wrapper(1))
    cloud_result = cloud.result
    assert results == [11, cloud_result, 11, 11, cloud_result, 11, 11, cloud_result]
    assert len(cloud.runs) == 3


def _property_on_class(cls, monitor):
    cls._overloaded = property(lambda self: True)


def _getattribute_on_class(cls, monitor):
    def getattribute(self, name):
        return True if name == "_overloaded" else object.__getattribute__(self, name)

    cls.__getattribute__ = getattribute


def _dict_replaced(cls, monitor):
    monitor.__dict__ = {**monitor.__dict__, "_overloaded": True}


@pytest.mark.parametrize(
    "take_over",
    [_property_on_class, _getattribute_on_class, _dict_replaced],
)
def test_flag_read_honours_later_changes_to_class_and_instance(ov, cloud, take_over):
    class Monitor(ov._OverflowMonitor):
        pass

    monitor = Monitor(False, 85.0, 0.05, "test-key", "http://127.0.0.1:9", None, False)
    wrapper = monitor._make_wrapper(add)
    assert wrapper(1) == 11
    assert wrapper(2) == 12
    take_over(Monitor, monitor)
    assert wrapper(1) is cloud.result
    assert [run[1] for run in cloud.runs] == [(1,)]


@pytest.mark.parametrize(
    "gpu, figures, reason",
    [
        (False, (91.6, 40.2, 55.0, 66.0), "CPU=92%  Mem=40%"),
        (False, (99.5, 0.5, 55.0, 66.0), "CPU=100%  Mem=0%"),
        (True, (2.5, 3.5, 97.49, 100), "CPU=2%  Mem=4%  GPU=97%  GPU-Mem=100%"),
    ],
)
def test_successful_offload_reports_and_returns_the_cloud_result(
    monitor, cloud, recorder, records, capsys, gpu, figures, reason
):
    monitor._overloaded = True
    monitor._gpu_available = gpu
    monitor._cpu_usage, monitor._mem_usage, monitor._gpu_util, monitor._gpu_mem_util = figures
    wrapper = monitor._make_wrapper(recorder)
    assert wrapper(2, b=3) is cloud.result
    assert recorder.calls == []
    assert [run[:3] for run in cloud.runs] == [(recorder, (2,), {"b": 3})]
    assert messages(records) == [
        (logging.INFO, OFFLOADING, ("original", reason)),
        (logging.INFO, COMPLETED, ("original",)),
    ]
    assert capsys.readouterr().out == (
        "\n  \u2191 Overflow \u2192 Cloud: original()\n"
        f"    Reason: {reason}\n\n"
        "  \u2713 original() completed in cloud\n\n"
    )


@pytest.mark.parametrize(
    "break_cloud, call",
    [
        (lambda monitor, cloud: setattr(cloud, "run_error", ValueError("service down")), {}),
        (lambda monitor, cloud: setattr(monitor, "_warm_result", ["not", "a", "dict"]), {}),
        # A user keyword named like run's own parameter collides with it.
        (lambda monitor, cloud: None, {"func": 1}),
    ],
)
def test_cloud_failure_warns_and_runs_locally(
    monitor, cloud, recorder, records, capsys, break_cloud, call
):
    monitor._overloaded = True
    break_cloud(monitor, cloud)
    wrapper = monitor._make_wrapper(recorder)
    assert wrapper(7, **call) == "local"
    assert recorder.calls == [((7,), call)]
    (offloading, warning) = records()
    assert offloading.msg == OFFLOADING
    assert (warning.levelno, warning.msg, warning.args[0]) == (logging.WARNING, FAILED, "original")
    assert isinstance(warning.args[1], Exception)
    assert f"({warning.args[1]})" in warning.getMessage()
    assert capsys.readouterr().out == (
        "\n  \u2191 Overflow \u2192 Cloud: original()\n    Reason: CPU=0%  Mem=0%\n\n"
        "  \u26a0 Cloud failed \u2014 running original() locally\n"
    )
    assert sys.exc_info() == (None, None, None)


def test_local_failure_after_cloud_failure_chains_to_it(overloaded, cloud):
    cloud.run_error = ValueError("service down")

    def fails(x):
        raise KeyError(x)

    with pytest.raises(KeyError) as raised:
        overloaded._make_wrapper(fails)(3)
    assert raised.value.__context__ is cloud.run_error
    assert sys.exc_info() == (None, None, None)


def test_failure_while_reporting_success_falls_back(
    ov, monitor, cloud, recorder, records, monkeypatch
):
    printed = []

    def fragile_print(*args, **kwargs):
        assert kwargs == {} and len(args) <= 1
        printed.append(args[0] if args else "")
        if args and "\u2713" in args[0]:
            raise OSError("stdout closed")

    monkeypatch.setattr(ov, "print", fragile_print, raising=False)
    monitor._overloaded = True
    assert monitor._make_wrapper(recorder)() == "local"
    assert printed[-2:] == [
        "  \u2713 original() completed in cloud",
        "  \u26a0 Cloud failed \u2014 running original() locally",
    ]
    assert [r.msg for r in records()] == [OFFLOADING, COMPLETED, FAILED]
    assert str(records()[-1].args[1]) == "stdout closed"


@pytest.mark.parametrize("run_error", [None, ValueError("down")])
def test_quiet_monitor_prints_nothing(overloaded, cloud, records, capsys, run_error):
    cloud.run_error = run_error
    overloaded._make_wrapper(add)(1)
    assert len(records()) == 2
    assert capsys.readouterr().out == ""


def test_exceptions_outside_exception_pass_through(overloaded, cloud, recorder, records):
    cloud.run_error = Abort()
    with pytest.raises(Abort):
        overloaded._make_wrapper(recorder)(1)
    assert recorder.calls == []
    assert [r.msg for r in records()] == [OFFLOADING]


def test_failure_before_the_cloud_call_reaches_the_caller(overloaded, cloud, recorder):
    overloaded._cpu_usage = "high"
    with pytest.raises(ValueError, match="Unknown format code 'f'"):
        overloaded._make_wrapper(recorder)(1)
    assert recorder.calls == []
    assert cloud.clients == []


def test_wrapper_takes_over_the_identity_of_the_original(monitor):
    add.marker = "kept"
    try:
        wrapper = monitor._make_wrapper(add)
    finally:
        del add.marker
    assert wrapper is not add
    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__module__, wrapper.__doc__) == (
        "add",
        "add",
        __name__,
        "Adds and scales.",
    )
    assert wrapper.__wrapped__ is add and wrapper._original is add
    assert wrapper._overflow_wrapped is True
    assert wrapper.marker == "kept"
    assert inspect.signature(wrapper) == inspect.signature(add)
    assert wrapper.__annotations__ == add.__annotations__


def test_local_run_gives_the_same_results_and_exceptions(monitor):
    problem = ZeroDivisionError("no")

    def divide(a, b):
        if b == 0:
            raise problem
        return a / b

    wrapper = monitor._make_wrapper(divide)
    assert wrapper(6, b=3) == 2.0
    with pytest.raises(ZeroDivisionError) as raised:
        wrapper(1, 0)
    assert raised.value is problem
    with pytest.raises(TypeError, match="unexpected keyword argument 'c'"):
        wrapper(1, c=2)


def test_wrapper_binds_as_a_method(monitor):
    class Counter:
        def __init__(self):
            self.count = 0

        def bump(self, by=1):
            self.count += by
            return self

    Counter.bump = monitor._make_wrapper(Counter.bump)
    counter = Counter()
    assert counter.bump(2) is counter
    assert counter.bump(by=3).count == 5


def test_wrapper_pickles_by_reference_under_the_original_name(monitor, module_writer):
    user_module = module_writer("def compute(x):\n    return x * 2\n")
    wrapper = monitor._make_wrapper(user_module.compute)
    user_module.compute = wrapper
    assert pickle.loads(pickle.dumps(wrapper)) is wrapper
    assert wrapper(4) == 8


def test_wrapper_and_monitor_in_a_cycle_are_collected(ov):
    monitor = ov._OverflowMonitor(False, 85.0, 0.05, "test-key", "http://127.0.0.1:9")
    wrapper = monitor._make_wrapper(add)
    monitor._wrapped_functions[id(add)] = wrapper
    alive = [weakref.ref(monitor), weakref.ref(wrapper)]
    del monitor, wrapper
    gc.collect()
    assert [ref() for ref in alive] == [None, None]
