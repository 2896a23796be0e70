"""_OverflowMonitor: construction, pickled state, start() and stop()."""

import ast
import copy
import pathlib
import pickle
import sys
import threading
from unittest import mock
from fractions import Fraction

import pytest


def build(ov, **kwargs):
    return ov._OverflowMonitor(**{"fast": False, "threshold": 85, "check_interval": 0.5,
                                  "api_key": None, "api_url": None, **kwargs})


def bad_type(argument, expected, got):
    return f"Argument '{argument}' has incorrect type (expected {expected}, got {got})"


@pytest.mark.parametrize(
    ("kwargs", "error"),
    [
        ({"threshold": "85"}, TypeError("must be real number, not str")),
        ({"check_interval": None}, TypeError("must be real number, not NoneType")),
        ({"gpu_threshold": "90"}, TypeError(bad_type("gpu_threshold", "float", "str"))),
        ({"api_key": 1}, TypeError(bad_type("api_key", "str", "int"))),
        ({"priority": 1}, TypeError(bad_type("priority", "bool", "int"))),
        ({"flexible": "no"}, TypeError(bad_type("flexible", "bool", "str"))),
        ({"api_url": 1, "priority": 1}, TypeError(bad_type("api_url", "str", "int"))),
        *[({"check_interval": v}, ValueError(
            f"check_interval must be a finite number of seconds, 0 or more, got {v}"))
          for v in (-0.5, float("nan"), float("inf"))],
    ],
)
def test_bad_arguments(ov, kwargs, error):
    with pytest.raises(type(error)) as info:
        build(ov, **kwargs)
    assert str(info.value) == str(error)


KEY, SECOND_KEY, URL = "ZUVODA_API_KEY", "VAZOVEZ_API_KEY", "ZUVODA_API_URL"


@pytest.mark.parametrize(
    ("kwargs", "environment", "key", "url"),
    [
        ({"api_key": "arg", "api_url": "https://arg"},
         {KEY: "z", SECOND_KEY: "v", URL: "https://env"}, "arg", "https://arg"),
        ({"api_key": "", "api_url": ""}, {KEY: "z", URL: "https://env"}, "z", "https://env"),
        ({}, {KEY: "", SECOND_KEY: "v", URL: ""}, "v", ""),
        ({}, {KEY: "", SECOND_KEY: ""}, "", None),
        ({"api_key": ""}, {}, None, None),
    ],
)
def test_key_and_url_resolution(ov, monkeypatch, kwargs, environment, key, url):
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    monitor = build(ov, **kwargs)
    assert (monitor.api_key, monitor.api_url) == (key, ov._DEFAULT_API_URL if url is None else url)


def test_state_follows_the_stub_and_survives_a_round_trip(ov):
    stub = ast.parse(pathlib.Path(ov.__file__).with_name("overflow.pyi").read_text())
    [monitor_class] = [n for n in stub.body if getattr(n, "name", "") == "_OverflowMonitor"]
    declared = [n.target.id for n in monitor_class.body if isinstance(n, ast.AnnAssign)]
    original = build(ov, fast=[1], threshold=True, gpu_threshold=Fraction(181, 2), verbose="",
                     priority=True)
    assert list(vars(original)) == declared
    assert (original.fast, original.threshold, original.gpu_threshold, original.verbose) == (
        True, 1.0, 90.5, False)
    assert [repr(build(ov, threshold=70, **kw).gpu_threshold) for kw in ({}, {"gpu_threshold": 60})
            ] == ["70.0", "60.0"]  # the threshold unless given; a float
    original._cpu_usage, original._running = 55.5, True
    original._monitor_thread = threading.current_thread()
    transient = ("_lock", "_vazovez_lock", "_monitor_thread")
    for restored in (pickle.loads(pickle.dumps(original)), copy.deepcopy(original)):
        assert type(restored) is ov._OverflowMonitor and sorted(vars(restored)) == sorted(declared)
        assert all(vars(restored)[k] == v for k, v in vars(original).items() if k not in transient)
        assert restored._lock is not original._lock and not restored._lock.locked()
        assert restored._monitor_thread is None and original._monitor_thread is not None


def test_start_and_stop(monitor, calm_machine, records):
    def earlier(frame, event, arg):
        pass

    sys.setprofile(earlier)
    try:
        events = []  # the hook replaced: start() installs what it finds
        monitor._profile_hook = lambda frame, event, arg: events.append(event)
        monitor.start()
        len(events)
        thread = monitor._monitor_thread
        assert monitor._running is True and thread.is_alive() and thread.daemon
        assert thread.name == "zuvoda-overflow" and calm_machine == [monitor.stop]
        assert sys.getprofile() is monitor._profile_hook and "c_call" in events
        monitor.start()
        assert monitor._monitor_thread is thread and calm_machine == [monitor.stop]
        monitor._vazovez = client = mock.MagicMock(**{"__exit__.side_effect": OSError("gone")})
        monitor.stop()
        assert sys.getprofile() is earlier
    finally:
        sys.setprofile(None)
    assert monitor._running is False and monitor._monitor_thread is None
    thread.join(timeout=10)
    client.__exit__.assert_called_once_with(None, None, None)  # an error closing it is ignored
    assert not thread.is_alive() and client.verbose is False and monitor._vazovez is None
    assert [r.getMessage() for r in records()][-1:] == ["Overflow monitor stopped."]
    monitor.stop()  # stopped already: nothing more logged
    assert len(records()) == 3


def test_start_without_psutil(monitor, monkeypatch, records):
    monkeypatch.setitem(sys.modules, "psutil", None)
    with pytest.raises(ImportError, match="psutil is required for overflow monitoring"):
        monitor.start()
    assert monitor._running is False and sys.getprofile() is None and records() == []


needs_monitoring = pytest.mark.skipif(sys.version_info < (3, 12),
                                      reason="sys.monitoring arrived in CPython 3.12")


class PushedNames(list):
    """A call stack noting the name of every entry pushed."""

    def append(self, entry):
        self.pushed = [*getattr(self, "pushed", []), entry["name"]]
        super().append(entry)


@needs_monitoring
@pytest.mark.parametrize("tool_id_taken", [False, True])
def test_other_tools_keep_working_while_watching_and_after(
        monitor, calm_machine, records, module_writer, watches, tool_id_taken):
    monitoring, coverage = sys.monitoring, sys.monitoring.COVERAGE_ID
    work = module_writer("def work():\n    return __import__('json').dumps([1])\n").work
    covered, profiled = [], []
    monitoring.use_tool_id(coverage, "coverage-like")
    monitoring.register_callback(coverage, monitoring.events.PY_START,
                                 lambda code, offset: covered.append(code.co_name))
    monitoring.set_events(coverage, monitoring.events.PY_START)
    if tool_id_taken:
        monitoring.use_tool_id(4, "other")
    earlier = lambda frame, event, arg: profiled.append((frame.f_code.co_name, event))  # noqa: E731
    sys.setprofile(earlier)
    try:
        monitor._call_stack = PushedNames()
        monitor.start()
        assert watches(monitor, earlier) is not tool_id_taken
        for _ in range(2):
            work()
        monitor.stop()
        assert sys.getprofile() is earlier
        work()
    finally:
        sys.setprofile(None)
        monitoring.set_events(coverage, 0)
        monitoring.register_callback(coverage, monitoring.events.PY_START, None)
        monitoring.free_tool_id(coverage)
        if tool_id_taken:
            monitoring.free_tool_id(4)
    # The monitor disabled json's code for itself only; the other tools saw every call.
    pushed = monitor._call_stack.pushed
    assert pushed.count("work") == 2 and "dumps" not in pushed
    # Falling back, the monitor's hook replaced the profile function until stop() put it back.
    assert covered.count("dumps") == 3 and profiled.count(("work", "call")) == (
        1 if tool_id_taken else 3)
    fallback = [r.getMessage() for r in records() if "tool id 4" in r.getMessage()]
    assert fallback == (["sys.monitoring tool id 4 is taken by 'other': watching through a "
                         "profile function instead"] if tool_id_taken else [])
    assert monitoring.get_tool(4) is None


@needs_monitoring
@pytest.mark.parametrize("reclassify", [
    lambda m, path: m._filename_cache.__setitem__(path, True),
    lambda m, path: setattr(m, "_filename_cache", {path: True}),
    lambda m, path: setattr(m, "_is_user_code", lambda filename: True),
    lambda m, path: setattr(type(m), "_is_user_code", lambda self, filename: True),
])
def test_code_disabled_as_library_is_watched_again_once_reclassified(
        ov, monitor, calm_machine, reclassify):
    import json

    monitor._call_stack = PushedNames()
    original = ov._OverflowMonitor._is_user_code
    monitor.start()
    try:
        json.dumps([1])
        json.dumps([1])
        reclassify(monitor, json.__file__)
        json.dumps([1])
    finally:
        monitor.stop()
        ov._OverflowMonitor._is_user_code = original
    assert getattr(monitor._call_stack, "pushed", []).count("dumps") == 1
