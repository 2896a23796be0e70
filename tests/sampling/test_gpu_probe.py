import sys

import pytest
from scripted_machine import Halt, logged

NOT_INSTALLED = "pynvml not installed — GPU monitoring disabled"
NO_DEVICE = "pynvml: no NVIDIA GPUs found — GPU monitoring disabled"
UNAVAILABLE = "GPU monitoring unavailable: %s"
ACTIVE = "GPU monitoring active  device=%s  gpu_threshold=%.0f%%"


def gpu_state(monitor):
    return monitor._nvml_handle, monitor._gpu_available


@pytest.mark.parametrize("raised_inside", [False, True], ids=["missing", "import-error-inside"])
def test_not_installed(monitor, records, nvml, monkeypatch, raised_inside):
    if raised_inside:
        nvml(failures={"nvmlInit": ImportError("libnvidia-ml.so.1")})
    else:
        monkeypatch.setitem(sys.modules, "pynvml", None)
    assert monitor._init_gpu() is None
    assert logged(records) == [("INFO", NOT_INSTALLED, ())]
    assert gpu_state(monitor) == (None, False)


@pytest.mark.parametrize(
    "failing", ["nvmlInit", "nvmlDeviceGetCount", "nvmlDeviceGetHandleByIndex"]
)
def test_failure_before_the_handle_leaves_gpu_off(monitor, records, nvml, failing):
    error = RuntimeError("NVML Shared Library Not Found")
    scripted = nvml(failures={failing: error})
    monitor._init_gpu()
    assert logged(records) == [("INFO", UNAVAILABLE, (error,))]
    assert records()[0].args[0] is error
    assert gpu_state(monitor) == (None, False)
    assert scripted.calls[-1][0] == failing


def test_no_device(monitor, records, nvml):
    scripted = nvml(count=0)
    monitor._init_gpu()
    assert logged(records) == [("INFO", NO_DEVICE, ())]
    assert scripted.calls == [("nvmlInit",), ("nvmlDeviceGetCount",)]
    assert gpu_state(monitor) == (None, False)


class DeviceName(bytes):
    pass


@pytest.mark.parametrize(
    ("reported", "logged_name"),
    [
        (b"NVIDIA H100 80GB HBM3", "NVIDIA H100 80GB HBM3"),
        ("Tesla T4", "Tesla T4"),
        (DeviceName("Quadro RTX™".encode()), "Quadro RTX™"),
    ],
    ids=["bytes", "str", "bytes-subclass"],
)
def test_success_uses_device_zero(monitor, records, nvml, reported, logged_name):
    monitor.gpu_threshold = 90.0
    scripted = nvml(count=2, name=reported)
    monitor._init_gpu()
    handle = scripted.handles[0]
    assert list(scripted.handles) == [0]
    assert scripted.calls[-1] == ("nvmlDeviceGetName", handle)
    assert gpu_state(monitor) == (handle, True)
    assert logged(records) == [("INFO", ACTIVE, (logged_name, 90.0))]
    assert type(records()[0].args[0]) is str
    assert records()[0].getMessage() == (
        f"GPU monitoring active  device={logged_name}  gpu_threshold=90%"
    )


@pytest.mark.parametrize(
    ("options", "error_type"),
    [
        ({"failures": {"nvmlDeviceGetName": RuntimeError("NVML_ERROR_UNKNOWN")}}, RuntimeError),
        ({"name": b"\xffbad"}, UnicodeDecodeError),
    ],
    ids=["name-query", "decoding"],
)
def test_failure_after_the_handle_keeps_gpu_on(monitor, records, nvml, options, error_type):
    scripted = nvml(**options)
    monitor._init_gpu()
    assert gpu_state(monitor) == (scripted.handles[0], True)
    ((levelname, msg, (exc,)),) = logged(records)
    assert (levelname, msg) == ("INFO", UNAVAILABLE)
    assert type(exc) is error_type


def test_only_exceptions_are_caught(monitor, records, nvml):
    nvml(failures={"nvmlDeviceGetName": Halt()})
    with pytest.raises(Halt):
        monitor._init_gpu()
    assert records() == []
    assert monitor._gpu_available is True
