import functools
import types

import pytest

import zuvoda.overflow as native

# Compiled under a pseudo filename: like the module's own wrappers, its frames are not user code.
_WRAPPER = compile("def wrapper(*a, **k):\n    return original(*a, **k)\n", "<w>", "exec")

# Prepended to every module `user_module` writes: one call with the hook installed, so that the
# first watched frame's caller lies in that module, not in a test file.
_HARNESS = """\
import sys


def _profiled(monitor, function, *args):
    sys.setprofile(monitor._profile_hook)
    try:
        return function(*args)
    finally:
        sys.setprofile(None)
"""


class WrappingMonitor(native._OverflowMonitor):
    """A monitor whose wrapper factory makes marked Python wrappers and notes each call."""

    def _make_wrapper(self, original):
        self.lock_held_while_wrapping.append(self._lock.locked())
        code = _WRAPPER.co_consts[0]
        wrapper = functools.wraps(original)(types.FunctionType(code, {"original": original}))
        wrapper._overflow_wrapped, wrapper._original = True, original
        self.wrappers_made.append(wrapper)
        return wrapper


@pytest.fixture
def wmonitor():
    """A running wrapping monitor on a calm machine, its wrapped functions put back after."""
    created = WrappingMonitor(False, 85.0, 0.05, "test-key", "http://127.0.0.1:9")
    created.wrappers_made, created.lock_held_while_wrapping = [], []
    created.__dict__.update(_running=True, _cpu_usage=40.0, _mem_usage=50.0)
    yield created
    created._running = False
    assert not created._lock.locked(), "the monitor's _lock was left held"
    created._unwrap_all()


# The return branch decides on its fast path only with bool flags, float figures and a list as
# the call stack, and the call trusts what it remembers only of a plain instance: every other
# shape of the monitor's state takes the hook's general path, to the same outcome.
FLAGS = ("_running", "_overloaded", "_gpu_available")
FIGURES = ("threshold", "gpu_threshold", "_cpu_usage", "_mem_usage", "_gpu_util", "_gpu_mem_util")
SHAPES = {"fast path": ((), None), "flags not bools": (FLAGS, int),
          "figures not floats": (FIGURES, type("Figure", (float,), {})),
          "stack not a list": ((), None), "attributes read generically": ((), None)}


@pytest.fixture(params=SHAPES, ids=SHAPES)
def shape(request, wmonitor):
    """Gives the monitor's state one of the shapes; returns what gives more state that shape."""
    names, convert = SHAPES[request.param]

    def shape(attributes):
        return {name: convert(v) if name in names else v for name, v in attributes.items()}

    wmonitor.__dict__.update(shape(dict(vars(wmonitor))))
    if request.param == "stack not a list":
        wmonitor._call_stack = type("Stack", (list,), {})()
    elif request.param == "attributes read generically":  # a class with an attribute hook
        wmonitor.__class__ = type("G", (type(wmonitor),), {"__getattr__": object.__getattribute__})
    return shape


@pytest.fixture
def user_module(module_writer):
    """Writes a module of user code into a temporary directory and imports it."""
    return lambda source, name=None: module_writer(source, name, prefix=_HARNESS)

