"""The module: its surface, its native functions behaving as Python ones, overflow(), the stub."""

import gc
import inspect
import subprocess
import sys
import types

import pytest

import zuvoda.overflow as native

MONITOR = native._OverflowMonitor(False, 85.0, 0.5, None, None)
CONFIGURATION = ("gpu_threshold: 'Optional[float]' = None, verbose: 'bool' = True, "
                 "priority: 'bool | None' = None, flexible: 'bool | None' = None")


def annotated(a: int, b: "str" = "b", *rest, c=3, **more) -> float:
    pass


# inspect.signature follows __defaults__ and __annotations__; getfullargspec must read from
# __code__ and __kwdefaults__ what it reads from a Python function of the same signature, and
# from a wrapper what it reads from the wrapped function (decorator helpers rebuild functions
# from it).
SIGNATURES = [
    (native.overflow, "(fast: 'bool' = False, threshold: 'float' = 85.0, check_interval: 'float' "
     "= 0.5, api_key: 'Optional[str]' = None, api_url: 'Optional[str]' = None, "
     f"{CONFIGURATION}, _caller_frame: 'object' = None) -> '_OverflowMonitor'"),
    (native._OverflowMonitor, "(fast: 'bool', threshold: 'float', check_interval: 'float', "
     f"api_key: 'Optional[str]', api_url: 'Optional[str]', {CONFIGURATION}) -> 'None'"),
    (native._WrapRecord, "(original: 'Callable[..., Any]', name: 'str', namespace: "
     "'dict[str, Any]', wrapper: 'Callable[..., Any]') -> 'None'"),
    (native._OverflowMonitor._profile_hook,
     "(self, frame: 'Any', event: 'str', arg: 'Any') -> 'None'"),
    (MONITOR._start_pre_warm, "(source_file: 'Optional[str]' = None) -> 'None'"),
    (MONITOR._make_wrapper(annotated), str(inspect.signature(annotated))),
]


@pytest.mark.parametrize(("function", "signature"), SIGNATURES)
def test_native_functions_look_like_python_functions(function, signature):
    assert str(inspect.signature(function)) == signature
    if isinstance(function, types.MethodType) or inspect.isclass(function):
        return
    twin = {}
    exec(f"def twin{signature}: pass", twin)  # noqa: S102 - the signatures above
    assert inspect.getfullargspec(function) == inspect.getfullargspec(twin["twin"])
    assert not MONITOR._check_user_code(function.__code__.co_filename)
    if getattr(function, "_overflow_wrapped", False):
        # In the user's namespace it stands for the user's function, and shows as that one.
        assert repr(function) == repr(annotated)


def test_surface_and_a_cycle_through_defaults_collected(ov):
    with pytest.raises(TypeError, match="__kwdefaults__ must be set to a dict object"):
        ov.overflow.__kwdefaults__ = ()
    ov.overflow.__kwdefaults__ = {"extra": 1}
    assert ov.overflow.__kwdefaults__ == {"extra": 1}
    del ov.overflow.__kwdefaults__
    assert ov.overflow.__kwdefaults__ is None
    held = object()
    before = sys.getrefcount(held)
    for _ in range(3):
        wrapper = MONITOR._make_wrapper(annotated)
        wrapper.__defaults__ = (wrapper, held)
    del wrapper
    gc.collect()
    assert sys.getrefcount(held) == before
    assert ov._active_monitor is None and ov.logger.name == "zuvoda.overflow"
    assert ov.logger.handlers == [] and ov.logger.level == 0
    # A name reserved never to resolve: nothing is sent anywhere unless configured.
    assert ov._DEFAULT_API_URL == "https://api.zuvoda.invalid"


def test_import_needs_no_optional_library_and_one_initialisation(child_environment):
    script = (
        "import sys, threading\n"
        "for name in ('psutil', 'pynvml', 'httpx', 'zuvoda.client'):\n"
        "    sys.modules[name] = None\n"
        "import zuvoda.overflow\n"
        "assert threading.active_count() == 1 and sys.getprofile() is None\n"
        "del sys.modules['zuvoda.overflow']\n"
        "import zuvoda.overflow\n"
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            check=False, timeout=60, env=child_environment())
    assert result.stderr.splitlines()[-1] == ("RuntimeError: Module 'overflow' has already been "
                                              "imported. Re-initialisation is not supported.")


def test_stub_matches_runtime(tmp_path, child_environment):
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "zuvoda.overflow", "--concise"],
        capture_output=True, text=True, check=False, timeout=300, cwd=tmp_path,
        env=child_environment())
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.fixture
def entry(ov, calm_machine, monkeypatch):
    """overflow() on a calm machine; each monitor it builds recorded, its pre-warm noted."""
    built = []

    class Recorded(ov._OverflowMonitor):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.construction, self.pre_warmed, self.scopes = kwargs, [], []
            built.append(self)

        def _start_pre_warm(self, source_file=None):
            self.pre_warmed.append(source_file)

        def _wrap_scope(self, frame):
            self.scopes.append(frame)

    monkeypatch.setattr(ov, "_OverflowMonitor", Recorded)
    yield built
    for monitor in built:
        monitor.stop()


def frame_of(filename):
    return types.SimpleNamespace(f_globals={}, f_code=types.SimpleNamespace(co_filename=filename))


def test_overflow_stops_the_previous_monitor_builds_starts_and_wraps(ov, entry, watches):
    assert ov.overflow(_caller_frame=frame_of("<stdin>")).pre_warmed == []  # pseudo file
    previous = ov.overflow(_caller_frame=frame_of("/nowhere/script.py"))
    assert previous.construction == {
        "fast": False, "threshold": 85.0, "check_interval": 0.5, "api_key": None,
        "api_url": None, "gpu_threshold": None, "verbose": True}
    assert previous.pre_warmed == ["/nowhere/script.py"] and len(previous.scopes) == 1
    monitor, frame = ov.overflow(fast=1, threshold=70, check_interval=0, verbose=0,
                                 gpu_threshold=60, priority=True), sys._getframe()
    assert previous._running is False and monitor is ov._active_monitor is entry[2]
    assert monitor._running is True and watches(monitor)
    assert monitor.scopes == [frame] and monitor.pre_warmed == [__file__]
    assert monitor.construction == dict(
        previous.construction, fast=True, threshold=70.0, check_interval=0.0,
        gpu_threshold=60.0, verbose=False)
    for bad in [{"priority": "yes"}, {"threshold": "x"}, {"api_key": 5}]:
        with pytest.raises(TypeError):
            ov.overflow(**bad)  # changes nothing
    assert monitor._running and len(entry) == 3 and ov._active_monitor is monitor
