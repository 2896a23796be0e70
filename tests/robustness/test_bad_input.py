# Arbitrary input to every function and method of the module, arbitrary monitor state, and
# libraries (psutil, pynvml, httpx, the cloud client) that answer arbitrarily: each call returns
# or raises an ordinary exception; never SystemError, never a crash.

import contextlib
import functools
import io
import logging
import os
import sys
import tempfile
import threading
import time
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zuvoda.overflow as ov

Monitor = ov._OverflowMonitor
METHODS = [name for name, value in vars(Monitor).items() if callable(value)]
ATTRIBUTES = list(vars(Monitor(False, 85.0, 0.5, None, None)))
VICTIM, ANSWERS, UNHANDLED = [], {}, []


def _act(self, *args):
    if not self.clears:
        raise RuntimeError("hostile")
    if VICTIM:
        VICTIM[-1].__dict__.clear()
    return 1.0


# Every protocol raises, or (`clears`) empties the state of the monitor under test and answers.
Hostile = type("Hostile", (), {"__init__": lambda self, clears: setattr(self, "clears", clears),
                               "__hash__": object.__hash__, "__repr__": object.__repr__} | {
    name: _act for name in ["__bool__", "__float__", "__index__", "__eq__", "__lt__", "__gt__",
                            "__len__", "__iter__", "__getitem__", "__call__", "__str__",
                            "__format__", "__enter__", "__exit__"]})


_DIRECTORY = tempfile.mkdtemp()  # user code lies outside the test tree
with open(os.path.join(_DIRECTORY, "bad_input_user.py"), "w") as _file:
    _file.write("def square(x):\n    return x * x\ndef numbers(n):\n    yield from range(n)\n")
sys.path.insert(0, _DIRECTORY)
import bad_input_user as USER  # noqa: E402
FRAMES = [sys._getframe(), USER.numbers(1).gi_frame]
LEAF = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(), st.text(max_size=8), st.binary(
        max_size=4),
    st.sampled_from([10**400, "<string>", "relative.py", "a\0b", "\udcff", os.__file__, ov,
                     Monitor, USER.square, USER.numbers, len, print, *FRAMES]),
    st.builds(Hostile, st.booleans()))
ANYTHING = st.recursive(LEAF, lambda inner: st.one_of(
    st.lists(inner, max_size=3), st.dictionaries(st.text(max_size=4), inner, max_size=3),
    st.builds(types.SimpleNamespace, f_code=st.builds(
        types.SimpleNamespace, co_filename=inner, co_name=inner, co_firstlineno=inner),
        f_back=inner, f_globals=inner)), max_leaves=6)
LIBRARY = ["cpu_percent", "virtual_memory", "nvmlInit", "nvmlDeviceGetCount",
           "nvmlDeviceGetHandleByIndex", "nvmlDeviceGetName", "nvmlDeviceGetUtilizationRates",
           "nvmlDeviceGetMemoryInfo", "nvmlShutdown", "post", "run"]


def answer(name, *args, **kwargs):
    if name == "cpu_percent" and kwargs.get("interval") is not None and VICTIM:
        VICTIM[-1].__dict__["_running"] = False  # a loop under test makes one pass
    value = ANSWERS.get(name)
    if name == "run" and value == "call":
        return args[0](*args[1:], **kwargs)
    if isinstance(value, BaseException):
        raise value
    return value


def client(**settings):
    answer("client")
    return types.SimpleNamespace(__enter__=lambda: None, __exit__=lambda *exc_info: None,
                                 run=functools.partial(answer, "run"))


@pytest.fixture(scope="module", autouse=True)
def hostile_world():
    library = types.SimpleNamespace(**{n: functools.partial(answer, n) for n in LIBRARY})
    with pytest.MonkeyPatch.context() as patch:
        for name in ("psutil", "pynvml", "httpx"):
            patch.setitem(sys.modules, name, library)
        patch.setitem(sys.modules, "zuvoda.client", types.SimpleNamespace(VazoVez=client))
        patch.setattr(ov, "atexit", types.SimpleNamespace(register=lambda f: None))
        patch.setattr(ov, "time", types.SimpleNamespace(sleep=lambda s: time.sleep(0.001)))
        here = os.path.dirname(os.path.dirname(__file__))  # no hook may wrap the harness
        patch.setattr(ov, "_compute_exclude_prefixes", lambda p=ov._compute_exclude_prefixes: (
            *p(), here))
        patch.setattr(ov.logger, "propagate", False)
        patch.setattr(ov.logger, "handlers", [logging.StreamHandler(io.StringIO())])
        patch.setattr(logging, "raiseExceptions", False)  # a record that cannot be formatted
        patch.setattr(threading, "excepthook", UNHANDLED.append)
        yield


def target(name, monitor, args, kwargs):
    if name == "wrapper":
        wrapper = monitor._make_wrapper(args[0] if args else USER.square)
        return wrapper(*args[1:], **kwargs), wrapper(*args[1:], **kwargs)
    if name == "events":
        for event in ("call", "c_call", "return", *args):
            with contextlib.suppress(Exception):
                monitor._profile_hook(args[0] if args else FRAMES[1], event, None)
        return None
    named = {"overflow": ov.overflow, "constructor": Monitor, "record": ov._WrapRecord}
    return (named.get(name) or getattr(monitor, name))(*args, **kwargs)


def stop_quietly(monitor):
    """Cleanup: a stop() that fails is an outcome too. stop() puts back `_original_profile`,
    which the property may have made anything: one that fails when called would fail at some
    later event of the test itself, so cleanup puts back nothing."""
    try:
        monitor.__dict__["_original_profile"] = None
        monitor.stop()
        monitor.__dict__["_running"] = False
    except Exception:  # noqa: BLE001
        pass


@settings(max_examples=int(os.environ.get("BAD_INPUT_EXAMPLES", "300")), deadline=None,
          database=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.sampled_from(["overflow", "constructor", "record", "wrapper", "events", *METHODS]),
       st.lists(ANYTHING, max_size=5), st.dictionaries(st.sampled_from(
           ["fast", "threshold", "check_interval", "api_key", "verbose", "_caller_frame", "frame",
            "event", "func", "namespace", "name", "state"]), ANYTHING, max_size=2),
       st.dictionaries(st.sampled_from(ATTRIBUTES), ANYTHING, max_size=5),
       st.dictionaries(st.sampled_from([*LIBRARY, "client"]), st.one_of(ANYTHING, st.just(
           "call"), st.builds(RuntimeError, st.text(max_size=3))), max_size=5), st.booleans())
def test_arbitrary_input_works_or_raises_an_ordinary_exception(
        name, args, kwargs, state, answers, bare):
    ANSWERS.clear()
    ANSWERS.update(answers)
    monitor = Monitor.__new__(Monitor) if bare else Monitor(False, 85.0, 0.001, "key", None)
    monitor.__dict__.update(state, _running=name == "events")
    threads, outcomes = set(threading.enumerate()), []
    VICTIM[:] = [monitor]
    try:
        with contextlib.redirect_stdout(None):
            target(name, monitor, args, kwargs)
    except Exception as error:  # noqa: BLE001 - any ordinary exception is an acceptable outcome
        outcomes.append(error)
    finally:
        VICTIM.clear()
        for each in (monitor, vars(ov).get("_active_monitor")):
            stop_quietly(each)
        ov._active_monitor = None
        for _ in range(2):
            with contextlib.suppress(Exception):
                sys.setprofile(None)
        for thread in set(threading.enumerate()) - threads:
            thread.join(10)
            assert not thread.is_alive(), thread
    outcomes += [u.exc_value for u in UNHANDLED]
    UNHANDLED.clear()
    assert [e for e in outcomes if not isinstance(e, Exception) or isinstance(e, SystemError)] == []
