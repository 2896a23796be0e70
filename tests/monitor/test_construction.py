"""_OverflowMonitor's constructor, its attributes and its pickled state."""

import copy
import pickle
import threading
from decimal import Decimal
from fractions import Fraction

import pytest

LockType = type(threading.Lock())


def build(ov, *args, **kwargs):
    arguments = {"fast": False, "threshold": 85, "check_interval": 0.5, "api_key": None,
                 "api_url": None, **kwargs}
    return ov._OverflowMonitor(*args, **arguments)


def test_initial_values(ov):
    # Their order, the pickled state's, is checked against the typing stub.
    state = vars(build(ov))
    assert (state["threshold"], state["check_interval"], state["gpu_threshold"]) == (85.0, 0.5, 85.0)
    assert all(type(state[k]) is float for k in ("threshold", "check_interval", "gpu_threshold"))
    assert state["fast"] is False and state["verbose"] is True
    assert state["api_key"] is None and state["api_url"] == ov._DEFAULT_API_URL
    for name in ("_running", "_overloaded", "_gpu_available", "_scope_wrapped", "_vazovez_failed"):
        assert state[name] is False
    for name in ("_cpu_usage", "_mem_usage", "_gpu_util", "_gpu_mem_util"):
        assert state[name] == 0.0 and type(state[name]) is float
    for name in ("_nvml_handle", "_monitor_thread", "_original_profile", "_vazovez"):
        assert state[name] is None
    assert state["_call_stack"] == [] and state["_heavy_signatures"] == set()
    assert state["_wrapped_functions"] == {} == state["_filename_cache"] == state["_warm_result"]
    assert isinstance(state["_lock"], LockType) and isinstance(state["_vazovez_lock"], LockType)
    assert state["_exclude_prefixes"] == ov._compute_exclude_prefixes()


def test_containers_and_locks_are_per_instance(ov):
    first, second = build(ov), build(ov)
    for name in ("_call_stack", "_wrapped_functions", "_heavy_signatures", "_filename_cache",
                 "_lock", "_vazovez_lock", "_warm_result"):
        assert getattr(first, name) is not getattr(second, name)


def test_conversions(ov):
    monitor = build(ov, fast=[1], threshold=True, check_interval=0, gpu_threshold=90,
                    verbose="", priority=True, flexible=False)
    assert monitor.fast is True and monitor.verbose is False
    assert monitor.threshold == 1.0 and monitor.check_interval == 0.0
    assert monitor.gpu_threshold == 90.0 and type(monitor.gpu_threshold) is float
    assert "priority" not in vars(monitor) and "flexible" not in vars(monitor)


@pytest.mark.parametrize(
    "kwargs, thresholds",
    [
        ({"threshold": 150.0, "gpu_threshold": -1}, (150.0, -1.0)),  # no range check
        ({"gpu_threshold": Decimal("92.5")}, (85.0, 92.5)),  # through the number protocol
        ({"gpu_threshold": Fraction(181, 2)}, (85.0, 90.5)),
    ],
)
def test_thresholds_become_floats_unchecked(ov, kwargs, thresholds):
    monitor = build(ov, **kwargs)
    assert (monitor.threshold, monitor.gpu_threshold) == thresholds
    assert type(monitor.gpu_threshold) is float


class Text(str):
    pass


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"threshold": "85"}, "must be real number, not str"),
        ({"check_interval": None}, "must be real number, not NoneType"),
        ({"gpu_threshold": "90"},
         "Argument 'gpu_threshold' has incorrect type (expected float, got str)"),
        ({"api_key": 1}, "Argument 'api_key' has incorrect type (expected str, got int)"),
        ({"api_key": Text("k")}, "Argument 'api_key' has incorrect type (expected str, got Text)"),
        ({"api_url": b"u"}, "Argument 'api_url' has incorrect type (expected str, got bytes)"),
        ({"priority": 1}, "Argument 'priority' has incorrect type (expected bool, got int)"),
        ({"flexible": "no"}, "Argument 'flexible' has incorrect type (expected bool, got str)"),
        # Checks run in order: the first bad argument is the one reported.
        ({"threshold": "x", "api_key": 1}, "must be real number, not str"),
        ({"api_url": 1, "priority": 1},
         "Argument 'api_url' has incorrect type (expected str, got int)"),
    ],
)
def test_bad_arguments(ov, kwargs, message):
    with pytest.raises(TypeError) as info:
        build(ov, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("interval", [-0.5, float("nan"), float("inf")])
def test_unusable_check_interval(ov, interval):
    with pytest.raises(ValueError, match="check_interval must be a finite number"):
        build(ov, check_interval=interval)


def test_truth_test_failure_propagates_first(ov):
    class Undecided:
        def __bool__(self):
            raise ValueError("undecided")

    with pytest.raises(ValueError, match="undecided"):
        build(ov, fast=Undecided(), threshold="not a number")


@pytest.mark.parametrize(
    "argument, zuvoda_key, vazovez_key, expected",
    [
        ("arg", "zuvoda", "vazovez", "arg"),
        ("", "zuvoda", "vazovez", "zuvoda"),
        (None, None, "vazovez", "vazovez"),
        (None, "", "vazovez", "vazovez"),
        (None, None, None, None),
        (None, "", "", ""),
        ("", None, None, None),
    ],
)
def test_api_key_resolution(ov, monkeypatch, argument, zuvoda_key, vazovez_key, expected):
    for name, value in (("ZUVODA_API_KEY", zuvoda_key), ("VAZOVEZ_API_KEY", vazovez_key)):
        if value is not None:
            monkeypatch.setenv(name, value)
    assert build(ov, api_key=argument).api_key == expected


@pytest.mark.parametrize(
    "argument, variable, expected",
    [
        ("https://arg", "https://env", "https://arg"),
        ("", "https://env", "https://env"),
        (None, "", ""),
        (None, None, "default"),
    ],
)
def test_api_url_resolution(ov, monkeypatch, argument, variable, expected):
    if variable is not None:
        monkeypatch.setenv("ZUVODA_API_URL", variable)
    if expected == "default":
        expected = ov._DEFAULT_API_URL
    assert build(ov, api_url=argument).api_url == expected


def test_module_globals_are_late_bound(ov, monkeypatch):
    monkeypatch.setattr(ov, "_DEFAULT_API_URL", "https://elsewhere.example")
    monkeypatch.setattr(ov, "_compute_exclude_prefixes", lambda: ("/only",))
    monitor = build(ov)
    assert monitor.api_url == "https://elsewhere.example"
    assert monitor._exclude_prefixes == ("/only",)


def test_failing_prefix_computation_propagates(ov, monkeypatch):
    def broken():
        raise OSError("no sysconfig")

    monkeypatch.setattr(ov, "_compute_exclude_prefixes", broken)
    with pytest.raises(OSError, match="no sysconfig"):
        build(ov)


def comparable(state):
    return {k: v for k, v in state.items() if k not in ("_lock", "_vazovez_lock")}


@pytest.mark.parametrize(
    "clone",
    [lambda m: pickle.loads(pickle.dumps(m)), copy.copy, copy.deepcopy],
    ids=["pickle", "copy", "deepcopy"],
)
def test_round_trip(ov, clone):
    original = build(ov, api_key="key", gpu_threshold=70)
    original._cpu_usage = 55.5
    original._running = True
    original._filename_cache["/x.py"] = True
    restored = clone(original)
    assert type(restored) is ov._OverflowMonitor
    assert sorted(vars(restored)) == sorted(vars(original))
    assert comparable(vars(restored)) == comparable(vars(original))
    assert restored._lock is not original._lock and not restored._lock.locked()
    assert restored._vazovez_lock is not original._vazovez_lock
    assert restored._monitor_thread is None


def test_getstate_leaves_the_instance_alone(ov):
    monitor = build(ov)
    monitor._monitor_thread = threading.current_thread()
    state = monitor.__getstate__()
    assert "_lock" not in state and "_vazovez_lock" not in state and "_monitor_thread" not in state
    assert isinstance(monitor._lock, LockType) and monitor._monitor_thread is not None
    assert state is not vars(monitor)


def test_setstate_replaces_transients_and_accepts_pairs(ov):
    monitor = build(ov)
    stale_lock = threading.Lock()
    assert monitor.__setstate__([("_lock", stale_lock), ("_monitor_thread", 1), ("extra", 2)]) is None
    assert monitor._lock is not stale_lock and monitor._monitor_thread is None
    assert monitor.extra == 2
