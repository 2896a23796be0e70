import ctypes
import json
import sys
import threading
import types

import pytest

HEAVY = "Heavy function detected: %s() at %s:%d — wrapped for cloud offload"

# `during` is what the sampling thread would write while the function runs.
WORK = """
def heavy(monitor, during):
    monitor.__dict__.update(during)
    return "heavy"


def driver(monitor, during):
    return heavy(monitor, during)


def generator():
    yield 1


def consume():
    return list(generator())


def library():
    exec(compile("def g():\\n    pass\\ng()\\n", "<string>", "exec"))
    return json.dumps([1])


def reinstall(monitor):
    hook = sys.getprofile()
    sys.setprofile(hook)
    return hook, depth(monitor)


def depth(monitor):
    return len(monitor._call_stack)


def top_entry(monitor):
    return monitor._call_stack[-1]


def stale_locals():
    seen = sys._getframe().f_locals
    late = 1
    len(seen)  # a C call: an event of this frame
    return "late" in seen
"""


def heavy_args(records):
    return [(r.levelname, r.args) for r in records() if r.msg == HEAVY]


@pytest.fixture
def mod(user_module):
    return user_module("import json\n" + WORK)


def test_heavy_on_return_wraps_and_wraps_the_scope_once_per_episode(wmonitor, mod, records,
                                                                   shape):
    scopes = []
    wmonitor._wrap_scope = lambda frame: (scopes.append(frame),
                                         type(wmonitor)._wrap_scope(wmonitor, frame))
    heavy, driver = mod.heavy, mod.driver
    public = {v for k, v in vars(mod).items()
              if isinstance(v, types.FunctionType) and not k.startswith("_")}
    assert mod._profiled(wmonitor, driver, wmonitor, shape({"_overloaded": True}))
    signatures = [(f.__name__, mod.__file__, f.__code__.co_firstlineno) for f in (heavy, driver)]
    assert wmonitor._call_stack == [] and wmonitor._heavy_signatures == set(signatures)
    assert heavy_args(records) == [("WARNING", s) for s in signatures]
    originals = [w._original for w in wmonitor.wrappers_made]
    assert originals[0] is heavy and set(originals) == public and wmonitor._scope_wrapped is True
    assert [frame.f_globals is vars(mod) for frame in scopes] == [True]
    # Heavy again in the same episode: logged again, nothing new wrapped, no new scope wrap.
    made = list(wmonitor.wrappers_made)
    mod._profiled(wmonitor, mod.driver, wmonitor, {})
    assert wmonitor.wrappers_made == made and len(heavy_args(records)) == 4 and len(scopes) == 1
    wmonitor._scope_wrapped = False  # the sampling thread saw the episode end
    mod._profiled(wmonitor, mod.consume)
    assert len(scopes) == 2


@pytest.mark.parametrize(
    ("entry", "at_return", "heavy"),
    [
        ({}, {}, True),
        ({"_cpu_usage": 85.0, "_mem_usage": 85.0}, {}, True),
        ({"_cpu_usage": 85.01}, {}, False),
        ({"_mem_usage": 90.0}, {}, False),
        ({}, {"_overloaded": False}, False),
        ({"_overloaded": True, "_cpu_usage": 97.0}, {}, False),  # wrapped at entry, not heavy
        ({"_gpu_util": 99.0, "_gpu_mem_util": 99.0}, {}, True),  # GPU off at return
        ({"_gpu_util": 60.0, "_gpu_mem_util": 60.0}, {"_gpu_available": True}, True),
        ({"gpu_threshold": 50.0, "_gpu_util": 50.0}, {"_gpu_available": True}, True),
        ({"gpu_threshold": 50.0, "_gpu_util": 60.0}, {"_gpu_available": True}, False),
        ({"gpu_threshold": 50.0, "_gpu_mem_util": 50.0}, {"_gpu_available": True}, True),
        ({"gpu_threshold": 50.0, "_gpu_mem_util": 50.5}, {"_gpu_available": True}, False),
    ],
)
def test_heavy_rule_compares_entry_figures_with_thresholds(wmonitor, mod, shape, entry, at_return,
                                                          heavy):
    wmonitor.__dict__.update(shape(entry))
    during = shape({"_overloaded": True, "_gpu_available": False, "_cpu_usage": 99.0, **at_return})
    signatures = {("heavy", mod.__file__, mod.heavy.__code__.co_firstlineno)} if heavy else set()
    mod._profiled(wmonitor, mod.heavy, wmonitor, during)
    assert (wmonitor._call_stack, wmonitor._heavy_signatures) == ([], signatures)
    assert [w.__name__ for w in wmonitor.wrappers_made][:1] == ["heavy"] * (
        heavy or "_overloaded" in entry)  # wrapped on entry while overloaded, or once heavy


def entry_table(entry):
    """(kind, [(key id, value id)]) of a dict's entry table, read where CPython 3.11 keeps them
    and the module writes entries' values (Include/internal/pycore_dict.h)."""
    pointer = ctypes.c_void_p.from_address
    keys = pointer(id(entry) + 4 * ctypes.sizeof(ctypes.c_void_p)).value  # ma_keys
    log2_index_bytes = ctypes.c_uint8.from_address(keys + 9).value
    used = ctypes.c_ssize_t.from_address(keys + 24).value  # dk_nentries
    slots = keys + 32 + (1 << log2_index_bytes)
    return ctypes.c_uint8.from_address(keys + 10).value, [
        (pointer(slots + 16 * i).value, pointer(slots + 16 * i + 8).value) for i in range(used)]


def test_call_entries_hold_identity_and_figures_of_the_moment(wmonitor, shape):
    code = compile("def f():\n    pass\n", "relative/mod.py", "exec").co_consts[0]
    wmonitor.__dict__.update(shape({"_gpu_util": 12.5, "_gpu_mem_util": 7.0}))
    wmonitor._profile_hook(types.SimpleNamespace(f_code=code, f_back=None), "call", None)
    [entry] = wmonitor._call_stack
    # As big as a dict literal of the same keys, and laid out where the module writes values.
    assert sys.getsizeof(entry) == sys.getsizeof(dict.fromkeys(entry))
    assert entry_table(entry) == (1, [(id(k), id(v)) for k, v in entry.items()])  # str keys
    assert list(entry.items()) == [("name", "f"), ("filename", "relative/mod.py"), ("lineno", 1),
                                   ("start_cpu", 40.0), ("start_mem", 50.0), ("start_gpu", 12.5),
                                   ("start_gpu_mem", 7.0)]
    assert entry["start_cpu"] is wmonitor._cpu_usage
    wmonitor._cpu_usage = 61.5  # an attribute store, as the sampling thread's, not a dict update
    wmonitor._profile_hook(types.SimpleNamespace(f_code=code, f_back=None), "call", None)
    assert wmonitor._call_stack[-1]["start_cpu"] == 61.5


# The first event comes through sys.setprofile's trampoline; later ones straight from C.
@pytest.mark.parametrize("failing_event", [1, 5])
def test_hook_errors_reach_the_profiled_code_and_unhook_the_thread(wmonitor, mod, failing_event):
    seen = []

    def broken(filename):
        seen.append(filename)
        if len(seen) == failing_event:
            raise RuntimeError("classification failed")
        return True

    wmonitor._is_user_code = broken
    with pytest.raises(RuntimeError, match="classification failed"):
        mod._profiled(wmonitor, mod.consume)
    assert sys.getprofile() is None and len(seen) == failing_event


def test_stack_balance_library_code_and_direct_delivery(wmonitor, mod):
    pushed = []
    wmonitor._call_stack = type("Stack", (list,), {"append": lambda s, e: pushed.append(e)})()
    assert mod._profiled(wmonitor, mod.library) == "[1]"
    assert [e["name"] for e in pushed] == ["library"]  # neither json nor "<string>" code
    assert wmonitor._filename_cache[json.__file__] is wmonitor._filename_cache["<string>"] is False
    wmonitor._call_stack = []
    entry = mod._profiled(wmonitor, mod.top_entry, wmonitor)  # held past its return: kept as is
    kept, wmonitor._cpu_usage = dict(entry), 41.5
    with pytest.raises(TypeError):
        mod._profiled(wmonitor, mod.heavy, wmonitor, None)  # raises inside
    assert mod._profiled(wmonitor, mod.consume) == [1] and wmonitor._call_stack == []
    hook, depth = mod._profiled(wmonitor, mod.reinstall, wmonitor)
    assert hook == wmonitor._profile_hook and hook.__self__ is wmonitor and depth == 2
    # Delivered directly, as cProfile is: the trampoline would have refreshed f_locals (from 3.13
    # on f_locals is a live view of the frame's variables, with or without a hook).
    fresh = sys.version_info >= (3, 13)
    assert mod._profiled(wmonitor, mod.stale_locals) is fresh and wmonitor._call_stack == []
    events = []  # a profiler of the user's bound to the monitor, feeding the hook: kept
    sys.setprofile(types.MethodType(lambda m, *e: events.append(e[1]) or m._profile_hook(*e),
                                    wmonitor))
    try:
        mod.consume()
    finally:
        sys.setprofile(None)
    assert events.count("return") == 3 and wmonitor._call_stack == [] and entry == kept


def test_events_of_other_threads_are_ignored(wmonitor, mod):
    results = []
    thread = threading.Thread(target=lambda: results.append(mod.depth(wmonitor)))
    wmonitor._filename_cache[__file__] = False  # this thread's own events push nothing
    sys.setprofile(wmonitor._profile_hook)
    try:
        thread.start()
        thread.join(timeout=30)
    finally:
        sys.setprofile(None)
    assert results == [0] and wmonitor._call_stack == []


def test_methods_attributes_and_logger_of_the_moment_are_used(wmonitor, ov, mod, monkeypatch):
    code = types.SimpleNamespace(co_name="work", co_filename=__file__, co_firstlineno=7)
    frame, calls, warnings = types.SimpleNamespace(f_code=code, f_back=None, f_globals={}), [], []

    def pushes():
        before = len(wmonitor._call_stack)
        wmonitor._profile_hook(frame, "call", None)
        return len(wmonitor._call_stack) - before

    assert pushes() == 1
    wmonitor._is_user_code = lambda filename: False
    assert pushes() == 0
    del wmonitor._is_user_code
    assert pushes() == 1
    monkeypatch.setattr(type(wmonitor), "_is_user_code", lambda self, filename: 0)
    assert pushes() == 0
    monkeypatch.undo()
    wmonitor._call_stack.clear()
    wmonitor._try_wrap_from_frame = lambda frame: calls.append(frame.f_code.co_name)
    wmonitor._wrap_scope = lambda frame: calls.append(frame.f_code.co_name)
    mod._profiled(wmonitor, mod.driver, wmonitor, {"_overloaded": True})
    assert calls == ["heavy", "driver", "driver"] and wmonitor.wrappers_made == []
    monkeypatch.setattr(ov, "logger", types.SimpleNamespace(warning=lambda *a: warnings.append(a)))
    wmonitor._scope_wrapped = False
    wmonitor._profile_hook(frame, "call", None)  # no caller: no scope to wrap
    wmonitor._profile_hook(frame, "return", None)
    assert warnings == [(HEAVY, "work", __file__, 7)] and calls[3:] == ["work", "work"]
    assert wmonitor._scope_wrapped is False
    wmonitor._filename_cache = {__file__: False}
    assert pushes() == 0
