"""overflow(): checks, the monitor it replaces and builds, the scope it wraps and pre-warms."""

import sys
import types

import pytest


class PreviousMonitor:
    def __init__(self):
        self.stops = 0

    def stop(self):
        self.stops += 1


def stand_in_frame(filename="/nowhere/script.py"):
    return types.SimpleNamespace(f_globals={}, f_code=types.SimpleNamespace(co_filename=filename))


@pytest.fixture
def entry(ov, calm_machine, monkeypatch):
    """overflow() on a calm machine, with every monitor it builds recorded and stopped
    afterwards, and its pre-warm recorded instead of sent."""
    built = []

    class Recorded(ov._OverflowMonitor):
        def __init__(self, *args, **kwargs):
            self.construction = (args, dict(kwargs))
            super().__init__(*args, **kwargs)
            built.append(self)
            self.pre_warmed = []
            self.scopes = []

        def _start_pre_warm(self, source_file=None):
            self.pre_warmed.append(source_file)

        def _wrap_scope(self, frame):
            self.scopes.append(frame)
            super()._wrap_scope(frame)

    monkeypatch.setattr(ov, "_OverflowMonitor", Recorded)
    yield types.SimpleNamespace(call=ov.overflow, built=built)
    for monitor in built:
        monitor.stop()


def test_defaults(ov, entry):
    frame = stand_in_frame()
    monitor = entry.call(_caller_frame=frame)
    assert monitor is ov._active_monitor and entry.built == [monitor]
    assert monitor.construction == ((), {
        "fast": False, "threshold": 85.0, "check_interval": 0.5, "api_key": None,
        "api_url": None, "gpu_threshold": None, "verbose": True,
    })
    assert (monitor.threshold, monitor.gpu_threshold, monitor.verbose) == (85.0, 85.0, True)
    assert monitor._running is True and sys.getprofile() == monitor._profile_hook
    assert monitor.scopes == [frame] and monitor.pre_warmed == ["/nowhere/script.py"]


def test_arguments_are_converted_before_construction(entry):
    monitor = entry.call(
        fast=1, threshold=70, check_interval=0, api_key="k", api_url="https://u",
        gpu_threshold=60, verbose=0, priority=True, flexible=False, _caller_frame=stand_in_frame(),
    )
    assert monitor.construction[1] == {
        "fast": True, "threshold": 70.0, "check_interval": 0.0, "api_key": "k",
        "api_url": "https://u", "gpu_threshold": 60.0, "verbose": False,
    }


@pytest.mark.parametrize(
    "kwargs",
    [{"priority": "yes"}, {"threshold": "high"}, {"api_key": 5}, {"gpu_threshold": "x"}],
)
def test_bad_arguments_change_nothing(ov, entry, kwargs):
    previous = PreviousMonitor()
    ov._active_monitor = previous
    with pytest.raises(TypeError):
        entry.call(_caller_frame=stand_in_frame(), **kwargs)
    assert previous.stops == 0 and entry.built == [] and ov._active_monitor is previous


@pytest.mark.parametrize("filename", ["", "<string>", "<stdin>"])
def test_pseudo_files_are_wrapped_but_not_pre_warmed(entry, filename):
    frame = stand_in_frame(filename)
    monitor = entry.call(_caller_frame=frame)
    assert monitor.scopes == [frame] and monitor.pre_warmed == []


def failing_frame_lookup(ov, monkeypatch, error):
    """Makes overflow()'s own look-up of its caller's frame raise `error`."""

    def lookup(*args):
        raise error("no frame")

    monkeypatch.setattr(ov, "sys", types.SimpleNamespace(
        getprofile=sys.getprofile, setprofile=sys.setprofile, _getframe=lookup))


def test_given_frame_skips_the_lookup(ov, entry, monkeypatch):
    failing_frame_lookup(ov, monkeypatch, AssertionError)
    frame = stand_in_frame()
    assert entry.call(_caller_frame=frame).scopes == [frame]


@pytest.mark.parametrize("error", [ValueError, AttributeError])
def test_frame_lookup_failure_means_no_frame(ov, entry, monkeypatch, error):
    failing_frame_lookup(ov, monkeypatch, error)
    monitor = entry.call()
    assert monitor.scopes == [] and monitor.pre_warmed == [] and monitor._running


def test_other_lookup_failure_propagates(ov, entry, monkeypatch):
    failing_frame_lookup(ov, monkeypatch, LookupError)
    with pytest.raises(LookupError):
        entry.call()
    assert entry.built[0]._running


def test_failed_start_leaves_the_new_monitor_recorded(ov, entry, monkeypatch):
    monkeypatch.setitem(sys.modules, "psutil", None)
    with pytest.raises(ImportError, match="psutil is required"):
        entry.call(_caller_frame=stand_in_frame())
    assert ov._active_monitor is entry.built[0] and entry.built[0]._running is False


def test_frame_without_globals(ov, entry):
    with pytest.raises(AttributeError):
        entry.call(_caller_frame=object())
    assert ov._active_monitor is entry.built[0] and entry.built[0]._running is True


def test_caller_frame_is_the_calling_function(ov, entry):
    def caller():
        return entry.call(), sys._getframe()

    monitor, frame = caller()
    assert monitor.scopes == [frame]
    assert monitor.pre_warmed == [__file__]
