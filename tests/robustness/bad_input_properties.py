"""Properties of the module under arbitrary input, run by test_bad_input.py in a child interpreter
(a crash there fails that test with the child's output). Every function and method of the module
gets arbitrary objects as arguments, monitors get arbitrary state, the module arbitrary globals,
and the libraries the module calls (psutil, pynvml, httpx, the cloud client) answer arbitrarily:
each call either works or raises an ordinary exception, never anything else, never a crash.

The stand-ins are installed for the whole child process: it runs nothing else. BAD_INPUT_EXAMPLES
sets the number of examples per property (60 by default) for a deeper search."""

import contextlib
import functools
import logging
import os
import sys
import tempfile
import textwrap
import threading
import time
import types

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from stand_ins import join_threads

import zuvoda.overflow as ov

settings.register_profile(
    "bad-input", max_examples=int(os.environ.get("BAD_INPUT_EXAMPLES", "60")), deadline=None,
    database=None, suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile("bad-input")

Monitor = ov._OverflowMonitor
MONITOR_METHODS = [name for name, value in vars(Monitor).items() if callable(value)]
ATTRIBUTES = list(vars(Monitor(False, 85.0, 0.5, None, None)))
OVERFLOW_PARAMETERS = ["fast", "threshold", "check_interval", "api_key", "api_url",
                       "gpu_threshold", "verbose", "priority", "flexible", "_caller_frame"]
MODULE_GLOBALS = ["atexit", "functools", "logging", "os", "sys", "threading", "time", "logger",
                  "_DEFAULT_API_URL", "_WrapRecord", "_compute_exclude_prefixes",
                  "_OverflowMonitor", "_active_monitor", "print", "open", "__name__", "__file__"]
DELETED = object()


class Boom(Exception):
    """What the hostile objects raise: an ordinary exception."""


def _raise(*args, **kwargs):
    raise Boom("hostile")


PROTOCOLS = ["__bool__", "__float__", "__index__", "__int__", "__eq__", "__lt__", "__le__",
             "__gt__", "__ge__", "__hash__", "__len__", "__iter__", "__getitem__",
             "__contains__", "__call__", "__str__", "__format__", "__getattr__", "__enter__",
             "__exit__", "__get__"]


def hostile(protocols):
    """An object whose listed protocols raise Boom."""
    namespace = dict.fromkeys(protocols, _raise)
    if "__hash__" not in protocols:
        namespace["__hash__"] = object.__hash__
    namespace["__repr__"] = lambda self: f"<hostile {sorted(protocols)}>"
    return type("Hostile", (), namespace)()


# The monitor the current example works on, and what a vandal may do to its state.
VICTIM = []
DEEDS = {
    "clear": dict.clear,
    "stop": lambda state: state.update(_running=False),
    "overload": lambda state: state.update(_overloaded=True),
    "restack": lambda state: state.update(_call_stack=[]),
    "recache": lambda state: state.update(_filename_cache={}),
}


class Vandal:
    """Changes the monitor under test whenever it is asked anything, then answers."""

    def __init__(self, deed, answer):
        self.deed, self.answer = deed, answer

    def act(self):
        if VICTIM:
            DEEDS[self.deed](VICTIM[-1].__dict__)

    def __bool__(self):
        self.act()
        return bool(self.answer)

    def __float__(self):
        self.act()
        return float(self.answer)

    def __eq__(self, other):
        self.act()
        return False

    __hash__ = object.__hash__

    def __le__(self, other):
        self.act()
        return bool(self.answer)

    __lt__ = __gt__ = __ge__ = __le__

    def __format__(self, spec):
        self.act()
        return "vandal"

    def __repr__(self):
        return f"Vandal({self.deed!r}, {self.answer!r})"


class OddStr(str):
    def __eq__(self, other):
        raise Boom("str eq")

    __hash__ = str.__hash__


class OddDict(dict):
    pass


# A module of user code outside the test tree, whose frames and functions the module may wrap.
_USER_DIRECTORY = tempfile.TemporaryDirectory()
_USER_SOURCE = """
import sys


def square(x):
    return x * x


def numbers(n):
    yield from range(n)


def fails(*args, **kwargs):
    raise ValueError(args)


def suspended():
    yield sys._getframe()


def call(function, *args):
    return function(*args)


class Thing:
    def method(self, *args):
        return args
"""
with open(os.path.join(_USER_DIRECTORY.name, "bad_input_user.py"), "w") as _file:
    _file.write(textwrap.dedent(_USER_SOURCE))
sys.path.insert(0, _USER_DIRECTORY.name)
import bad_input_user as user

USER_NAMESPACE = dict(vars(user))
_SUSPENDED = user.suspended()
# Real frames of user code: a suspended generator's, without a caller, and a finished call's,
# whose caller is this module's top level.
REAL_FRAMES = [next(_SUSPENDED), user.call(sys._getframe)]

FUNCTIONS = [user.square, user.numbers, user.fails, user.Thing().method, user.Thing, len,
             functools.partial(user.square, 2), lambda *a, **k: (a, k), print, sys._getframe]


def namespace_of(functions):
    return {f"f{i}": f for i, f in enumerate(functions)}


SPECIALS = st.sampled_from([
    float("nan"), float("inf"), -0.0, 10**400, True, OddStr("odd"), OddDict(a=1), (), [],
    object(), ov, Monitor, ov._WrapRecord, threading.Lock, REAL_FRAMES[0], REAL_FRAMES[1],
    user, sys, *FUNCTIONS,
])
NAMES = st.one_of(
    st.sampled_from(["", "<string>", "<frozen x>", "/", "relative.py", __file__, user.__file__,
                     os.path.dirname(os.__file__) + "/os.py", "\udcff", "a\0b"]),
    st.text(max_size=12),
)
SCALARS = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), NAMES, st.binary(
    max_size=8), st.complex_numbers())
HOSTILES = st.builds(hostile, st.sets(st.sampled_from(PROTOCOLS), min_size=1, max_size=4))
VANDALS = st.builds(Vandal, st.sampled_from(list(DEEDS)),
                    st.one_of(st.booleans(), st.floats(0, 200)))
LEAVES = st.one_of(SCALARS, SPECIALS, HOSTILES, VANDALS)


def fake_frame(code, back, f_globals):
    return types.SimpleNamespace(f_code=code, f_back=back, f_globals=f_globals)


FAKE_CODES = st.builds(types.SimpleNamespace, co_filename=st.one_of(NAMES, LEAVES),
                       co_name=st.one_of(st.sampled_from(["square", "f0", "f1"]), LEAVES),
                       co_firstlineno=st.one_of(st.integers(), LEAVES))
NAMESPACES = st.one_of(
    st.builds(namespace_of, st.lists(st.sampled_from(FUNCTIONS), max_size=4)),
    st.dictionaries(st.one_of(NAMES, st.integers()), LEAVES, max_size=3),
    LEAVES,
)


FRAMES = st.recursive(
    st.one_of(st.none(), st.sampled_from(REAL_FRAMES)),
    lambda backs: st.builds(fake_frame, st.one_of(FAKE_CODES, LEAVES), backs, NAMESPACES),
    max_leaves=4,
)
ANYTHING = st.recursive(
    st.one_of(LEAVES, FRAMES),
    lambda children: st.one_of(
        st.lists(children, max_size=3),
        st.tuples(children, children),
        st.dictionaries(NAMES, children, max_size=3),
    ),
    max_leaves=6,
)
ARGUMENTS = st.lists(ANYTHING, max_size=5)
KEYWORDS = st.dictionaries(st.one_of(st.sampled_from(OVERFLOW_PARAMETERS + [
    "self", "frame", "event", "arg", "filename", "func_obj", "func_name", "namespace", "original",
    "source_file", "func", "args", "kwargs", "state", "name", "wrapper"]), st.text(max_size=6)),
    ANYTHING, max_size=3)
STATES = st.dictionaries(st.sampled_from(ATTRIBUTES), ANYTHING, max_size=6)


# Scripted libraries: what they answer comes from the example.
class Answers:
    def __init__(self):
        self.values = {}
        self.cpu_readings = 0

    def give(self, name, *args, **kwargs):
        if name == "cpu_percent":
            # After the priming reading, a sampling loop of the monitor under test makes one pass.
            self.cpu_readings += 1
            if self.cpu_readings > 1 and VICTIM:
                VICTIM[-1].__dict__["_running"] = False
        value = self.values.get(name)
        if isinstance(value, BaseException):
            raise value
        return value


ANSWERS = Answers()


def scripted_module(name, functions):
    module = types.ModuleType(name)
    for function in functions:
        setattr(module, function, functools.partial(ANSWERS.give, function))
    return module


class VazoVez:
    def __init__(self, **kwargs):
        ANSWERS.give("client")

    def __enter__(self):
        return ANSWERS.give("enter")

    def __exit__(self, *exc_info):
        return ANSWERS.give("exit")

    def run(self, func, *args, **kwargs):
        if ANSWERS.values.get("run") == "call":
            return func(*args, **kwargs)
        return ANSWERS.give("run")


sys.modules["psutil"] = scripted_module("psutil", ["cpu_percent", "virtual_memory"])
sys.modules["pynvml"] = scripted_module("pynvml", [
    "nvmlInit", "nvmlDeviceGetCount", "nvmlDeviceGetHandleByIndex", "nvmlDeviceGetName",
    "nvmlDeviceGetUtilizationRates", "nvmlDeviceGetMemoryInfo", "nvmlShutdown"])
sys.modules["httpx"] = scripted_module("httpx", ["post"])
sys.modules["zuvoda.client"] = types.ModuleType("zuvoda.client")
sys.modules["zuvoda.client"].VazoVez = VazoVez
for _variable in ("ZUVODA_API_KEY", "VAZOVEZ_API_KEY", "ZUVODA_API_URL"):
    os.environ.pop(_variable, None)

COMPUTE_PREFIXES = ov._compute_exclude_prefixes
HARNESS = os.path.dirname(os.path.abspath(__file__))


def prefixes_with_harness():
    """The library prefixes and this directory: hooks that examples install act on the user
    module, never on the harness running them."""
    return (*COMPUTE_PREFIXES(), HARNESS)


EXIT_HANDLERS = []
UNHANDLED = []
SAFE_GLOBALS = {
    "atexit": types.SimpleNamespace(register=EXIT_HANDLERS.append),
    # Pauses after a failed pass stay short whatever the interval.
    "time": types.SimpleNamespace(sleep=lambda seconds: time.sleep(0.001)),
    "_compute_exclude_prefixes": prefixes_with_harness,
}
vars(ov).update(SAFE_GLOBALS)
threading.excepthook = UNHANDLED.append


class FormattingHandler(logging.Handler):
    def emit(self, record):
        with contextlib.suppress(Exception):
            self.format(record)


ov.logger.addHandler(FormattingHandler())
ov.logger.propagate = False
ov.logger.setLevel(logging.DEBUG)

ANSWER_VALUES = st.one_of(ANYTHING, st.builds(Boom, st.text(max_size=5)))
LIBRARY_ANSWERS = st.dictionaries(st.sampled_from([
    "cpu_percent", "virtual_memory", "nvmlInit", "nvmlDeviceGetCount",
    "nvmlDeviceGetHandleByIndex", "nvmlDeviceGetName", "nvmlDeviceGetUtilizationRates",
    "nvmlDeviceGetMemoryInfo", "nvmlShutdown", "post", "client", "enter", "exit", "run"]),
    st.one_of(ANSWER_VALUES, st.just("call")), max_size=6)


def ordinary(function, *args, **kwargs):
    """Calls `function`: it returns, or raises an ordinary exception; not SystemError, which
    means a native function broke the interpreter's rules."""
    try:
        return function(*args, **kwargs)
    except SystemError:
        raise
    except Exception:  # noqa: BLE001 - any ordinary exception is an acceptable outcome
        return None
    finally:
        # stop() puts back whatever `_original_profile` holds. An object that fails when called
        # as a profile function fails at the next event and the interpreter removes it: let that
        # be this call, not some later event of the harness. (No helper function: its call
        # would be that event.)
        try:
            sys.getprofile()
        except Exception:  # noqa: BLE001, S110 - whatever the object raised
            pass


@contextlib.contextmanager
def contained(*monitors):
    """Undoes whatever the example started: monitors stopped, no profile function, the user
    module as it was, every new thread ended, every unhandled thread exception an ordinary one.
    Printed lines go nowhere."""
    threads_before = set(threading.enumerate())
    VICTIM[:] = monitors[-1:]
    ANSWERS.cpu_readings = 0
    try:
        with contextlib.redirect_stdout(None):
            yield
    finally:
        VICTIM.clear()
        for monitor in (*monitors, vars(ov).get("_active_monitor")):
            if isinstance(monitor, Monitor):
                try:
                    monitor.stop()
                except Exception:  # noqa: BLE001, S110 - a stop() that fails is an outcome too
                    pass
                try:
                    sys.getprofile()
                except Exception:  # noqa: BLE001, S110 - as in ordinary()
                    pass
                monitor.__dict__["_running"] = False
        vars(ov)["_active_monitor"] = None
        vars(user).update(USER_NAMESPACE)
        for _ in range(2):
            with contextlib.suppress(Exception):
                sys.setprofile(None)
        join_threads([t for t in threading.enumerate() if t not in threads_before])
        EXIT_HANDLERS.clear()
        failures = [hook.exc_value for hook in UNHANDLED
                    if not isinstance(hook.exc_value, Exception)
                    or isinstance(hook.exc_value, SystemError)]
        UNHANDLED.clear()
        assert not failures, failures


def fresh_monitor(state=None):
    monitor = Monitor(False, 85.0, 0.001, "key", "http://127.0.0.1:9")
    monitor.__dict__.update(state or {})
    return monitor


@given(st.lists(ANYTHING, max_size=11), KEYWORDS, LIBRARY_ANSWERS)
def test_overflow(args, kwargs, answers):
    ANSWERS.values = answers
    with contained():
        ordinary(ov.overflow, *args, **kwargs)


@given(ARGUMENTS, KEYWORDS)
def test_monitor_constructor(args, kwargs):
    monitor = ordinary(Monitor, *args, **kwargs)
    with contained(*([monitor] if monitor is not None else [])):
        pass


@given(st.sampled_from(MONITOR_METHODS), ARGUMENTS, KEYWORDS, STATES, LIBRARY_ANSWERS,
       st.booleans())
def test_monitor_methods(name, args, kwargs, state, answers, bare):
    ANSWERS.values = answers
    monitor = Monitor.__new__(Monitor) if bare else fresh_monitor(state)
    with contained(monitor):
        ordinary(getattr(monitor, name), *args, **kwargs)


EVENTS = st.one_of(st.sampled_from(["call", "return", "c_call", "c_return", "exception", "line"]),
                   ANYTHING)


@given(st.lists(st.tuples(st.one_of(FRAMES, ANYTHING), EVENTS, ANYTHING), min_size=1, max_size=6),
       STATES)
def test_profile_hook_events(events, state):
    monitor = fresh_monitor({"_running": True, **state})
    with contained(monitor):
        for frame, event, arg in events:
            ordinary(monitor._profile_hook, frame, event, arg)
        ordinary(monitor._unwrap_all)


@given(st.one_of(st.sampled_from(FUNCTIONS), ANYTHING), ARGUMENTS, KEYWORDS, STATES,
       LIBRARY_ANSWERS)
def test_wrapper_calls(original, args, kwargs, state, answers):
    ANSWERS.values = answers
    monitor = fresh_monitor({"_overloaded": True, "verbose": False, **state})
    with contained(monitor):
        wrapper = ordinary(monitor._make_wrapper, original)
        if wrapper is not None:
            ordinary(wrapper, *args, **kwargs)
            ordinary(wrapper, *args, **kwargs)


@given(FRAMES, st.one_of(st.sampled_from(FUNCTIONS), ANYTHING), st.one_of(NAMES, ANYTHING),
       NAMESPACES, STATES)
def test_wrap_registry(frame, func, name, namespace, state):
    monitor = fresh_monitor(state)
    with contained(monitor):
        ordinary(monitor._wrap_scope, frame)
        ordinary(monitor._try_wrap_from_frame, frame)
        ordinary(monitor._register_wrap, func, name, namespace)
        ordinary(monitor._unwrap_all)


@given(st.one_of(NAMES, ANYTHING), STATES, LIBRARY_ANSWERS)
def test_pre_warm(source_file, state, answers):
    ANSWERS.values = answers
    monitor = fresh_monitor(state)
    with contained(monitor):
        ordinary(monitor._start_pre_warm, source_file)


@given(st.one_of(st.sampled_from(FUNCTIONS), ANYTHING), st.one_of(st.tuples(ANYTHING), ANYTHING),
       st.one_of(st.dictionaries(st.text(max_size=5), ANYTHING, max_size=2), ANYTHING), STATES,
       LIBRARY_ANSWERS)
def test_cloud_execution(func, args, kwargs, state, answers):
    ANSWERS.values = answers
    monitor = fresh_monitor(state)
    with contained(monitor):
        ordinary(monitor._cloud_execute, func, args, kwargs)
        ordinary(monitor._get_vazovez)


@given(ARGUMENTS, KEYWORDS)
def test_records_and_prefixes(args, kwargs):
    ordinary(ov._WrapRecord, *args, **kwargs)
    ordinary(COMPUTE_PREFIXES, *args, **kwargs)


@given(st.dictionaries(st.sampled_from(MODULE_GLOBALS), st.one_of(st.just(DELETED), ANYTHING),
                       min_size=1, max_size=3), LIBRARY_ANSWERS)
def test_module_globals(replacements, answers):
    ANSWERS.values = answers
    namespace = vars(ov)
    saved = {name: namespace[name] for name in replacements if name in namespace}
    monitor = None
    try:
        for name, value in replacements.items():
            if value is DELETED:
                namespace.pop(name, None)
            else:
                namespace[name] = value
        monitor = ordinary(Monitor, False, 85.0, 0.001, "key", None)
        with contained(*([monitor] if monitor is not None else [])):
            ordinary(COMPUTE_PREFIXES)
            if monitor is not None:
                ordinary(monitor._is_user_code, user.__file__)
                ordinary(monitor.start)
                ordinary(monitor._wrap_scope, REAL_FRAMES[0])
                monitor.__dict__["_overloaded"] = True
                wrapper = ordinary(monitor._make_wrapper, user.square)
                if wrapper is not None:
                    ordinary(wrapper, 3)
                ordinary(monitor._start_pre_warm, user.__file__)
                ordinary(monitor.stop)
            ordinary(ov.overflow, check_interval=0.001, _caller_frame=REAL_FRAMES[1])
    finally:
        for name in replacements:
            namespace.pop(name, None)
        namespace.update(saved)
        namespace.update(SAFE_GLOBALS)
        if monitor is not None:
            with contained(monitor):
                monitor.__dict__["_running"] = True
                ordinary(monitor.stop)
