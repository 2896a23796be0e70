"""start() and stop(): what a monitor sets up, and how all of it is undone."""

import sys
import threading
import types

import pytest


class ScriptedNvml(types.ModuleType):
    def __init__(self):
        super().__init__("pynvml")
        self.calls = []

    def __getattr__(self, name):
        if not name.startswith("nvml"):
            raise AttributeError(name)

        def call(*args):
            self.calls.append(name)
            return {
                "nvmlDeviceGetCount": 1,
                "nvmlDeviceGetName": b"Scripted GPU",
                "nvmlDeviceGetHandleByIndex": "handle-0",
                "nvmlDeviceGetUtilizationRates": types.SimpleNamespace(gpu=5),
                "nvmlDeviceGetMemoryInfo": types.SimpleNamespace(used=1, total=10),
            }.get(name)

        return call


class RecordingClient:
    def __init__(self, fail_on_exit=False):
        self.verbose = True
        self.events = []
        self.fail_on_exit = fail_on_exit

    def __exit__(self, *args):
        self.events.append(("exit", self.verbose, args))
        if self.fail_on_exit:
            raise OSError("connection already gone")


@pytest.fixture
def started(monitor, calm_machine):
    monitor.start()
    yield monitor
    monitor.stop()


def messages(records):
    return [r.getMessage() for r in records()]


def test_start_without_psutil(ov, monitor, monkeypatch, records):
    monkeypatch.setitem(sys.modules, "psutil", None)
    with pytest.raises(ImportError) as info:
        monitor.start()
    assert str(info.value) == (
        "psutil is required for overflow monitoring. Install it with:  pip install 'zuvoda[overflow]'"
    )
    assert isinstance(info.value.__context__, ImportError)
    assert info.value.__context__ is not info.value
    assert monitor._running is False and sys.getprofile() is None and records() == []


def test_start_sets_everything_up(monitor, calm_machine, records):
    monitor.start()
    try:
        thread = monitor._monitor_thread
        assert monitor._running is True
        assert thread.daemon is True and thread.name == "zuvoda-overflow" and thread.is_alive()
        assert sys.getprofile() == monitor._profile_hook
        assert calm_machine == [monitor.stop]
        assert messages(records) == [
            "pynvml not installed — GPU monitoring disabled",
            "Overflow monitor started  threshold=85%  fast=False  (GPU monitoring: off)",
        ]
    finally:
        monitor.stop()


@pytest.mark.parametrize("replaced_on", ["instance", "subclass"])
def test_start_installs_the_hook_of_the_moment(ov, calm_machine, replaced_on):
    events = []
    if replaced_on == "subclass":
        class Recording(ov._OverflowMonitor):
            def _profile_hook(self, frame, event, arg):
                events.append(event)
                return super()._profile_hook(frame, event, arg)

        monitor = Recording(False, 85.0, 0.05, None, None)
    else:
        monitor = ov._OverflowMonitor(False, 85.0, 0.05, None, None)
        monitor._profile_hook = lambda frame, event, arg: events.append(event)
    monitor.start()
    try:
        assert sys.getprofile() == monitor._profile_hook
        for _ in range(5):
            len(events)
    finally:
        monitor.stop()
    assert events.count("c_call") >= 5


def test_second_start_does_nothing(started, calm_machine, records):
    thread, before = started._monitor_thread, len(records())
    threads_before = threading.active_count()
    assert started.start() is None
    assert started._monitor_thread is thread and len(calm_machine) == 1
    assert len(records()) == before and threading.active_count() <= threads_before


def test_start_message_with_a_gpu(ov, calm_machine, monkeypatch, records):
    nvml = ScriptedNvml()
    monkeypatch.setitem(sys.modules, "pynvml", nvml)
    monitor = ov._OverflowMonitor(False, 85.0, 0.05, None, None, gpu_threshold=90.0)
    monitor.start()
    try:
        assert messages(records)[-1] == (
            "Overflow monitor started  threshold=85%  gpu_threshold=90%  fast=False"
        )
    finally:
        monitor.stop()
    assert "nvmlShutdown" in nvml.calls
    assert monitor._gpu_available is False and monitor._nvml_handle is None


def test_stop_undoes_start(ov, started, records):
    thread = started._monitor_thread
    started.stop()
    assert started._running is False and started._monitor_thread is None
    assert sys.getprofile() is None
    thread.join(timeout=10)
    assert not thread.is_alive()
    assert messages(records)[-1] == "Overflow monitor stopped."


def test_stop_restores_the_profile_function_saved_at_start(monitor, calm_machine):
    def earlier(frame, event, arg):
        pass

    def later(frame, event, arg):
        pass

    sys.setprofile(earlier)
    try:
        monitor.start()
        sys.setprofile(later)
        monitor.stop()
        assert sys.getprofile() is earlier
    finally:
        sys.setprofile(None)


def test_stop_of_a_monitor_not_running_does_nothing(monitor, calm_machine, records):
    assert monitor.stop() is None and records() == []  # never started
    monitor.start()
    monitor.stop()
    count = len(records())
    monitor.stop()  # stopped already
    assert len(records()) == count


@pytest.mark.parametrize("fail_on_exit", [False, True])
def test_stop_closes_the_client(started, records, fail_on_exit):
    client = RecordingClient(fail_on_exit)
    started._vazovez = client
    started.stop()
    assert client.events == [("exit", False, (None, None, None))]
    assert started._vazovez is None
    assert messages(records)[-1] == "Overflow monitor stopped."
    assert not any("connection already gone" in m for m in messages(records))


def test_stop_without_gpu_leaves_pynvml_alone(started, monkeypatch):
    nvml = ScriptedNvml()
    monkeypatch.setitem(sys.modules, "pynvml", nvml)
    started._nvml_handle = "untouched"
    started.stop()
    assert nvml.calls == [] and started._nvml_handle == "untouched"


def test_failed_unwrap_propagates_and_leaves_the_client_open(ov, started, records):
    def broken_unwrap():
        raise RuntimeError("registry damaged")

    client = RecordingClient()
    started._vazovez = client
    started._unwrap_all = broken_unwrap
    with pytest.raises(RuntimeError, match="registry damaged"):
        started.stop()
    assert started._running is False and sys.getprofile() is None
    assert started._vazovez is client and client.events == []
    assert "Overflow monitor stopped." not in messages(records)


def test_restart_probes_and_registers_again(started, calm_machine):
    first_thread = started._monitor_thread
    started.stop()
    started.start()
    assert started._monitor_thread is not first_thread
    assert calm_machine == [started.stop, started.stop]


def test_stop_from_another_thread_leaves_the_hook_idle(started):
    stopper = threading.Thread(target=started.stop)
    stopper.start()
    stopper.join(timeout=10)
    # setprofile acts per thread: the hook stays here but does nothing any more.
    assert sys.getprofile() == started._profile_hook and started._running is False
    depth = len(started._call_stack)

    def depth_inside():
        return len(started._call_stack)

    assert depth_inside() == depth  # a running hook would have pushed this call
    sys.setprofile(None)
