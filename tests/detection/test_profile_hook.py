import ctypes
import json
import sys
import threading
import time
import types

import pytest

HEAVY_MESSAGE = "Heavy function detected: %s() at %s:%d — wrapped for cloud offload"

# `during` is what the sampling thread would write while the function runs.
WORK_MODULE = """
def heavy(monitor, during):
    monitor.__dict__.update(during)
    return "heavy"


def driver(monitor, during):
    return heavy(monitor, during)


def _private(monitor, during):
    monitor.__dict__.update(during)


def private_driver(monitor, during):
    return _private(monitor, during)


def spare():
    return "spare"


def failing():
    raise ValueError("inside")


def generator():
    yield 1
    yield 2


def consume():
    return list(generator())
"""


@pytest.fixture
def watched(wmonitor):
    wmonitor._running = True
    wmonitor.__dict__.update(_cpu_usage=40.0, _mem_usage=50.0)
    return wmonitor


class RecordingStack(list):
    """A call stack that remembers the name of every entry pushed onto it."""

    def append(self, entry):
        self.pushed.append(entry["name"])
        super().append(entry)


def recording_stack(monitor):
    monitor._call_stack = RecordingStack()
    monitor._call_stack.pushed = []
    return monitor._call_stack


def heavy_records(records):
    return [r for r in records() if r.msg == HEAVY_MESSAGE]


def code_frame(code, back=None, globals_=None):
    return types.SimpleNamespace(f_code=code, f_back=back, f_globals=globals_ or {})


def user_code(name="work", filename=__file__, firstlineno=7):
    return types.SimpleNamespace(co_name=name, co_filename=filename, co_firstlineno=firstlineno)


def test_function_returning_into_overload_is_heavy(watched, user_module, records):
    mod = user_module(WORK_MODULE)
    heavy, driver = mod.heavy, mod.driver
    public = {heavy, driver, mod.private_driver, mod.spare, mod.failing, mod.generator, mod.consume}
    assert mod._profiled(watched, mod.driver, watched, {"_overloaded": True, "_cpu_usage": 97.0})
    assert watched._call_stack == []
    heavy_line, driver_line = heavy.__code__.co_firstlineno, driver.__code__.co_firstlineno
    assert watched._heavy_signatures == {
        ("heavy", mod.__file__, heavy_line),
        ("driver", mod.__file__, driver_line),
    }
    warnings = heavy_records(records)
    assert [(r.levelname, r.args) for r in warnings] == [
        ("WARNING", ("heavy", mod.__file__, heavy_line)),
        ("WARNING", ("driver", mod.__file__, driver_line)),
    ]
    # heavy by its frame, then once the caller's module scope: every public function.
    originals = [w._original for w in watched.wrappers_made]
    assert originals[0] is heavy
    assert set(originals) == public
    assert watched._scope_wrapped is True


def test_heavy_again_in_the_same_overload_logs_again_without_new_wraps(
    watched, user_module, records
):
    mod = user_module(WORK_MODULE)
    during = {"_overloaded": True}
    mod._profiled(watched, mod.driver, watched, during)
    made = list(watched.wrappers_made)
    mod._profiled(watched, mod.driver, watched, during)  # overloaded since entry, figures low
    assert watched.wrappers_made == made
    assert [r.args[0] for r in heavy_records(records)] == ["heavy", "driver"] * 2


def test_entry_during_overload_wraps_without_warning(watched, user_module, records):
    mod = user_module(WORK_MODULE)
    private = mod._private
    watched.__dict__.update(_overloaded=True, _cpu_usage=97.0)
    mod._profiled(watched, mod.private_driver, watched, {})
    assert heavy_records(records) == [] and watched._heavy_signatures == set()
    originals = [w._original for w in watched.wrappers_made]
    assert originals[0] is mod.private_driver._original  # wrapped by its frame on entry
    assert private in originals and mod._private._overflow_wrapped is True


def test_scope_wrap_happens_once_per_overload_episode(watched, user_module, monkeypatch):
    mod = user_module(WORK_MODULE)
    scopes = []
    monkeypatch.setattr(watched, "_wrap_scope", scopes.append)
    watched._overloaded = True
    mod._profiled(watched, mod.driver, watched, {})
    mod._profiled(watched, mod.spare)
    assert [frame.f_globals is mod.__dict__ for frame in scopes] == [True]
    watched._scope_wrapped = False  # the sampling thread saw the overload end
    mod._profiled(watched, mod.spare)
    assert len(scopes) == 2


@pytest.mark.parametrize(
    ("figures", "heavy"),
    [
        ({}, True),
        ({"_cpu_usage": 85.0, "_mem_usage": 85.0}, True),
        ({"_cpu_usage": 85.01}, False),
        ({"_mem_usage": 90.0}, False),
        ({"_gpu_util": 99.0, "_gpu_mem_util": 99.0}, True),
        ({"_gpu_available": True, "_gpu_util": 60.0, "_gpu_mem_util": 60.0}, True),
        ({"_gpu_available": True, "gpu_threshold": 50.0, "_gpu_util": 50.0}, True),
        ({"_gpu_available": True, "gpu_threshold": 50.0, "_gpu_util": 60.0}, False),
        ({"_gpu_available": True, "gpu_threshold": 50.0, "_gpu_mem_util": 50.5}, False),
    ],
)
def test_heavy_rule_compares_entry_figures_with_thresholds(watched, records, figures, heavy):
    figures = dict(figures)
    gpu_available = figures.pop("_gpu_available", False)
    watched.__dict__.update(figures)
    frame = code_frame(user_code())
    watched._profile_hook(frame, "call", None)
    watched.__dict__.update(_overloaded=True, _gpu_available=gpu_available, _cpu_usage=99.0)
    watched._profile_hook(frame, "return", None)
    assert (len(heavy_records(records)) == 1) is heavy
    assert watched._heavy_signatures == ({("work", __file__, 7)} if heavy else set())


def test_gpu_figures_count_only_when_available_at_return(watched, records):
    frame = code_frame(user_code())
    watched.__dict__.update(_gpu_available=True, _gpu_util=99.0)
    watched._profile_hook(frame, "call", None)
    watched.__dict__.update(_overloaded=True, _gpu_available=False)
    watched._profile_hook(frame, "return", None)
    assert len(heavy_records(records)) == 1


def test_not_overloaded_at_return_is_not_heavy(watched, records):
    frame = code_frame(user_code())
    watched._profile_hook(frame, "call", None)
    watched._profile_hook(frame, "return", None)
    assert heavy_records(records) == [] and watched._call_stack == []


def test_comparisons_short_circuit_and_missing_keys_raise(watched):
    frame = code_frame(user_code())
    watched.__dict__.update(_overloaded=True, _gpu_available=True)
    watched._call_stack.append({"start_cpu": 90.0, "start_mem": 10.0})
    watched._profile_hook(frame, "return", None)  # cpu fails: neither mem nor gpu looked up
    watched._call_stack.append({"start_cpu": 90.0})
    watched._profile_hook(frame, "return", None)
    watched._call_stack.append({"start_cpu": 10.0, "start_mem": 10.0})
    with pytest.raises(KeyError, match="start_gpu"):
        watched._profile_hook(frame, "return", None)


# What an entry stands for, as Python code would write it.
ENTRY_LITERAL = {"name": 0, "filename": 0, "lineno": 0, "start_cpu": 0, "start_mem": 0,
                 "start_gpu": 0, "start_gpu_mem": 0}


def entry_table(entry):
    """(kind, [(key, value), ...]) of a dict's entry table, read at the places CPython 3.11 keeps
    them and the module writes entries' values into (Include/internal/pycore_dict.h)."""
    pointer = ctypes.c_void_p.from_address
    keys = pointer(id(entry) + 4 * ctypes.sizeof(ctypes.c_void_p)).value  # ma_keys
    log2_index_bytes = ctypes.c_uint8.from_address(keys + 9).value
    kind = ctypes.c_uint8.from_address(keys + 10).value
    used = ctypes.c_ssize_t.from_address(keys + 24).value  # dk_nentries
    slots = keys + 32 + (1 << log2_index_bytes)
    return kind, [(pointer(slots + 16 * i).value, pointer(slots + 16 * i + 8).value)
                  for i in range(used)]


def test_call_entry_holds_identity_and_figures_of_the_moment(watched):
    code = compile("def f():\n    pass\n", "relative/mod.py", "exec").co_consts[0]
    watched.__dict__.update(_gpu_util=12.5, _gpu_mem_util=7.0)
    watched._profile_hook(code_frame(code), "call", None)
    [entry] = watched._call_stack
    assert sys.getsizeof(entry) == sys.getsizeof(ENTRY_LITERAL)
    # The layout the module fills entries through: kind 1 is a table of str keys.
    assert entry_table(entry) == (1, [(id(k), id(v)) for k, v in entry.items()])
    assert list(entry.items()) == [
        ("name", "f"),
        ("filename", "relative/mod.py"),
        ("lineno", 1),
        ("start_cpu", 40.0),
        ("start_mem", 50.0),
        ("start_gpu", 12.5),
        ("start_gpu_mem", 7.0),
    ]
    assert entry["start_cpu"] is watched._cpu_usage


def grabber(name, first_line):
    """Source of a function, defined at `first_line`, returning the entry pushed for it."""
    return "\n" * first_line + f"def {name}(monitor):\n    return monitor._call_stack[-1]\n"


def test_entries_of_real_frames_name_the_first_line(watched, user_module):
    # far and farther start 64 lines apart, both beyond the interpreter's small ints.
    source = WORK_MODULE + grabber("grab", 10) + grabber("far", 1000) + grabber("farther", 62)
    mod = user_module(source)
    functions = (mod.grab, mod.far, mod.farther, mod.far)
    entries = []
    for function in functions:
        # Entries popped with no other owner are filled again; the ones held here must not be.
        mod._profiled(watched, mod.consume)
        entries.append(mod._profiled(watched, function, watched))
    for entry, function in zip(entries, functions):
        code = function.__code__
        assert (entry["name"], entry["filename"], entry["lineno"]) == (
            code.co_name,
            code.co_filename,
            code.co_firstlineno,
        )
        assert sys.getsizeof(entry) == sys.getsizeof(ENTRY_LITERAL)
    assert mod.farther.__code__.co_firstlineno - mod.far.__code__.co_firstlineno == 64


LIBRARY_CALLER = """
from json import dumps

SOURCE = compile("def g():\\n    pass\\ng()\\n", "<string>", "exec")


def run():
    exec(SOURCE)
    return dumps([1])
"""


def test_library_and_pseudo_file_code_is_never_pushed(watched, user_module):
    mod = user_module(LIBRARY_CALLER)
    stack = recording_stack(watched)
    assert mod._profiled(watched, mod.run) == "[1]"
    assert stack.pushed == ["run"] and stack == []
    assert watched._filename_cache[json.__file__] is False
    assert watched._filename_cache["<string>"] is False


@pytest.mark.parametrize("caller", ["failing", "consume"])
def test_exceptions_and_generators_keep_the_stack_balanced(watched, user_module, caller):
    mod = user_module(WORK_MODULE)
    try:
        mod._profiled(watched, getattr(mod, caller))
    except ValueError:
        pass
    assert watched._call_stack == []


def test_return_with_empty_stack_does_nothing(watched):
    watched._overloaded = True
    watched._profile_hook(code_frame(user_code()), "return", None)
    assert watched._heavy_signatures == set()


def test_not_running_does_nothing_even_while_installed(watched, user_module):
    mod = user_module(WORK_MODULE)
    watched._running = False
    mod._profiled(watched, mod.driver, watched, {"_overloaded": True})
    assert watched._call_stack == [] and watched._filename_cache == {}
    assert watched.wrappers_made == []


def test_running_flag_takes_effect_at_the_next_event(watched, user_module):
    mod = user_module(
        WORK_MODULE + "\n\ndef stop(monitor):\n    monitor._running = False\n"
        "    return spare()\n\n\ndef start_again(monitor):\n"
        "    monitor._running = True\n    return spare()\n"
    )
    mod._profiled(watched, mod.stop, watched)
    assert [e["name"] for e in watched._call_stack] == ["stop"]  # its return came unwatched
    watched._call_stack.clear()
    watched._running = False
    mod._profiled(watched, mod.start_again, watched)
    assert watched._call_stack == []  # start_again's call unwatched, spare's pair watched


def test_caller_less_frame_is_heavy_but_wraps_nothing(watched, records):
    frame = code_frame(user_code(), back=None)
    watched._profile_hook(frame, "call", None)
    watched._overloaded = True
    watched._profile_hook(frame, "return", None)
    assert watched._scope_wrapped is False and watched.wrappers_made == []
    assert heavy_records(records)[0].args == ("work", __file__, 7)


@pytest.mark.parametrize("event", [None, b"call", type("Text", (str,), {})("call")])
def test_event_must_be_exactly_str(watched, event):
    with pytest.raises(TypeError) as error:
        watched._profile_hook(code_frame(user_code()), event, None)
    assert str(error.value) == (
        f"Argument 'event' has incorrect type (expected str, got {type(event).__name__})"
    )
    assert watched._call_stack == [] and watched._filename_cache == {}


def test_events_compare_by_value(watched):
    frame = code_frame(user_code())
    watched._profile_hook(frame=frame, event=bytes("call", "ascii").decode(), arg=None)
    watched._profile_hook(frame, "c_call", len)
    assert len(watched._call_stack) == 1
    watched._profile_hook(frame, bytes("return", "ascii").decode(), None)
    assert watched._call_stack == []


# The first event comes through sys.setprofile's trampoline; later ones straight from the
# interpreter.
@pytest.mark.parametrize("failing_event", [1, 5])
def test_hook_errors_reach_the_profiled_code_and_remove_the_hook(
    watched, user_module, failing_event
):
    mod = user_module(WORK_MODULE)
    seen = []

    def broken(filename):
        seen.append(filename)
        if len(seen) == failing_event:
            raise RuntimeError("classification failed")
        return True

    watched._is_user_code = broken
    with pytest.raises(RuntimeError, match="classification failed"):
        mod._profiled(watched, mod.consume)
    assert sys.getprofile() is None and len(seen) == failing_event


PROFILE_OBJECT = """

def reinstall(monitor):
    hook = sys.getprofile()
    sys.setprofile(hook)
    return hook, depth(monitor)


def depth(monitor):
    return len(monitor._call_stack)


def depths(monitor):
    seen = []
    for _ in range(3):
        seen.append(depth(monitor))
    return seen
"""


def test_profile_object_stays_the_bound_method(watched, user_module):
    mod = user_module(WORK_MODULE + PROFILE_OBJECT)
    hook, depth = mod._profiled(watched, mod.reinstall, watched)
    assert hook == watched._profile_hook and hook.__self__ is watched
    assert depth == 2 and watched._call_stack == []


STALE_LOCALS = """

def stale_locals():
    seen = sys._getframe().f_locals
    late = 1
    len(seen)  # a C call: an event of this frame
    return "late" in seen
"""


# The monitor's hook is delivered directly and leaves the frame's f_locals alone, as cProfile
# does; a hook called through sys.setprofile's trampoline has them refreshed at every event.
@pytest.mark.parametrize(("own_hook", "refreshed"), [(True, False), (False, True)])
def test_f_locals_are_refreshed_only_for_hooks_behind_the_trampoline(
    watched, user_module, own_hook, refreshed
):
    mod = user_module(STALE_LOCALS)
    if not own_hook:
        watched._profile_hook = lambda frame, event, arg: None
    assert mod._profiled(watched, mod.stale_locals) is refreshed


def test_events_of_another_thread_are_watched(watched, user_module):
    mod = user_module(WORK_MODULE + PROFILE_OBJECT)
    results = []
    thread = threading.Thread(target=lambda: results.append(mod._profiled(watched, mod.depths,
                                                                             watched)))
    thread.start()
    thread.join(timeout=30)
    assert results == [[2, 2, 2]] and watched._call_stack == []


def test_cached_verdict_is_used_without_checking_again(monitor_class, user_module):
    class Counting(monitor_class):
        def _check_user_code(self, filename):
            self.checked.append(filename)
            return super()._check_user_code(filename)

    counting = Counting(False, 85.0, 0.05, "k", None)
    counting.checked, counting._running = [], True
    mod = user_module(WORK_MODULE)
    stack = recording_stack(counting)
    for _ in range(3):
        mod._profiled(counting, mod.consume)
    assert counting.checked.count(mod.__file__) == 1 and len(stack.pushed) == 12
    counting._filename_cache[mod.__file__] = False  # an edited cache is honoured at once
    mod._profiled(counting, mod.spare)
    assert len(stack.pushed) == 12
    counting._filename_cache = {}
    mod._profiled(counting, mod.spare)
    assert counting.checked.count(mod.__file__) == 2 and stack.pushed[-1] == "spare"


def test_replaced_classification_takes_effect_at_once(watched, monitor_class, monkeypatch):
    frame = code_frame(user_code())

    def pushes():
        before = len(watched._call_stack)
        watched._profile_hook(frame, "call", None)
        return len(watched._call_stack) - before

    assert pushes() == 1
    watched._is_user_code = lambda filename: False
    assert pushes() == 0
    del watched._is_user_code
    assert pushes() == 1
    monkeypatch.setattr(monitor_class, "_is_user_code", lambda self, filename: 0)
    assert pushes() == 0
    monkeypatch.undo()
    assert pushes() == 1


def test_hook_wraps_through_the_monitor_methods(watched, user_module):
    mod = user_module(WORK_MODULE)
    calls = []
    watched._try_wrap_from_frame = lambda frame: calls.append(frame.f_code.co_name)
    watched._wrap_scope = lambda frame: calls.append(frame.f_code.co_name)
    mod._profiled(watched, mod.driver, watched, {"_overloaded": True})
    assert calls == ["heavy", "driver", "driver"]
    assert watched.wrappers_made == []


def test_frames_may_be_any_object(watched):
    back = code_frame(user_code("caller"), globals_={"work": None})
    frame = code_frame(user_code(), back=back)
    watched._overloaded = True
    watched._profile_hook(frame, "call", None)
    assert watched._scope_wrapped is True and watched._call_stack[0]["name"] == "work"


CHURN_MODULE = """
def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def churn(monitor, done):
    depths = set()
    while not done.is_set():
        fib(12)
        depths.add(len(monitor._call_stack))
    return depths
"""


def test_concurrent_writes_to_the_monitor_are_followed(watched, user_module):
    mod = user_module(CHURN_MODULE)
    done, writes = threading.Event(), []

    def sample():
        # Fresh float objects, a fresh cache dict: whatever the hook kept must follow.
        for i in range(200):
            watched._cpu_usage = float(i % 50)
            watched._mem_usage = float(i % 60)
            if i % 20 == 0:
                watched._filename_cache = dict(watched._filename_cache)
            writes.append(i)
            time.sleep(0)
        done.set()

    sampler = threading.Thread(target=sample)
    sampler.start()
    try:
        depths = mod._profiled(watched, mod.churn, watched, done)
    finally:
        done.set()
        sampler.join(timeout=30)
    assert not sampler.is_alive() and len(writes) == 200
    assert depths == {1} and watched._call_stack == []


def test_warning_goes_through_the_logger_of_the_moment(watched, ov, monkeypatch):
    warnings = []
    monkeypatch.setattr(ov, "logger", types.SimpleNamespace(warning=lambda *a: warnings.append(a)))
    frame = code_frame(user_code())
    watched._profile_hook(frame, "call", None)
    watched._overloaded = True
    watched._profile_hook(frame, "return", None)
    assert warnings == [(HEAVY_MESSAGE, "work", __file__, 7)]
