"""The module's functions and classes behave like plain Python ones to Python code."""

import copy
import functools
import gc
import inspect
import pickle
import re
import subprocess
import sys
import textwrap
import weakref

import pytest

import zuvoda.overflow as native
from zuvoda.overflow import _OverflowMonitor


def reference_init(self, fast, threshold, check_interval, api_key, api_url,
                   gpu_threshold=None, verbose=True, priority=None, flexible=None):
    """Python twin of the constructor: its binding errors are the ones to match."""


reference_init.__qualname__ = "_OverflowMonitor.__init__"


def reference_register_wrap(self, func_obj, func_name, namespace):
    pass


reference_register_wrap.__qualname__ = "_OverflowMonitor._register_wrap"

MONITOR = _OverflowMonitor(False, 85.0, 0.5, None, None)
BAD_CALLS = [
    ((), {}),
    ((1,), {}),
    ((1, 2, 3), {}),
    ((1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11), {}),
    ((1, 2, 3, 4, 5, 6), {"other": 1}),
    ((1, 2, 3, 4, 5, 6), {"fast": 1}),
    ((1,), {"threshold": 2, "api_url": None}),
    ((1, 2), {"fast": 1, "fast_": 2}),
]
BAD_METHOD_CALLS = [((1,), {}), ((1, 2, 3, 4), {}), ((1, 2), {"func_obj": 3}), ((), {"x": 1})]


@pytest.mark.parametrize(
    "native, reference, args, kwargs",
    [(_OverflowMonitor.__init__, reference_init, *call) for call in BAD_CALLS]
    + [(MONITOR._register_wrap, functools.partial(reference_register_wrap, MONITOR), *call)
       for call in BAD_METHOD_CALLS],
)
def test_binding_errors_read_like_python(native, reference, args, kwargs):
    with pytest.raises(TypeError) as expected:
        reference(*args, **kwargs)
    with pytest.raises(TypeError) as actual:
        native(*args, **kwargs)
    assert str(actual.value) == str(expected.value)


# What inspect.signature shows follows each function's __defaults__ and __annotations__.
SIGNATURES = {
    "overflow": (native.overflow, (
        "(fast: 'bool' = False, threshold: 'float' = 85.0, check_interval: 'float' = 0.5, "
        "api_key: 'Optional[str]' = None, api_url: 'Optional[str]' = None, "
        "gpu_threshold: 'Optional[float]' = None, verbose: 'bool' = True, "
        "priority: 'bool | None' = None, flexible: 'bool | None' = None, "
        "_caller_frame: 'object' = None) -> '_OverflowMonitor'"
    )),
    "monitor": (native._OverflowMonitor, (
        "(fast: 'bool', threshold: 'float', check_interval: 'float', "
        "api_key: 'Optional[str]', api_url: 'Optional[str]', "
        "gpu_threshold: 'Optional[float]' = None, verbose: 'bool' = True, "
        "priority: 'bool | None' = None, flexible: 'bool | None' = None) -> 'None'"
    )),
    "wrap record": (native._WrapRecord, (
        "(original: 'Callable[..., Any]', name: 'str', namespace: 'dict[str, Any]', "
        "wrapper: 'Callable[..., Any]') -> 'None'"
    )),
    "prefixes": (native._compute_exclude_prefixes, "() -> 'Tuple[str, ...]'"),
    "getstate": (native._OverflowMonitor.__getstate__, "(self)"),
    "setstate": (native._OverflowMonitor.__setstate__, "(self, state)"),
    "stop": (native._OverflowMonitor.stop, "(self) -> 'None'"),
    "profile hook": (native._OverflowMonitor._profile_hook,
                     "(self, frame: 'Any', event: 'str', arg: 'Any') -> 'None'"),
    "unbound method": (native._OverflowMonitor._start_pre_warm,
                       "(self, source_file: 'Optional[str]' = None) -> 'None'"),
    "bound method": (MONITOR._start_pre_warm, "(source_file: 'Optional[str]' = None) -> 'None'"),
}


@pytest.mark.parametrize("function, signature", SIGNATURES.values(), ids=SIGNATURES.keys())
def test_signatures(function, signature):
    assert str(inspect.signature(function)) == signature
    if inspect.isclass(function) or inspect.ismethod(function):
        return
    # What inspect reads from __code__, __defaults__ and __kwdefaults__ is what it reads from a
    # Python function of the same signature.
    twin = {}
    exec(f"def twin{signature}: pass", twin)  # noqa: S102 - the signatures above
    assert inspect.getfullargspec(function) == inspect.getfullargspec(twin["twin"])


def python_wrapper(original):
    @functools.wraps(original)
    def wrapper(*args, **kwargs):
        return original(*args, **kwargs)

    return wrapper


def annotated(a: int, b: "str" = "b", *rest, c=3, **more) -> float:
    pass


@pytest.mark.parametrize("original", [annotated, native.overflow])
def test_wrappers_inspect_like_python_wrappers(original):
    wrapper = MONITOR._make_wrapper(original)
    expected = python_wrapper(original)
    assert inspect.getfullargspec(wrapper) == inspect.getfullargspec(expected)
    assert inspect.signature(wrapper) == inspect.signature(expected)
    assert (wrapper.__defaults__, wrapper.__kwdefaults__) == (None, None)


def test_repr_like_a_function(ov):
    stop = ov._OverflowMonitor.stop
    assert re.fullmatch(r"<function _OverflowMonitor\.stop at 0x[0-9a-f]+>", repr(stop))


def test_methods_bind(ov, monitor):
    bound = monitor.stop
    assert bound.__self__ is monitor and bound.__func__ is ov._OverflowMonitor.stop
    assert ov._OverflowMonitor.stop.__get__(None, ov._OverflowMonitor) is ov._OverflowMonitor.stop


@pytest.mark.parametrize("copier", [pickle.dumps, copy.copy, copy.deepcopy])
def test_functions_travel_by_reference(ov, copier):
    for function in (ov._compute_exclude_prefixes, ov._OverflowMonitor.start):
        result = copier(function)
        if isinstance(result, bytes):
            result = pickle.loads(result)
        assert result is function


def test_weak_references(ov):
    ref = weakref.ref(ov._OverflowMonitor.stop)
    assert ref() is ov._OverflowMonitor.stop


def test_garbage_collector_sees_what_a_function_holds(ov):
    function = ov._OverflowMonitor._wrap_scope
    marker = object()
    function.marker = marker
    try:
        referents = gc.get_referents(function)
        assert function.__dict__ in referents and function.__annotations__ in referents
    finally:
        del function.marker


def test_cycle_through_defaults_is_collected():
    # Weak references die with the cycle even when it leaks; what it holds stays held then.
    held = object()
    before = sys.getrefcount(held)
    for _ in range(3):
        wrapper = MONITOR._make_wrapper(annotated)
        wrapper.__defaults__ = (wrapper, held)
    del wrapper
    gc.collect()
    assert sys.getrefcount(held) == before


class Noted(_OverflowMonitor):
    def __getstate__(self):
        state = super().__getstate__()
        state["note"] = "from the subclass"
        return state


def test_subclass_overrides_a_method():
    restored = pickle.loads(pickle.dumps(Noted(False, 85, 0.5, None, None)))
    assert type(restored) is Noted and restored.note == "from the subclass"


def test_names_are_writable_and_functools_wraps_works():
    # In a separate interpreter: this renames one of the module's functions.
    script = textwrap.dedent(
        """
        import functools, inspect, pickle, sys
        import zuvoda.overflow as ov

        def shown(a, b: int = 2) -> str:
            "docs"

        native = ov._OverflowMonitor._wrap_scope
        functools.wraps(shown)(native)
        assert native.__name__ == "shown" and native.__qualname__ == "shown"
        assert native.__module__ == "__main__" and native.__doc__ == "docs"
        assert native.__wrapped__ is shown
        assert str(inspect.signature(native)) == "(a, b: int = 2) -> str"
        sys.modules["__main__"].shown = native
        assert pickle.loads(pickle.dumps(native)) is native
        for bad in ("__name__", "__qualname__"):
            try:
                setattr(native, bad, 1)
            except TypeError:
                pass
            else:
                raise AssertionError(bad)
        print("ok")
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, check=False, timeout=60
    )
    assert result.stdout.strip() == "ok", result.stderr


@pytest.mark.parametrize(
    "attribute, value, message",
    [
        ("__defaults__", 1, "__defaults__ must be set to a tuple object"),
        ("__defaults__", [], "__defaults__ must be set to a tuple object"),
        ("__kwdefaults__", 1, "__kwdefaults__ must be set to a dict object"),
        ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
    ],
)
def test_defaults_keep_their_types(ov, attribute, value, message):
    with pytest.raises(TypeError, match=message):
        setattr(ov._OverflowMonitor.stop, attribute, value)


def test_kwdefaults_are_settable_like_a_python_function(ov):
    function = ov._OverflowMonitor.stop
    assert function.__kwdefaults__ is None
    try:
        function.__kwdefaults__ = {"extra": 1}
        assert function.__kwdefaults__ == {"extra": 1}
    finally:
        del function.__kwdefaults__
    assert function.__kwdefaults__ is None


def test_changed_defaults_take_effect(ov, monitor):
    function = ov._OverflowMonitor.__setstate__
    try:
        function.__defaults__ = ({"extra": 1},)
        monitor.__setstate__()
        assert monitor.extra == 1
        assert str(inspect.signature(function)) == "(self, state={'extra': 1})"
    finally:
        function.__defaults__ = None


def test_functools_wraps_over_a_native_function(ov):
    @functools.wraps(ov._compute_exclude_prefixes)
    def outer():
        return ov._compute_exclude_prefixes()

    assert outer.__name__ == "_compute_exclude_prefixes"
    assert outer.__wrapped__ is ov._compute_exclude_prefixes
    assert str(inspect.signature(outer)) == "() -> 'Tuple[str, ...]'"
